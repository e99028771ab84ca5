// "commit/<id>.patch": a commit with exactly one parent as `git format-patch`
// mails it, binary changes included, byte for byte what libgit2's
// git_email_create_from_commit gives, for `git am`.
#include "site.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <git2/sys/errors.h>
#include <git2/version.h>

// One file of the mail. The mail's diff finds renames as git does (by
// similarity), shows submodules, and splits type changes; the page's does
// none of that. Where a file's delta is the same in both, the page's patch
// is the mail's too (its binary patches are whole while the key is on),
// and is not made again: making the patches is most of a commit's cost.
struct mail_file {
	git_patch *patch; // owned when made from the mail's diff
	bool owned;
	size_t added;
	size_t deleted;
};

struct mail {
	const commit_record *record;
	git_diff *diff;     // the commit's diff as the mail shows it: own_diff or the page's
	git_diff *own_diff; // owned
	mail_file *files;   // owned, file_count entries
	size_t file_count;
	size_t reused;      // the page's deltas before this one are taken
};

bool patch_wanted(const commit_record *r)
{
	return rich_patch && git_commit_parentcount(r->commit) == 1;
}

// The page's diff is the mail's when nothing in it could come out
// otherwise: no submodule differs (the page leaves changed ones out), no
// rename, copy or type change (the mail finds them otherwise), no added
// file (which the mail could find renamed from a deleted one, or copied).
static bool page_diff_serves(const commit_record *r)
{
	if (r->submodules_differ || !r->diff)
		return false;
	for (size_t i = 0; i < git_diff_num_deltas(r->diff); i++) {
		git_delta_t status = git_diff_get_delta(r->diff, i)->status;
		if (status != GIT_DELTA_MODIFIED && status != GIT_DELTA_DELETED)
			return false;
	}
	return true;
}

// libgit2's defaults for a mail; the path list of tree_diff takes the
// paths as they are.
static int mail_diff(mail *m)
{
	const commit_record *r = m->record;
	if (page_diff_serves(r)) {
		m->diff = r->diff;
		return 0;
	}
	git_diff_options opts;
	git_diff_options_init(&opts, GIT_DIFF_OPTIONS_VERSION);
	opts.flags |= GIT_DIFF_SHOW_BINARY | GIT_DIFF_DISABLE_PATHSPEC_MATCH;
	if (tree_diff(&m->own_diff, r->repo, r->parent_tree, r->commit_tree, &opts) != 0)
		return -1;
	m->diff = m->own_diff;
	// No options: renames by the repository's diff.renames, as git's.
	return git_diff_find_similar(m->diff, nullptr);
}

static bool same_file(const git_diff_file *a, const git_diff_file *b)
{
	return a->mode == b->mode && git_oid_equal(&a->id, &b->id) && strcmp(a->path, b->path) == 0;
}

static bool same_delta(const git_diff_delta *a, const git_diff_delta *b)
{
	return a->status == b->status && a->similarity == b->similarity &&
	       same_file(&a->old_file, &b->old_file) && same_file(&a->new_file, &b->new_file);
}

// The page's patch of the same delta, else none. Both diffs list the
// files in one order, so the search goes on from the last one found.
static git_patch *page_patch(mail *m, const git_diff_delta *delta)
{
	const commit_record *r = m->record;
	for (size_t j = m->reused; j < r->delta_count; j++) {
		git_patch *patch = r->deltas[j]->patch;
		if (!patch)
			continue;
		if (!same_delta(git_patch_get_delta(patch), delta))
			continue;
		m->reused = j + 1;
		return patch;
	}
	return nullptr;
}

static int collect_files(mail *m)
{
	size_t n = git_diff_num_deltas(m->diff);
	m->files = static_cast<mail_file *>(calloc(n ? n : 1, sizeof *m->files));
	if (!m->files) {
		git_error_set_oom();
		return -1;
	}
	for (size_t i = 0; i < n; i++) {
		mail_file *f = &m->files[i];
		f->patch = page_patch(m, git_diff_get_delta(m->diff, i));
		if (!f->patch) {
			if (git_patch_from_diff(&f->patch, m->diff, i) != 0)
				return -1;
			f->owned = true;
		}
		m->file_count++;
		if (git_patch_line_stats(nullptr, &f->added, &f->deleted, f->patch) != 0)
			return -1;
	}
	return 0;
}

