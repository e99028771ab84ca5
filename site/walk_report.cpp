// The commits a walk of the log could not render: kept in walk order as
// the walk meets them, the commit a broken walk ended on found, and all
// named once the pages are written.
#include "site.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <vector>

void walk_report_add(walk_report *report, const char *id_text, const char *what,
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
void walk_report_unreadable(walk_report *report, const git_oid *head, const git_oid *walked,
			    size_t walked_count, const char *walk_message)
{
	std::vector<git_oid> returned(walked, walked + walked_count);
	std::sort(returned.begin(), returned.end(), oid_less);
	std::vector<git_oid> pending, listed, beyond;
	if (!contains(returned, *head)) {
		pending.push_back(*head);
		listed.push_back(*head);
	}
	for (size_t i = 0; i < walked_count; i++)
		add_parents(walked[i], returned, &listed, &pending);
	const git_oid *bad = first_unreadable(pending);
	if (!bad) {
		for (const git_oid &id : pending)
			add_parents(id, returned, &listed, &beyond);
		bad = first_unreadable(beyond);
	}
	char id_text[GIT_OID_SHA1_HEXSIZE + 1];
	if (bad) {
		git_oid_tostr(id_text, sizeof id_text, bad);
		walk_report_add(report, id_text, "read", git_message());
		return;
	}
	git_oid_tostr(id_text, sizeof id_text, pending.empty() ? head : &pending[0]);
	walk_report_add(report, id_text, "read", walk_message);
}

// Each commit in walk order, so a hook or cron job notices: 1 when there
// are any.
int walk_report_print(const char *program, walk_report *report)
{
	for (size_t i = 0; i < report->failure_count; i++) {
		const walk_failure *f = &report->failures[i];
		fprintf(stderr, "%s: cannot %s commit %s: %s\n", program, f->what, f->id_text, f->message);
		free(f->message);
	}
	free(report->failures);
	return report->failure_count > 0 ? 1 : 0;
}
