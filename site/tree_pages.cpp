// "tree/": a page per directory of HEAD at tree/<path>/index.html, listing
// its directories, then its files, then its submodules; and the breadcrumb,
// the links from the root down to a path, of tree and file pages.
#include "site.h"

#include <cstring>
#include <err.h>

static const char INDEX[] = "index.html";

// A directory named "index.html" would need a directory where its parent's
// page lies: none at or below it gets a page, and the links to them lead
// to "files.html" instead. Looks at the first `length` bytes of `path`.
static bool has_tree_page(const char *path, size_t length)
{
	const size_t index_length = sizeof INDEX - 1;
	size_t start = 0;
	while (start < length) {
		const char *slash = static_cast<const char *>(memchr(path + start, '/', length - start));
		size_t end = slash ? static_cast<size_t>(slash - path) : length;
		if (end - start == index_length && memcmp(path + start, INDEX, index_length) == 0)
			return false;
		start = end + 1;
	}
	return true;
}

bool directory_has_tree_page(const char *path)
{
	return has_tree_page(path, strlen(path));
}

// The link to the directory of the first `length` bytes of `path`.
static void put_tree_href(FILE *fp, const char *prefix, const char *path, size_t length)
{
	fputs(prefix, fp);
	if (!has_tree_page(path, length)) {
		fputs("files.html", fp);
		return;
	}
	fputs("tree/", fp);
	if (length > 0) {
		uri_escape(fp, path, length);
		putc('/', fp);
	}
	fputs(INDEX, fp);
}

// The root is shown by the repository's name, or "/" when it has none.
void write_breadcrumb(FILE *fp, const char *prefix, const char *path, breadcrumb_end end)
{
	fputs("<a href=\"", fp);
	put_tree_href(fp, prefix, path, 0);
	fputs("\">", fp);
	put_html(fp, short_name[0] ? short_name : "/");
	fputs("</a>", fp);
	size_t length = strlen(path), start = 0;
	while (start < length) {
		const char *slash = static_cast<const char *>(memchr(path + start, '/', length - start));
		size_t stop = slash ? static_cast<size_t>(slash - path) : length;
		fputs(" / <a href=\"", fp);
		if (!slash && end == BREADCRUMB_FILE) {
			fputs(prefix, fp);
			fputs("file/", fp);
			uri_escape(fp, path, length);
			fputs(".html", fp);
		} else {
			put_tree_href(fp, prefix, path, stop);
		}
		fputs("\">", fp);
		html_escape(fp, path + start, stop - start);
		fputs("</a>", fp);
		start = stop + 1;
	}
}

// "<dir>/<name>" as a link's target.
static void put_entry_path(FILE *fp, const char *dir, const char *name)
{
	if (dir[0]) {
		uri_escape(fp, dir, strlen(dir));
		putc('/', fp);
	}
	uri_escape(fp, name, strlen(name));
}

static void tree_page_row(FILE *fp, const git_tree_entry *entry, const char *prefix, const char *dir,
			  const listed_entry *listed)
{
	const char *name = git_tree_entry_name(entry);
	if (listed->kind == LISTED_SUBMODULE) {
		listing_submodule_row(fp, entry, prefix, name);
		return;
	}
	listing_row_start(fp, entry);
	fputs(prefix, fp);
	if (listed->kind == LISTED_FILE) {
		fputs("file/", fp);
		put_entry_path(fp, dir, name);
		fputs(".html", fp);
	} else if (strcmp(name, INDEX) == 0) {
		fputs("files.html", fp);
	} else {
		fputs("tree/", fp);
		put_entry_path(fp, dir, name);
		putc('/', fp);
		fputs(INDEX, fp);
	}
	listing_row_end(fp, name, listed);
}

static void tree_page_rows(FILE *fp, git_tree *tree, const char *prefix, const char *dir,
			   const listed_entry *listed, listed_kind kind)
{
	size_t count = git_tree_entrycount(tree);
	for (size_t i = 0; i < count; i++)
		if (listed[i].kind == kind)
			tree_page_row(fp, git_tree_entry_byindex(tree, i), prefix, dir, &listed[i]);
}

// Like a file page, a tree page whose directory cannot be made is left out.
void tree_page_write(page_output *page, git_tree *tree, const char *path, const listed_entry *listed)
{
	if (!has_tree_page(path, strlen(path)))
		return;
	char page_path[1024];
	int n = path[0] ? snprintf(page_path, sizeof page_path, "tree/%s/%s", path, INDEX)
			: snprintf(page_path, sizeof page_path, "tree/%s", INDEX);
	if (n < 0 || static_cast<size_t>(n) >= sizeof page_path)
		errx(1, "path truncated: 'tree/%s/%s'", path, INDEX);
	if (page_open_in_dirs(page, page_path) != 0)
		return;
	char prefix[1024];
	build_prefix(prefix, page_path);
	FILE *fp = page->stream;
	write_page_header(fp, prefix, path[0] ? path : "Tree");
	fputs("<p> ", fp);
	write_breadcrumb(fp, prefix, path, BREADCRUMB_DIRECTORY);
	fputs("</p><hr/>", fp);
	listing_head(fp);
	tree_page_rows(fp, tree, prefix, path, listed, LISTED_DIRECTORY);
	tree_page_rows(fp, tree, prefix, path, listed, LISTED_FILE);
	tree_page_rows(fp, tree, prefix, path, listed, LISTED_SUBMODULE);
	listing_end(fp);
	write_page_footer(fp);
	page_close_or_die(page);
}