static void mail_free(mail *m)
{
	for (size_t i = 0; i < m->file_count; i++) {
		if (m->files[i].owned)
			git_patch_free(m->files[i].patch);
	}
	free(m->files);
	git_diff_free(m->own_diff);
}

// libgit2's RFC 2822 date, its signs included: an offset of -0130 is
// written "-01-30". A time no calendar holds leaves the date empty, where
// libgit2 would make no mail at all.
static void put_date(FILE *fp, const git_time *when)
{
	static const char *const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
	static const char *const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
					     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
	int64_t local;
	bool fits = !__builtin_add_overflow(when->time, static_cast<int64_t>(when->offset) * 60, &local);
	time_t t = static_cast<time_t>(local);
	struct tm tm;
	fputs("Date: ", fp);
	if (fits && gmtime_r(&t, &tm))
		fprintf(fp, "%.3s, %u %.3s %.4u %02u:%02u:%02u %+03d%02d", WEEKDAYS[tm.tm_wday],
			unsigned(tm.tm_mday), MONTHS[tm.tm_mon], unsigned(tm.tm_year + 1900),
			unsigned(tm.tm_hour), unsigned(tm.tm_min), unsigned(tm.tm_sec), when->offset / 60,
			when->offset % 60);
	putc('\n', fp);
}

static void put_header(FILE *fp, const commit_record *r)
{
	fprintf(fp, "From %s Mon Sep 17 00:00:00 2001\nFrom: %s <%s>\n", r->id_text, r->author->name,
		r->author->email);
	put_date(fp, &r->author->when);
	fputs("Subject: [PATCH]", fp);
	if (r->summary && r->summary[0]) {
		putc(' ', fp);
		fwrite(r->summary, 1, strcspn(r->summary, "\n"), fp);
	}
	fputs("\n\n", fp);
	const char *body = git_commit_body(r->commit);
	if (body) {
		size_t length = strlen(body);
		fwrite(body, 1, length, fp);
		if (length && body[length - 1] != '\n')
			putc('\n', fp);
	}
	fputs("---\n", fp);
}

static void put_repeated(FILE *fp, char c, size_t count)
{
	char run[64];
	memset(run, c, sizeof run);
	for (; count > sizeof run; count -= sizeof run)
		fwrite(run, 1, sizeof run, fp);
	fwrite(run, 1, count, fp);
}

// The column widths of the diffstat, as libgit2 counts them: a rename's
// name is both paths, however it is shortened.
struct stat_widths {
	size_t name;
	size_t count;  // the largest line count of a file
	int digits;    // of that count plus one
	bool renames;
};

static bool renamed(const git_diff_delta *delta)
{
	return strcmp(delta->old_file.path, delta->new_file.path) != 0;
}

static stat_widths measure(const mail *m)
{
	stat_widths w = {};
	for (size_t i = 0; i < m->file_count; i++) {
		const git_diff_delta *delta = git_patch_get_delta(m->files[i].patch);
		size_t name = strlen(delta->new_file.path);
		if (renamed(delta)) {
			name += strlen(delta->old_file.path);
			w.renames = true;
		}
		w.name = name > w.name ? name : w.name;
		size_t count = m->files[i].added + m->files[i].deleted;
		w.count = count > w.count ? count : w.count;
	}
	w.digits = 1;
	for (size_t v = w.count + 1; v >= 10; v /= 10)
		w.digits++;
	return w;
}

