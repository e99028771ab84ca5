// The rows of the log table and the commit pages that do not exist yet.
#include "site.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

void log_row(FILE *fp, const commit_record *r)
{
	fputs("<tr><td>", fp);
	if (r->author)
		print_time_short(fp, r->author->when);
	fputs("</td><td>", fp);
	if (r->summary) {
		fputs("<a href=\"", fp);
		fputs(relative_prefix, fp);
		fputs("commit/", fp);
		fputs(r->id_text, fp);
		fputs(".html\">", fp);
		put_html(fp, r->summary);
		fputs("</a>", fp);
	}
	fputs("</td><td>", fp);
	if (r->author)
		put_html(fp, r->author->name);
	fputs("</td><td class=\"num\" align=\"right\">", fp);
	put_size(fp, r->file_count);
	fputs("</td><td class=\"num\" align=\"right\">+", fp);
	put_size(fp, r->added_lines);
	fputs("</td><td class=\"num\" align=\"right\">-", fp);
	put_size(fp, r->deleted_lines);
	fputs("</td></tr>\n", fp);
}

// Commit pages are never rewritten, so one cut short would stay broken for
// good: each goes through a temporary name like every other page.
static void write_commit_page(page_output *page, const char *path, const commit_record *r)
{
	relative_prefix = "../";
	page_open(page, path, false);
	FILE *fp = page->stream;
	write_page_header(fp, r->summary ? r->summary : "");
	fputs("<pre>", fp);
	commit_diff_block(fp, r);
	fputs("</pre>\n", fp);
	write_page_footer(fp);
	page_close(page);
}

// Keeps what libgit2 said about a commit the walk could not render.
static void add_failure(walk_report *report, const char *id_text, const char *what,
			const char *message)
{
	walk_failure *grown = static_cast<walk_failure *>(
		reallocarray(report->failures, report->failure_count + 1, sizeof *grown));
	if (!grown)
		err(1, "realloc");
	report->failures = grown;
	walk_failure *f = &grown[report->failure_count++];
	snprintf(f->id_text, sizeof f->id_text, "%s", id_text);
	f->what = what;
	f->message = strdup(message);
	if (!f->message)
		err(1, "strdup");
}

// One step of the walk: 0 to go on, WALK_CACHED or WALK_BROKEN to end it.
static int walk_step(FILE *log, page_output *page, const git_oid *id, size_t *remaining,
		     walk_report *report)
{
	relative_prefix = "";
	if (cachefile && git_oid_equal(id, &cached_id))
		return WALK_CACHED;
	char id_text[GIT_OID_SHA1_HEXSIZE + 1];
	char path[1024];
	git_oid_tostr(id_text, sizeof id_text, id);
	int n = snprintf(path, sizeof path, "commit/%s.html", id_text);
	if (n < 0 || static_cast<size_t>(n) >= sizeof path)
		errx(1, "path truncated: 'commit/%s.html'", id_text);
	bool exists = access(path, F_OK) == 0;
	if (log_limit == 0) {
		(*remaining)++;
		if (exists)
			return 0;
	}
	commit_record *r = commit_record_load(id);
	if (!r) {
		add_failure(report, id_text, "read", git_message());
		return WALK_BROKEN;
	}
	if (commit_record_diff(r) != 0) {
		add_failure(report, id_text, "diff", git_message());
		commit_record_free(r);
		return 0;
	}
	if (log_limit != 0)
		log_row(log, r);
	if (log_limit > 0)
		log_limit--;
	if (cachefile)
		log_row(new_cache, r);
	if (!exists)
		write_commit_page(page, path, r);
	commit_record_free(r);
	return 0;
}

static bool oid_less(const git_oid &a, const git_oid &b)
{
	return git_oid_cmp(&a, &b) < 0;
}

static bool contains(const std::vector<git_oid> &sorted, const git_oid &id)
{
	return std::binary_search(sorted.begin(), sorted.end(), id, oid_less);
}

