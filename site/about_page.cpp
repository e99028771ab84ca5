// "about.html": the README at the top of HEAD. Markdown goes through
// cmark-gfm with the author's raw HTML and script links taken out and its
// relative links pointed at the site's pages; anything else is shown as it is.
#include "site.h"

#include <cmark-gfm.h>
#include <cmark-gfm-core-extensions.h>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <string>
#include <unordered_map>

// One README on its way to HTML: where image copies are written, the tree
// its links resolve in, and the heading ids given so far with the count of
// headings that asked for each.
struct about_walk {
	page_output *raw;
	git_tree *tree; // HEAD's root, borrowed
	std::unordered_map<std::string, unsigned> ids;
	highlighter colouring; // for the code blocks
};

static const char *const MARKDOWN_EXTENSIONS[] = {
	"table", "autolink", "strikethrough", "tasklist", "tagfilter",
};

// A README is a file: a symbolic link's blob holds its target's name, not
// the text the link leads to.
static bool readme_blob(const git_tree_entry *entry)
{
	return git_tree_entry_type(entry) == GIT_OBJECT_BLOB &&
	       git_tree_entry_filemode(entry) != GIT_FILEMODE_LINK;
}

static const git_tree_entry *readme_entry(const git_tree *tree)
{
	static const char *const NAMES[] = {"README.md", "README.markdown", "README"};
	for (const char *name : NAMES) {
		const git_tree_entry *entry = git_tree_entry_byname(tree, name);
		if (entry && readme_blob(entry))
			return entry;
	}
	size_t count = git_tree_entrycount(tree);
	for (size_t i = 0; i < count; i++) {
		const git_tree_entry *entry = git_tree_entry_byindex(tree, i);
		if (strncmp(git_tree_entry_name(entry), "README", 6) == 0 && readme_blob(entry))
			return entry;
	}
	return nullptr;
}

char *about_readme_choose(const git_oid *head)
{
	git_commit *commit = nullptr;
	git_tree *tree = nullptr;
	char *name = nullptr;
	if (git_commit_lookup(&commit, repository, head) == 0 && git_commit_tree(&tree, commit) == 0) {
		const git_tree_entry *entry = readme_entry(tree);
		if (entry && !(name = strdup(git_tree_entry_name(entry))))
			err(1, "strdup");
	}
	git_tree_free(tree);
	git_commit_free(commit);
	return name;
}

static bool ends_with_ignoring_case(const char *text, const char *suffix)
{
	size_t length = strlen(text), suffix_length = strlen(suffix);
	return length >= suffix_length && strcasecmp(text + length - suffix_length, suffix) == 0;
}

static bool markdown_name(const char *name)
{
	return ends_with_ignoring_case(name, ".md") || ends_with_ignoring_case(name, ".markdown");
}

