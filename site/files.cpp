// "files.html": every file of HEAD's tree, each with a page of numbered
// lines under "file/".
#include "site.h"

#include <cstring>
#include <err.h>
#include <libgen.h>

// The file pages of one run: the page being written, and the directory
// made last (the files of a directory come one after another).
struct file_pages {
	page_output page;
	char made_dir[1024];
};

static const char FILES_TABLE_HEAD[] =
	"<table id=\"files\"><thead>\n<tr><td><b>Mode</b></td><td><b>Name</b></td>"
	"<td class=\"num\" align=\"right\"><b>Size</b></td></tr>\n</thead><tbody>\n";

static const char *mode_string(git_filemode_t filemode, char (&text)[11])
{
	unsigned mode = static_cast<unsigned>(filemode);
	static const char TYPE_LETTERS[] = "?pc?d?b?-?l?s???"; // by (mode >> 12)
	memcpy(text, "----------", 11);
	text[0] = TYPE_LETTERS[(mode & 0170000) >> 12];
	static const char RWX[] = "rwxrwxrwx";
	for (int bit = 0; bit < 9; bit++)
		if (mode & (0400u >> bit))
			text[1 + bit] = RWX[bit];
	if (mode & 04000)
		text[3] = (mode & 0100) ? 's' : 'S';
	if (mode & 02000)
		text[6] = (mode & 0010) ? 's' : 'S';
	if (mode & 01000)
		text[9] = (mode & 0001) ? 't' : 'T';
	return text;
}

// "<a href=\"#l%zu\" class=\"line\" id=\"l%zu\">%7zu</a> " for line n, with
// the number formatted once.
static void line_anchor(FILE *fp, size_t n)
{
	char digits[24];
	char *end = digits + sizeof digits;
	char *p = format_size(end, n);
	size_t len = static_cast<size_t>(end - p);
	fputs("<a href=\"#l", fp);
	fwrite(p, 1, len, fp);
	fputs("\" class=\"line\" id=\"l", fp);
	fwrite(p, 1, len, fp);
	fputs("\">", fp);
	for (; len < 7; len++)
		putc(' ', fp);
	fwrite(p, 1, static_cast<size_t>(end - p), fp);
	fputs("</a> ", fp);
}

static size_t blob_lines(FILE *fp, git_blob *blob)
{
	const char *content = static_cast<const char *>(git_blob_rawcontent(blob));
	size_t size = static_cast<size_t>(git_blob_rawsize(blob));
	size_t n = 0, start = 0;
	fputs("<pre id=\"blob\">\n", fp);
	while (start < size) {
		const char *eol = static_cast<const char *>(memchr(content + start, '\n', size - start));
		size_t end = eol ? static_cast<size_t>(eol - content) + 1 : size;
		line_anchor(fp, ++n);
		html_escape_line(fp, content + start, end - start);
		if (eol)
			putc('\n', fp);
		start = end;
	}
	fputs("</pre>\n", fp);
	return n;
}

static int64_t blob_page(file_pages *pages, git_blob *blob, const char *page_path, const char *name,
			 size_t size)
{
	char prefix[1024] = {0};
	if (snprintf(prefix, sizeof prefix, "%s", page_path) >= static_cast<int>(sizeof prefix))
		errx(1, "path truncated: '%s'", page_path);
	const char *dir = dirname(prefix);
	if (!dir)
		err(1, "dirname");
	if (strcmp(dir, pages->made_dir) != 0) {
		if (make_dirs(dir) != 0)
			return -1;
		snprintf(pages->made_dir, sizeof pages->made_dir, "%s", dir);
	}
	build_prefix(prefix, page_path);

	page_open_or_die(&pages->page, page_path, PAGE_COMPARE_LAZY);
	FILE *fp = pages->page.stream;
	write_page_header(fp, prefix, name);
	fputs("<p> ", fp);
	put_html(fp, name);
	fprintf(fp, " (%zuB)</p><hr/>", size);
	int64_t lines = 0;
	if (git_blob_is_binary(blob))
		fputs("<p>Binary file.</p>\n", fp);
	else
		lines = static_cast<int64_t>(blob_lines(fp, blob));
	write_page_footer(fp);
	page_close_or_die(&pages->page);
	return lines;
}

