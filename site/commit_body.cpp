// The content of a commit page: header block, diffstat and the full diff
// with an anchor for every file, hunk and changed line.
#include "site.h"

#include <cstring>

static void put_commit_link(FILE *fp, const char *prefix, const char *label, const char *id)
{
	fputs(label, fp);
	fputs(" <a href=\"", fp);
	fputs(prefix, fp);
	fputs("commit/", fp);
	fputs(id, fp);
	fputs(".html\">", fp);
	fputs(id, fp);
	fputs("</a>\n", fp);
}

// The commit line, and the link to the commit's patch when it has one.
static void commit_line(FILE *fp, const char *prefix, const commit_record *r)
{
	if (!patch_wanted(r)) {
		put_commit_link(fp, prefix, "<b>commit</b>", r->id_text);
		return;
	}
	fputs("<b>commit</b> <a href=\"", fp);
	fputs(prefix, fp);
	fputs("commit/", fp);
	fputs(r->id_text, fp);
	fputs(".html\">", fp);
	fputs(r->id_text, fp);
	fputs("</a> (<a href=\"", fp);
	fputs(prefix, fp);
	fputs("commit/", fp);
	fputs(r->id_text, fp);
	fputs(".patch\">patch</a>)\n", fp);
}

static void commit_header_block(FILE *fp, const char *prefix, const commit_record *r)
{
	commit_line(fp, prefix, r);
	if (r->parent_id_text[0])
		put_commit_link(fp, prefix, "<b>parent</b>", r->parent_id_text);
	if (r->author) {
		fputs("<b>Author:</b> ", fp);
		put_html(fp, r->author->name);
		fputs(" &lt;<a href=\"mailto:", fp);
		put_html(fp, r->author->email);
		fputs("\">", fp);
		put_html(fp, r->author->email);
		fputs("</a>&gt;\n<b>Date:</b>   ", fp);
		print_time_full(fp, r->author->when);
		putc('\n', fp);
	}
	if (r->message) {
		putc('\n', fp);
		put_html(fp, r->message);
		putc('\n', fp);
	}
}

// The delta of entry i: the patch and the diff share it.
static const git_diff_delta *entry_delta(const commit_record *r, size_t i)
{
	return git_diff_get_delta(r->diff, i);
}

static char status_letter(git_delta_t status)
{
	switch (status) {
	case GIT_DELTA_ADDED: return 'A';
	case GIT_DELTA_DELETED: return 'D';
	case GIT_DELTA_MODIFIED: return 'M';
	case GIT_DELTA_RENAMED: return 'R';
	case GIT_DELTA_COPIED: return 'C';
	case GIT_DELTA_TYPECHANGE: return 'T';
	default: return ' ';
	}
}

// Scales a count to the bar in single precision, one rounding per step,
// so the bar is the same on every machine; a non-zero count keeps at least
// one character.
static size_t bar_length(size_t count, size_t total)
{
	if (total <= 78 || count == 0)
		return count;
	float quotient = 78.0f / static_cast<float>(total);
	float scaled = quotient * static_cast<float>(count);
	float bumped = scaled + 1.0f;
	return static_cast<size_t>(bumped);
}

static void diffstat_row(FILE *fp, const commit_record *r, size_t i)
{
	const git_diff_delta *delta = entry_delta(r, i);
	char letter = status_letter(delta->status);
	if (letter != ' ')
		fprintf(fp, "<tr><td class=\"%c\">%c", letter, letter);
	else
		fputs("<tr><td> ", fp);
	fputs("</td><td><a href=\"#h", fp);
	put_size(fp, i);
	fputs("\">", fp);
	put_html(fp, delta->old_file.path);
	if (strcmp(delta->old_file.path, delta->new_file.path) != 0) {
		fputs(" -&gt; ", fp);
		put_html(fp, delta->new_file.path);
	}
	size_t added = r->deltas[i]->added_lines, deleted = r->deltas[i]->deleted_lines;
	size_t plus = bar_length(added, added + deleted);
	size_t minus = bar_length(deleted, added + deleted);
	char bar[80];
	memset(bar, '+', plus);
	memset(bar + plus, '-', minus);
	fputs("</a></td><td> | </td><td class=\"num\">", fp);
	put_size(fp, added + deleted);
	fputs("</td><td><span class=\"i\">", fp);
	fwrite(bar, 1, plus, fp);
	fputs("</span><span class=\"d\">", fp);
	fwrite(bar + plus, 1, minus, fp);
	fputs("</span></td></tr>\n", fp);
}