static bool listed_has(const std::vector<git_oid> &listed, const git_oid &id)
{
	for (const git_oid &o : listed)
		if (git_oid_equal(&o, &id))
			return true;
	return false;
}

// Adds the parents of `id` to `out` unless returned or listed already.
static void add_parents(const git_oid &id, const std::vector<git_oid> &returned,
			std::vector<git_oid> *listed, std::vector<git_oid> *out)
{
	git_commit *commit;
	if (git_commit_lookup(&commit, repository, &id) != 0)
		return;
	for (unsigned i = 0; i < git_commit_parentcount(commit); i++) {
		const git_oid *parent = git_commit_parent_id(commit, i);
		if (!parent || contains(returned, *parent) || listed_has(*listed, *parent))
			continue;
		listed->push_back(*parent);
		out->push_back(*parent);
	}
	git_commit_free(commit);
}

// The first of `ids` that cannot be loaded, with libgit2's reason kept.
static const git_oid *first_unreadable(const std::vector<git_oid> &ids)
{
	for (const git_oid &id : ids) {
		git_commit *commit;
		if (git_commit_lookup(&commit, repository, &id) != 0)
			return &id;
		git_commit_free(commit);
	}
	return nullptr;
}

// libgit2's walk fails while it loads the parents of a commit it has not
// returned yet, and names no commit. The one named is the first that cannot
// be loaded among the commits still pending (the start, and the parents of
// the returned ones, each once, less those returned), then their parents:
// in a straight history, the unreadable commit itself.
static void name_unreadable(const git_oid *head, const std::vector<git_oid> &walked, walk_report *report)
{
	char walk_message[512];
	snprintf(walk_message, sizeof walk_message, "%s", git_message());
	std::vector<git_oid> returned = walked;
	std::sort(returned.begin(), returned.end(), oid_less);
	std::vector<git_oid> pending, listed, beyond;
	if (!contains(returned, *head)) {
		pending.push_back(*head);
		listed.push_back(*head);
	}
	for (const git_oid &id : walked)
		add_parents(id, returned, &listed, &pending);
	const git_oid *bad = first_unreadable(pending);
	if (!bad) {
		for (const git_oid &id : pending)
			add_parents(id, returned, &listed, &beyond);
		bad = first_unreadable(beyond);
	}
	char id_text[GIT_OID_SHA1_HEXSIZE + 1];
	if (bad) {
		git_oid_tostr(id_text, sizeof id_text, bad);
		add_failure(report, id_text, "read", git_message());
		return;
	}
	git_oid_tostr(id_text, sizeof id_text, pending.empty() ? head : &pending[0]);
	add_failure(report, id_text, "read", walk_message);
}

void walk_log(FILE *log, const git_oid *head, walk_report *report)
{
	git_revwalk *walk = nullptr;
	git_revwalk_new(&walk, repository);
	if (walk)
		git_revwalk_push(walk, head);
	size_t remaining = 0;
	std::vector<git_oid> walked;
	page_output page = {};
	report->end = WALK_HISTORY_END;
	git_oid id;
	int next = GIT_ITEROVER;
	while (walk && (next = git_revwalk_next(&id, walk)) == 0) {
		int end = walk_step(log, &page, &id, &remaining, report);
		if (end != 0) {
			report->end = static_cast<walk_end>(end);
			break;
		}
		walked.push_back(id);
	}
	if (next != 0 && next != GIT_ITEROVER) {
		report->end = WALK_BROKEN;
		name_unreadable(head, walked, report);
	}
	git_revwalk_free(walk);
	page_output_free(&page);
	if (log_limit == 0 && remaining > 0) {
		fputs("<tr><td></td><td colspan=\"5\">", log);
		put_size(log, remaining);
		fputs(" more commits remaining, fetch the repository</td></tr>\n", log);
	}
	relative_prefix = "";
}