// The name column: a rename as "dir/{old => new}" when both paths share
// directories.
static void put_stat_name(FILE *fp, const git_diff_delta *delta, const stat_widths *w)
{
	const char *from = delta->old_file.path, *to = delta->new_file.path;
	if (!renamed(delta)) {
		fprintf(fp, " %s", to);
		put_repeated(fp, ' ', w->name - strlen(to) + (w->renames ? 4 : 0));
		return;
	}
	size_t common = 0;
	for (size_t k = 0; from[k] && from[k] == to[k]; k++) {
		if (from[k] == '/')
			common = k + 1;
	}
	if (common)
		fprintf(fp, " %.*s{%s => %s}", static_cast<int>(common), from, from + common, to + common);
	else
		fprintf(fp, " %s => %s", from, to);
	put_repeated(fp, ' ', w->name - strlen(from) - strlen(to));
}

static void put_stat_row(FILE *fp, const mail_file *f, const stat_widths *w)
{
	const git_diff_delta *delta = git_patch_get_delta(f->patch);
	put_stat_name(fp, delta, w);
	fputs(" | ", fp);
	if (delta->flags & GIT_DIFF_FLAG_BINARY) {
		fprintf(fp, "Bin %" PRId64 " -> %" PRId64 " bytes\n",
			static_cast<int64_t>(delta->old_file.size), static_cast<int64_t>(delta->new_file.size));
		return;
	}
	fprintf(fp, "%*zu", w->digits, f->added + f->deleted);
	if (f->added || f->deleted) {
		putc(' ', fp);
		put_repeated(fp, '+', f->added);
		put_repeated(fp, '-', f->deleted);
	}
	putc('\n', fp);
}

static void put_mode_summary(FILE *fp, const git_diff_delta *delta)
{
	unsigned from = delta->old_file.mode, to = delta->new_file.mode;
	if (from == to)
		return;
	if (from == 0)
		fprintf(fp, " create mode %06o %s\n", to, delta->new_file.path);
	else if (to == 0)
		fprintf(fp, " delete mode %06o %s\n", from, delta->old_file.path);
	else
		fprintf(fp, " mode change %06o => %06o %s\n", from, to, delta->new_file.path);
}

// libgit2's full diffstat with its summary, bars not scaled.
static void put_diffstat(FILE *fp, const mail *m)
{
	stat_widths w = measure(m);
	size_t added = 0, deleted = 0;
	for (size_t i = 0; i < m->file_count; i++) {
		put_stat_row(fp, &m->files[i], &w);
		added += m->files[i].added;
		deleted += m->files[i].deleted;
	}
	size_t n = m->file_count;
	fprintf(fp, " %zu file%s changed", n, n != 1 ? "s" : "");
	if (added || deleted == 0)
		fprintf(fp, ", %zu insertion%s(+)", added, added != 1 ? "s" : "");
	if (deleted || added == 0)
		fprintf(fp, ", %zu deletion%s(-)", deleted, deleted != 1 ? "s" : "");
	putc('\n', fp);
	for (size_t i = 0; i < n; i++)
		put_mode_summary(fp, git_patch_get_delta(m->files[i].patch));
	putc('\n', fp);
}

// Lines as git_patch_to_buf has them, straight into the stream.
static int put_line(const git_diff_delta *, const git_diff_hunk *, const git_diff_line *line,
		    void *payload)
{
	FILE *fp = static_cast<FILE *>(payload);
	if (line->origin == GIT_DIFF_LINE_ADDITION || line->origin == GIT_DIFF_LINE_DELETION ||
	    line->origin == GIT_DIFF_LINE_CONTEXT)
		putc(line->origin, fp);
	fwrite(line->content, 1, line->content_len, fp);
	return 0;
}

int patch_write(FILE *fp, const commit_record *r)
{
	if (!r->author) {
		git_error_set_str(GIT_ERROR_INVALID, "commit has no author");
		return -1;
	}
	mail m = {};
	m.record = r;
	int result = mail_diff(&m) == 0 && collect_files(&m) == 0 ? 0 : -1;
	if (result == 0) {
		put_header(fp, r);
		put_diffstat(fp, &m);
	}
	for (size_t i = 0; result == 0 && i < m.file_count; i++)
		result = git_patch_print(m.files[i].patch, put_line, fp);
	if (result == 0)
		fputs("--\nlibgit2 " LIBGIT2_VERSION "\n\n", fp);
	mail_free(&m);
	return result;
}
