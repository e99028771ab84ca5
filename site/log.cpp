// The rows of the log table and the commit pages that do not exist yet.
#include "site.h"

#include <cstdlib>
#include <cstring>
#include <err.h>
#include <sys/stat.h>
#include <unistd.h>

// A commit page is written under a temporary name and renamed into place
// once it is complete: pages are never rewritten, so one cut short by a
// fatal error would otherwise stay broken for good. The exit handler
// removes the temporary file when a fatal error strikes while it is open.
static char pending_page[1024];

static void remove_pending_page()
{
	if (pending_page[0])
		unlink(pending_page);
}

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

static FILE *open_pending_page(const char *path)
{
	static bool handler_set;
	if (!handler_set) {
		atexit(remove_pending_page);
		handler_set = true;
	}
	// The page gets the mode fopen would give it, not mkstemp's 0600.
	static const mode_t mode = file_creation_mode();
	int n = snprintf(pending_page, sizeof pending_page, "%s.XXXXXX", path);
	int fd = (n > 0 && static_cast<size_t>(n) < sizeof pending_page) ? mkstemp(pending_page) : -1;
	if (fd < 0) {
		pending_page[0] = '\0';
		err(1, "fopen: '%s'", path);
	}
	FILE *fp = fdopen(fd, "w");
	if (!fp || fchmod(fd, mode) != 0)
		err(1, "fopen: '%s'", path);
	static char buffer[PAGE_BUFFER];
	use_buffer(fp, buffer, sizeof buffer);
	return fp;
}

static void write_commit_page(const char *path, const commit_record *r)
{
	relative_prefix = "../";
	FILE *fp = open_pending_page(path);
	write_page_header(fp, r->summary ? r->summary : "");
	fputs("<pre>", fp);
	commit_diff_block(fp, r);
	fputs("</pre>\n", fp);
	write_page_footer(fp);
	stream_close(fp, path);
	if (rename(pending_page, path) != 0)
		err(1, "rename: '%s' to '%s'", pending_page, path);
	pending_page[0] = '\0';
}

// One step of the walk; returns false when the walk must end.
static bool walk_step(FILE *log, const git_oid *id, size_t *remaining)
{
	relative_prefix = "";
	if (cachefile && git_oid_equal(id, &cached_id))
		return false;
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
			return true;
	}
	commit_record *r = commit_record_load(id);
	if (!r)
		return false;
	if (commit_record_diff(r) != 0) {
		commit_record_free(r);
		return true;
	}
	if (log_limit != 0)
		log_row(log, r);
	if (log_limit > 0)
		log_limit--;
	if (cachefile)
		log_row(new_cache, r);
	if (!exists)
		write_commit_page(path, r);
	commit_record_free(r);
	return true;
}

void walk_log(FILE *log, const git_oid *head)
{
	git_revwalk *walk = nullptr;
	git_revwalk_new(&walk, repository);
	if (walk)
		git_revwalk_push(walk, head);
	size_t remaining = 0;
	git_oid id;
	while (walk && git_revwalk_next(&id, walk) == 0)
		if (!walk_step(log, &id, &remaining))
			break;
	git_revwalk_free(walk);
	if (log_limit == 0 && remaining > 0) {
		fputs("<tr><td></td><td colspan=\"5\">", log);
		put_size(log, remaining);
		fputs(" more commits remaining, fetch the repository</td></tr>\n", log);
	}
	relative_prefix = "";
}