// Names that would lead outside "file/" or collide with the tree's own
// structure: git refuses such trees, but crafted ones can be pushed.
static bool unsafe_entry_name(const char *name)
{
	return name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
	       strchr(name, '/') != nullptr;
}

// The size cell shows the line count, else the byte size; also the byte
// size when the page's directory could not be made (lines is -1).
static void file_row(FILE *fp, const git_tree_entry *entry, const char *path,
		     const char *page_path, int64_t lines, size_t size)
{
	char mode[11];
	fputs("<tr><td>", fp);
	fputs(mode_string(git_tree_entry_filemode(entry), mode), fp);
	fputs("</td><td><a href=\"", fp);
	uri_escape(fp, page_path, strlen(page_path));
	fputs("\">", fp);
	put_html(fp, path);
	fputs("</a></td><td class=\"num\" align=\"right\">", fp);
	if (lines > 0)
		fprintf(fp, "%zuL", static_cast<size_t>(lines));
	else
		fprintf(fp, "%zuB", size);
	fputs("</td></tr>\n", fp);
}

static void submodule_row(FILE *fp, const git_tree_entry *entry, const char *path)
{
	char short_id[8];
	git_oid_tostr(short_id, sizeof short_id, git_tree_entry_id(entry));
	fputs("<tr><td>m---------</td><td><a href=\"file/.gitmodules.html\">", fp);
	put_html(fp, path);
	fputs("</a> @ ", fp);
	put_html(fp, short_id);
	fputs("</td><td class=\"num\" align=\"right\"></td></tr>\n", fp);
}

static int tree_rows(FILE *fp, file_pages *pages, git_tree *tree, const char *path);

// Returns -1 when the walk must stop, 0 otherwise.
static int tree_entry_rows(FILE *fp, file_pages *pages, const git_tree_entry *entry,
			   const char *tree_path)
{
	const char *name = git_tree_entry_name(entry);
	if (!name)
		return -1;
	if (unsafe_entry_name(name))
		return 0;
	char path[1024], page_path[1024];
	path_join(path, sizeof path, tree_path, name);
	int n = snprintf(page_path, sizeof page_path, "file/%s.html", path);
	if (n < 0 || static_cast<size_t>(n) >= sizeof page_path)
		errx(1, "path truncated: 'file/%s.html'", path);

	git_object *obj = nullptr;
	if (git_tree_entry_to_object(&obj, repository, entry) != 0) {
		if (git_tree_entry_type(entry) == GIT_OBJECT_COMMIT)
			submodule_row(fp, entry, path);
		return 0;
	}
	int result = 0;
	if (git_object_type(obj) == GIT_OBJECT_BLOB) {
		git_blob *blob = reinterpret_cast<git_blob *>(obj);
		size_t size = static_cast<size_t>(git_blob_rawsize(blob));
		int64_t lines = blob_page(pages, blob, page_path, name, size);
		file_row(fp, entry, path, page_path, lines, size);
	} else if (git_object_type(obj) == GIT_OBJECT_TREE) {
		result = tree_rows(fp, pages, reinterpret_cast<git_tree *>(obj), path);
	}
	git_object_free(obj);
	return result == 0 ? 0 : -1;
}

static int tree_rows(FILE *fp, file_pages *pages, git_tree *tree, const char *path)
{
	size_t count = git_tree_entrycount(tree);
	for (size_t i = 0; i < count; i++) {
		const git_tree_entry *entry = git_tree_entry_byindex(tree, i);
		if (!entry || tree_entry_rows(fp, pages, entry, path) != 0)
			return -1;
	}
	return 0;
}

int files_page_body(FILE *fp, const git_oid *head)
{
	fputs(FILES_TABLE_HEAD, fp);
	git_commit *commit = nullptr;
	git_tree *tree = nullptr;
	int result = -1;
	file_pages pages = {};
	if (git_commit_lookup(&commit, repository, head) == 0 && git_commit_tree(&tree, commit) == 0)
		result = tree_rows(fp, &pages, tree, "");
	page_output_free(&pages.page);
	fputs("</tbody></table>", fp);
	git_commit_free(commit);
	git_tree_free(tree);
	return result;
}