static const char *plural(size_t n)
{
	return n == 1 ? "" : "s";
}

static void diffstat(FILE *fp, const commit_record *r)
{
	fputs("<b>Diffstat:</b>\n<table>", fp);
	for (size_t i = 0; i < r->delta_count; i++)
		diffstat_row(fp, r, i);
	fprintf(fp, "</table></pre><pre>%zu file%s changed, %zu insertion%s(+), %zu deletion%s(-)\n",
		r->file_count, plural(r->file_count), r->added_lines, plural(r->added_lines),
		r->deleted_lines, plural(r->deleted_lines));
	fputs("<hr/>", fp);
}

// "<a href=\"#h<i>-<j>[-<k>]\" id=\"h<i>-<j>[-<k>]\" class=\"<cls>\">"
static void put_anchor_id(FILE *fp, size_t i, size_t j, const size_t *k)
{
	putc('h', fp);
	put_size(fp, i);
	putc('-', fp);
	put_size(fp, j);
	if (k) {
		putc('-', fp);
		put_size(fp, *k);
	}
}

static void put_anchor(FILE *fp, size_t i, size_t j, const size_t *k, const char *cls)
{
	fputs("<a href=\"#", fp);
	put_anchor_id(fp, i, j, k);
	fputs("\" id=\"", fp);
	put_anchor_id(fp, i, j, k);
	fputs("\" class=\"", fp);
	fputs(cls, fp);
	fputs("\">", fp);
}

static void diff_line(FILE *fp, const git_diff_line *line, size_t i, size_t j, size_t k)
{
	bool changed = true;
	if (line->old_lineno == -1) {
		put_anchor(fp, i, j, &k, "i");
		putc('+', fp);
	} else if (line->new_lineno == -1) {
		put_anchor(fp, i, j, &k, "d");
		putc('-', fp);
	} else {
		putc(' ', fp);
		changed = false;
	}
	html_escape_line(fp, line->content, line->content_len);
	putc('\n', fp);
	if (changed)
		fputs("</a>", fp);
}

static void diff_hunks(FILE *fp, git_patch *patch, size_t i)
{
	size_t hunks = patch ? git_patch_num_hunks(patch) : 0;
	for (size_t j = 0; j < hunks; j++) {
		const git_diff_hunk *hunk;
		if (git_patch_get_hunk(&hunk, nullptr, patch, j) != 0)
			return;
		put_anchor(fp, i, j, nullptr, "h");
		html_escape(fp, hunk->header, hunk->header_len);
		fputs("</a>", fp);
		const git_diff_line *line;
		for (size_t k = 0; git_patch_get_line_in_hunk(&line, patch, j, k) == 0; k++)
			diff_line(fp, line, i, j, k);
	}
}

// The rest of a link to the page of `path` after its href's opening quote:
// the page, then the path as the link's text.
static void put_file_href_and_path(FILE *fp, const char *prefix, const char *path)
{
	fputs(prefix, fp);
	fputs("file/", fp);
	uri_escape(fp, path, strlen(path));
	fputs(".html\">", fp);
	put_html(fp, path);
}

static void diff_section(FILE *fp, const char *prefix, const commit_record *r, size_t i)
{
	const git_diff_delta *delta = entry_delta(r, i);
	fputs("<b>diff --git a/<a id=\"h", fp);
	put_size(fp, i);
	fputs("\" href=\"", fp);
	put_file_href_and_path(fp, prefix, delta->old_file.path);
	fputs("</a> b/<a href=\"", fp);
	put_file_href_and_path(fp, prefix, delta->new_file.path);
	fputs("</a></b>\n", fp);
	if (delta->flags & GIT_DIFF_FLAG_BINARY)
		fputs("Binary files differ.\n", fp);
	else
		diff_hunks(fp, r->deltas[i]->patch, i);
}

void commit_diff_block(FILE *fp, const char *prefix, const commit_record *r)
{
	commit_header_block(fp, prefix, r);
	if (!r->deltas)
		return;
	if (diff_too_large(r)) {
		fputs("Diff is too large, output suppressed.\n", fp);
		return;
	}
	diffstat(fp, r);
	for (size_t i = 0; i < r->delta_count; i++)
		diff_section(fp, prefix, r, i);
}