static bool ascii_letter(unsigned char c)
{
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

static bool ascii_digit(unsigned char c)
{
	return c >= '0' && c <= '9';
}

// Links with these schemes run script or show what the author chose as if
// the site served it. Browsers skip leading blanks and control bytes and
// drop tabs and line ends anywhere in a URL: the scheme is read the same way.
static bool script_scheme(const char *url)
{
	const char *p = url;
	while (*p && static_cast<unsigned char>(*p) <= 0x20)
		p++;
	char scheme[16];
	size_t n = 0;
	for (; *p != ':'; p++) {
		unsigned char c = static_cast<unsigned char>(*p);
		if (c == '\t' || c == '\n' || c == '\r')
			continue;
		bool scheme_byte = ascii_letter(c) ||
				   (n > 0 && (ascii_digit(c) || c == '+' || c == '-' || c == '.'));
		if (!scheme_byte || n + 1 >= sizeof scheme)
			return false;
		scheme[n++] = static_cast<char>(c | 0x20);
	}
	scheme[n] = '\0';
	return strcmp(scheme, "javascript") == 0 || strcmp(scheme, "vbscript") == 0 ||
	       strcmp(scheme, "data") == 0 || strcmp(scheme, "file") == 0;
}

// "scheme:..." or "//host...": left as written. A backslash counts as a
// slash there, as browsers read it.
static bool absolute_url(const char *url)
{
	if ((url[0] == '/' || url[0] == '\\') && (url[1] == '/' || url[1] == '\\'))
		return true;
	if (!ascii_letter(static_cast<unsigned char>(url[0])))
		return false;
	const char *p = url + 1;
	while (ascii_letter(static_cast<unsigned char>(*p)) || ascii_digit(static_cast<unsigned char>(*p)) ||
	       *p == '+' || *p == '-' || *p == '.')
		p++;
	return *p == ':';
}

static int hex_value(char c)
{
	if (ascii_digit(static_cast<unsigned char>(c)))
		return c - '0';
	if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
		return (c | 0x20) - 'a' + 10;
	return -1;
}

// One segment of a link's path, percent-decoded into `out`: -1 when it
// holds a NUL or a slash (no such name in a tree) or does not fit.
static int decode_segment(const char *segment, size_t length, char *out, size_t size)
{
	size_t n = 0;
	for (size_t i = 0; i < length; i++) {
		char c = segment[i];
		if (c == '%' && i + 2 < length && hex_value(segment[i + 1]) >= 0 &&
		    hex_value(segment[i + 2]) >= 0) {
			c = static_cast<char>(hex_value(segment[i + 1]) * 16 + hex_value(segment[i + 2]));
			i += 2;
		}
		if (c == '\0' || c == '/' || n + 1 >= size)
			return -1;
		out[n++] = c;
	}
	out[n] = '\0';
	return 0;
}

// The path inside HEAD's tree that the first `length` bytes of a relative
// link name, "./" and "../" worked out, from the README's directory (the
// root; a leading "/" means the root too). -1 when the path leads above the
// root or does not fit.
static int tree_path(const char *link, size_t length, char (&path)[1024])
{
	size_t used = 0;
	path[0] = '\0';
	for (size_t start = 0; start < length;) {
		const char *slash = static_cast<const char *>(memchr(link + start, '/', length - start));
		size_t end = slash ? static_cast<size_t>(slash - link) : length;
		char name[256];
		if (decode_segment(link + start, end - start, name, sizeof name) != 0)
			return -1;
		start = end + 1;
		if (name[0] == '\0' || strcmp(name, ".") == 0)
			continue;
		if (strcmp(name, "..") == 0) {
			if (used == 0)
				return -1;
			char *last = strrchr(path, '/');
			used = last ? static_cast<size_t>(last - path) : 0;
			path[used] = '\0';
			continue;
		}
		size_t name_length = strlen(name);
		if (used + 1 + name_length >= sizeof path)
			return -1;
		if (used > 0)
			path[used++] = '/';
		memcpy(path + used, name, name_length + 1);
		used += name_length;
	}
	return 0;
}

// "<before><path, percent-encoded><after><fragment>", a new string.
static char *site_url(const char *before, const char *path, const char *after, const char *fragment)
{
	char *text = nullptr;
	size_t length = 0;
	FILE *fp = open_memstream(&text, &length);
	if (!fp)
		err(1, "open_memstream");
	fputs(before, fp);
	uri_escape(fp, path, strlen(path));
	fputs(after, fp);
	fputs(fragment, fp);
	if (fclose(fp) != 0)
		err(1, "open_memstream");
	return text;
}

// An image's file is copied under "raw/", whether or not the site keeps
// every file there: the page shows it from that copy.
static char *image_url(about_walk *walk, const git_tree_entry *entry, const char *path, const char *fragment)
{
	git_blob *blob = nullptr;
	if (git_blob_lookup(&blob, repository, git_tree_entry_id(entry)) != 0)
		return nullptr;
	const char *bytes = static_cast<const char *>(git_blob_rawcontent(blob));
	size_t size = static_cast<size_t>(git_blob_rawsize(blob));
	int written = raw_file_write(walk->raw, path, bytes, size);
	git_blob_free(blob);
	return written == 0 ? site_url("raw/", path, "", fragment) : nullptr;
}

// The site's page for a relative link of the README: a file's page (its
// raw copy for an image), a directory's. Null: the link stays as written
// (nothing of HEAD by that name, a path above the root, no path at all).
static char *relative_target(about_walk *walk, const char *link, bool image)
{
	size_t path_length = strcspn(link, "?#");
	if (path_length == 0)
		return nullptr; // this very page, as the README's reader saw it
	const char *fragment = strchr(link + path_length, '#');
	if (!fragment)
		fragment = "";
	char path[1024];
	if (tree_path(link, path_length, path) != 0)
		return nullptr;
	if (path[0] == '\0')
		return image ? nullptr : strdup(rich_tree ? "tree/index.html" : "files.html");
	git_tree_entry *entry = nullptr;
	if (git_tree_entry_bypath(&entry, walk->tree, path) != 0)
		return nullptr;
	char *url = nullptr;
	git_object_t type = git_tree_entry_type(entry);
	if (type == GIT_OBJECT_BLOB && image)
		url = image_url(walk, entry, path, fragment);
	else if (type == GIT_OBJECT_BLOB)
		url = site_url("file/", path, ".html", fragment);
	else if (type == GIT_OBJECT_TREE && !image && rich_tree && directory_has_tree_page(path))
		url = site_url("tree/", path, "/index.html", fragment);
	else if (type == GIT_OBJECT_TREE && !image)
		url = strdup("files.html");
	git_tree_entry_free(entry);
	return url;
}

// Nodes the iterator enters and never exits.
static bool leaf_node(cmark_node *node)
{
	switch (cmark_node_get_type(node)) {
	case CMARK_NODE_HTML_BLOCK:
	case CMARK_NODE_THEMATIC_BREAK:
	case CMARK_NODE_CODE_BLOCK:
	case CMARK_NODE_TEXT:
	case CMARK_NODE_SOFTBREAK:
	case CMARK_NODE_LINEBREAK:
	case CMARK_NODE_CODE:
	case CMARK_NODE_HTML_INLINE:
		return true;
	default:
		return false;
	}
}

// Frees `node`, its children with it, and sets the iterator where the next
// step takes it to what followed the node.
static void remove_node(cmark_iter *iter, cmark_node *node)
{
	cmark_node *previous = cmark_node_previous(node);
	cmark_node *parent = cmark_node_parent(node);
	cmark_node_free(node); // unlinked first
	if (previous)
		cmark_iter_reset(iter, previous, leaf_node(previous) ? CMARK_EVENT_ENTER : CMARK_EVENT_EXIT);
	else
		cmark_iter_reset(iter, parent, CMARK_EVENT_ENTER);
}

// A link without its destination: its text stays, as an image's alt does.
static void unwrap(cmark_iter *iter, cmark_node *node)
{
	while (cmark_node *child = cmark_node_first_child(node))
		cmark_node_insert_before(node, child);
	remove_node(iter, node);
}

static void rewrite_link(about_walk *walk, cmark_iter *iter, cmark_node *node)
{
	const char *url = cmark_node_get_url(node);
	if (!url)
		url = "";
	if (script_scheme(url)) {
		unwrap(iter, node);
		return;
	}
	if (url[0] == '#' || absolute_url(url))
		return;
	char *target = relative_target(walk, url, cmark_node_get_type(node) == CMARK_NODE_IMAGE);
	if (target)
		cmark_node_set_url(node, target);
	free(target);
}

// The heading's text as its id: lower case, blanks to '-', other ASCII
// punctuation dropped, bytes past ASCII kept (their case unchanged). An
// image's alt text is no part of it.
static std::string heading_slug(cmark_node *heading)
{
	std::string slug;
	cmark_iter *iter = cmark_iter_new(heading);
	cmark_event_type event;
	while ((event = cmark_iter_next(iter)) != CMARK_EVENT_DONE) {
		cmark_node *node = cmark_iter_get_node(iter);
		cmark_node_type type = cmark_node_get_type(node);
		if (type == CMARK_NODE_IMAGE && event == CMARK_EVENT_ENTER)
			cmark_iter_reset(iter, node, CMARK_EVENT_EXIT);
		if (type != CMARK_NODE_TEXT && type != CMARK_NODE_CODE)
			continue;
		for (const char *p = cmark_node_get_literal(node); p && *p; p++) {
			unsigned char c = static_cast<unsigned char>(*p);
			if (c == ' ')
				slug += '-';
			else if (c >= 0x80 || ascii_digit(c) || c == '-' || c == '_')
				slug += static_cast<char>(c);
			else if (ascii_letter(c))
				slug += static_cast<char>(c | 0x20);
		}
	}
	cmark_iter_free(iter);
	return slug;
}

// The slug, or with "-1", "-2"... when an earlier heading (or the frame's
// "content") has it.
static std::string unique_id(about_walk *walk, const std::string &slug)
{
	std::string base = slug.empty() ? "section" : slug;
	std::string id = base;
	while (walk->ids.count(id) != 0)
		id = base + '-' + std::to_string(++walk->ids[base]);
	walk->ids[id] = 0;
	return id;
}

// cmark writes headings without attributes: the heading becomes a custom
// block around a custom inline that holds its text and is written as
// "<hN id=...>" and "</hN>" on one line. The id's bytes are letters,
// digits, '-', '_' and UTF-8 past ASCII: nothing an attribute must escape.
static void heading_with_id(about_walk *walk, cmark_iter *iter, cmark_node *heading)
{
	std::string id = unique_id(walk, heading_slug(heading));
	int level = cmark_node_get_heading_level(heading);
	std::string open = "<h" + std::to_string(level) + " id=\"" + id + "\">";
	std::string close = "</h" + std::to_string(level) + ">";
	cmark_node *block = cmark_node_new(CMARK_NODE_CUSTOM_BLOCK);
	cmark_node *text = cmark_node_new(CMARK_NODE_CUSTOM_INLINE);
	// The text's literals point into the heading's own buffer, which goes
	// with the heading: they are copied first.
	cmark_node_own(heading);
	cmark_node_set_on_enter(text, open.c_str());
	cmark_node_set_on_exit(text, close.c_str());
	while (cmark_node *child = cmark_node_first_child(heading))
		cmark_node_append_child(text, child);
	cmark_node_append_child(block, text);
	cmark_node_insert_before(heading, block);
	remove_node(iter, heading);
}

// The language of a fenced block by the first word of its info string.
struct fence_name {
	const char *name;
	source_language language;
};
static const fence_name FENCE_LANGUAGES[] = {
	{"c", LANG_C}, {"cpp", LANG_CPP}, {"sh", LANG_SHELL}, {"bash", LANG_SHELL},
	{"shell", LANG_SHELL}, {"python", LANG_PYTHON}, {"py", LANG_PYTHON},
	{"js", LANG_JAVASCRIPT}, {"javascript", LANG_JAVASCRIPT}, {"ts", LANG_TYPESCRIPT},
	{"typescript", LANG_TYPESCRIPT}, {"tsx", LANG_TSX}, {"go", LANG_GO}, {"rust", LANG_RUST},
	{"rs", LANG_RUST}, {"java", LANG_JAVA}, {"json", LANG_JSON}, {"yaml", LANG_YAML},
	{"yml", LANG_YAML}, {"toml", LANG_TOML}, {"html", LANG_HTML}, {"css", LANG_CSS},
	{"make", LANG_MAKE}, {"makefile", LANG_MAKE}, {"markdown", LANG_MARKDOWN}, {"md", LANG_MARKDOWN},
};

static source_language fence_language(const char *word, size_t length)
{
	for (const fence_name &fence : FENCE_LANGUAGES)
		if (strlen(fence.name) == length && strncasecmp(fence.name, word, length) == 0)
			return fence.language;
	return LANG_NONE;
}

// cmark's HTML of a code block with the spans of its text added; null when
// its language is unknown or the text cannot be coloured.
static char *code_block_html(highlighter *colouring, cmark_node *node)
{
	const char *info = cmark_node_get_fence_info(node);
	const char *code = cmark_node_get_literal(node);
	if (!info || !code)
		return nullptr;
	size_t word = strcspn(info, " \t\n\v\f\r"); // cmark's class: up to the first blank
	source_language language = fence_language(info, word);
	size_t size = strlen(code);
	highlight_span *spans;
	size_t count;
	if (language == LANG_NONE || highlight_spans(colouring, language, code, size, HIGHLIGHT_FRAGMENT, &spans, &count) != 0)
		return nullptr;
	char *html = nullptr;
	size_t length = 0;
	FILE *fp = open_memstream(&html, &length);
	if (!fp)
		err(1, "open_memstream");
	fputs("<pre><code class=\"language-", fp);
	html_escape_cmark(fp, info, word);
	fputs("\">", fp);
	highlighted_code(fp, code, size, spans, count);
	fputs("</code></pre>\n", fp);
	if (fclose(fp) != 0)
		err(1, "open_memstream");
	free(spans);
	return html;
}

// cmark writes a code block as text alone: a coloured one becomes a custom
// block that holds its whole HTML, as headings with ids do. A block that
// cannot be coloured stays as cmark writes it.
static void code_block_highlighted(about_walk *walk, cmark_iter *iter, cmark_node *node)
{
	char *html = code_block_html(&walk->colouring, node);
	if (!html)
		return;
	cmark_node *block = cmark_node_new(CMARK_NODE_CUSTOM_BLOCK);
	cmark_node_set_on_enter(block, html);
	cmark_node_set_on_exit(block, "");
	cmark_node_insert_before(node, block);
	remove_node(iter, node);
	free(html);
}

// Raw HTML goes, whatever it holds, and a paragraph it leaves empty; links
// are checked once their text has been seen, headings once their text is
// final. With repopage.highlight, code blocks are coloured.
static void clean_document(about_walk *walk, cmark_node *document)
{
	cmark_iter *iter = cmark_iter_new(document);
	cmark_event_type event;
	while ((event = cmark_iter_next(iter)) != CMARK_EVENT_DONE) {
		cmark_node *node = cmark_iter_get_node(iter);
		cmark_node_type type = cmark_node_get_type(node);
		if (type == CMARK_NODE_HTML_BLOCK || type == CMARK_NODE_HTML_INLINE)
			remove_node(iter, node);
		else if (type == CMARK_NODE_CODE_BLOCK && rich_highlight)
			code_block_highlighted(walk, iter, node);
		else if (event != CMARK_EVENT_EXIT)
			continue;
		else if (type == CMARK_NODE_LINK || type == CMARK_NODE_IMAGE)
			rewrite_link(walk, iter, node);
		else if (type == CMARK_NODE_HEADING)
			heading_with_id(walk, iter, node);
		else if (type == CMARK_NODE_PARAGRAPH && !cmark_node_first_child(node))
			remove_node(iter, node);
	}
	cmark_iter_free(iter);
}

// The README's HTML, a string for free(). Rendered in cmark's safe mode
// all the same, which would leave out any raw HTML clean_document missed;
// the custom blocks of the headings are written as they are in any mode.
static char *markdown_html(about_walk *walk, const char *text, size_t size)
{
	cmark_gfm_core_extensions_ensure_registered();
	cmark_parser *parser = cmark_parser_new(CMARK_OPT_VALIDATE_UTF8);
	for (const char *name : MARKDOWN_EXTENSIONS)
		if (cmark_syntax_extension *extension = cmark_find_syntax_extension(name))
			cmark_parser_attach_syntax_extension(parser, extension);
	cmark_parser_feed(parser, text, size);
	cmark_node *document = cmark_parser_finish(parser);
	walk->ids.emplace("content", 0);
	clean_document(walk, document);
	char *html = cmark_render_html(document, CMARK_OPT_DEFAULT, cmark_parser_get_syntax_extensions(parser));
	cmark_node_free(document);
	cmark_parser_free(parser);
	return html;
}

// The text as it is; html_escape stops at a NUL, so each NUL is skipped.
static void plain_body(FILE *fp, const char *text, size_t size)
{
	fputs("<pre>\n", fp);
	for (size_t start = 0; start < size;) {
		const char *nul = static_cast<const char *>(memchr(text + start, '\0', size - start));
		size_t end = nul ? static_cast<size_t>(nul - text) : size;
		html_escape(fp, text + start, end - start);
		start = end + 1;
	}
	fputs("</pre>\n", fp);
}

static git_blob *readme_load(git_tree *tree)
{
	const git_tree_entry *entry = git_tree_entry_byname(tree, about_readme);
	git_blob *blob = nullptr;
	if (entry && git_blob_lookup(&blob, repository, git_tree_entry_id(entry)) != 0)
		blob = nullptr;
	return blob;
}

// A README that cannot be read leaves the page with its frame alone: every
// page links to it.
void write_about_page(page_output *page, const git_oid *head)
{
	git_commit *commit = nullptr;
	about_walk walk = {page, nullptr, {}, {}};
	git_blob *blob = nullptr;
	if (git_commit_lookup(&commit, repository, head) == 0 && git_commit_tree(&walk.tree, commit) == 0)
		blob = readme_load(walk.tree);
	const char *text = blob ? static_cast<const char *>(git_blob_rawcontent(blob)) : "";
	size_t size = blob ? static_cast<size_t>(git_blob_rawsize(blob)) : 0;
	// Image copies are written first: the page's record serves them too.
	char *html = blob && markdown_name(about_readme) ? markdown_html(&walk, text, size) : nullptr;

	page_open_or_die(page, "about.html", PAGE_COMPARE_LAZY);
	FILE *fp = page->stream;
	write_page_header(fp, "", "About");
	fputs("<div class=\"about\">\n", fp);
	if (html)
		fputs(html, fp);
	else if (blob && git_blob_is_binary(blob))
		fputs("<p>Binary file.</p>\n", fp);
	else if (blob)
		plain_body(fp, text, size);
	fputs("</div>\n", fp);
	write_page_footer(fp);
	page_close_or_die(page);

	free(html);
	highlighter_free(&walk.colouring);
	git_blob_free(blob);
	git_tree_free(walk.tree);
	git_commit_free(commit);
}
