// "files.html": every file of HEAD's tree, each with a page of numbered
// lines under "file/"; on the same walk, when the repository asks for them,
// each file's raw copy and the tree pages.
#include "site.h"

#include <cstdlib>
#include <cstring>
#include <err.h>
#include <git2/sys/errors.h>
#include <libgen.h>
#include <string>
#include <vector>

// A file of HEAD's tree as the walk will meet it.
struct listed_blob {
	git_oid id;
	std::string path;
};

// A file whose page comes soon, made ready ahead of the walk when threads
// colour the pages: its record read, and its bytes on a thread.
struct file_ahead {
	git_blob *blob;                 // owned: a thread may be reading its bytes
	bool absent;                    // its blob could not be read: the walk skips it
	bool ready;                     // record and current hold
	char record[PAGE_RECORD_START]; // made with its raw copy assumed there
	bool current;
	bool spans_known;               // whether it is coloured was settled ahead ...
	bool colouring;                 // ... and job is out on the pool
	size_t job;
};

// The file pages of one run: the page being written (raw copies, file and
// tree pages take it in turn), the directory made last (the files of a
// directory come one after another) and, for the tree pages, the entries of
// the directories being walked, the deepest last. With repopage.highlight
// on, the stream that hashes a file page's head, for the record by which a
// later run keeps the page, and with threads, the files of the tree in walk
// order, a window of them made ready ahead.
struct file_pages {
	page_output page;
	char made_dir[1024];
	std::vector<listed_entry> listed;
	FILE *head_hash_stream;
	page_hash head_hash;
	run_progress *progress;
	highlighter colouring; // the parser the file pages share
	colour_pool *pool;     // owned; null: pages coloured as written
	std::vector<listed_blob> blobs;
	std::vector<file_ahead> ahead; // file i in slot i % window
	size_t next;                   // the file the walk meets next
	size_t prepared;               // files made ready so far
};

// Raised whenever a file page's lines are written differently while
// VERSION stays the same, so that the pages an earlier build left are made
// again: their records name the number they were written with.
constexpr int FILE_PAGE_FORMAT = 2;
static_assert(sizeof REPOPAGE_VERSION < 64, "the record's start must hold the version");

// Whether the file is coloured, and its spans: those a thread made ahead
// when the choice was made there, else made now.
static bool file_spans(file_pages *pages, file_ahead *ahead, const char *name, const char *content,
		       size_t size, highlight_span **spans, size_t *count)
{
	if (ahead && ahead->colouring) {
		ahead->colouring = false;
		return colour_pool_wait(pages->pool, ahead->job, spans, count);
	}
	if (ahead && ahead->spans_known)
		return false;
	source_language language = detect_language(name, content, size);
	return language != LANG_NONE &&
	       highlight_spans(&pages->colouring, language, content, size, HIGHLIGHT_FILE, spans, count) == 0;
}

// With repopage.highlight on, the lines coloured when the file's language
// is known and its parse succeeds; else, and with the key off, plain.
static size_t file_lines(FILE *fp, file_pages *pages, file_ahead *ahead, git_blob *blob, const char *name)
{
	const char *content = static_cast<const char *>(git_blob_rawcontent(blob));
	size_t size = static_cast<size_t>(git_blob_rawsize(blob));
	highlight_span *spans;
	size_t count;
	if (rich_highlight && file_spans(pages, ahead, name, content, size, &spans, &count)) {
		size_t n = highlighted_lines(fp, content, size, spans, count);
		free(spans);
		return n;
	}
	return plain_lines(fp, content, size);
}

// " <a href=\"<prefix>raw/<path>\">raw</a>"
static void raw_link(FILE *fp, const char *prefix, const char *path)
{
	fputs(" <a href=\"", fp);
	fputs(prefix, fp);
	fputs("raw/", fp);
	uri_escape(fp, path, strlen(path));
	fputs("\">raw</a>", fp);
}

// What a file page shows before its lines.
struct file_head {
	const char *prefix;
	const char *path;
	const char *name;
	size_t size;
	bool raw; // its raw copy is there
};

static void write_file_head(FILE *fp, const file_head *head)
{
	write_page_header(fp, head->prefix, head->name);
	fputs("<p> ", fp);
	if (rich_tree)
		write_breadcrumb(fp, head->prefix, head->path, BREADCRUMB_FILE);
	else
		put_html(fp, head->name);
	fprintf(fp, " (%zuB)", head->size);
	if (head->raw)
		raw_link(fp, head->prefix, head->path);
	fputs("</p><hr/>", fp);
}

// The start of a file page's record: the version and format that wrote
// it, the hash of its head (the frame, with the description, clone URL and
// navigation that HEAD and the keys decide, and the line naming the file),
// and the blob its lines come from.
static void file_record_start(char (&start)[PAGE_RECORD_START], file_pages *pages, const file_head *head,
			      git_blob *blob)
{
	pages->head_hash = {};
	write_file_head(pages->head_hash_stream, head);
	if (fflush(pages->head_hash_stream) != 0)
		err(1, "malloc");
	char id[GIT_OID_SHA1_HEXSIZE + 1];
	git_oid_tostr(id, sizeof id, git_blob_id(blob));
	snprintf(start, sizeof start, "<!-- repopage %s %d:%016llx %s ", REPOPAGE_VERSION, FILE_PAGE_FORMAT,
		 static_cast<unsigned long long>(page_hash_value(&pages->head_hash)), id);
}

// The lines of a file whose page is kept, as plain_lines counts them.
static int64_t kept_page_lines(git_blob *blob)
{
	if (git_blob_is_binary(blob))
		return 0;
	const char *content = static_cast<const char *>(git_blob_rawcontent(blob));
	size_t size = static_cast<size_t>(git_blob_rawsize(blob));
	int64_t lines = 0;
	const char *end = content + size;
	for (const char *p = content; p < end; lines++) {
		const char *eol = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
		p = eol ? eol + 1 : end;
	}
	return lines;
}

// The record of the page: the one made ahead when its raw copy is there
// as assumed, else made now. True when the page in place is current.
static bool file_record(char (&record)[PAGE_RECORD_START], file_pages *pages, const file_ahead *ahead,
			const file_head *head, git_blob *blob, const char *page_path)
{
	if (ahead && ahead->ready && head->raw == rich_raw) {
		memcpy(record, ahead->record, sizeof record);
		return ahead->current;
	}
	file_record_start(record, pages, head, blob);
	return page_record_current(&pages->page, page_path, record);
}

// The raw copy is written first, so that the page links to it only when
// it is there. With repopage.highlight on, a page whose record says it is
// current is kept without being made again.
static int64_t blob_page(file_pages *pages, file_ahead *ahead, git_blob *blob, const char *page_path,
			 const char *path, const char *name, size_t size)
{
	const char *content = static_cast<const char *>(git_blob_rawcontent(blob));
	bool raw = rich_raw && raw_file_write(&pages->page, path, content, size) == 0;
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
	file_head head = {prefix, path, name, size, raw};
	char record[PAGE_RECORD_START];
	if (rich_highlight && file_record(record, pages, ahead, &head, blob, page_path))
		return kept_page_lines(blob);

	page_open_or_die(&pages->page, page_path, PAGE_COMPARE_LAZY);
	pages->page.hashing = rich_highlight;
	FILE *fp = pages->page.stream;
	write_file_head(fp, &head);
	int64_t lines = 0;
	if (git_blob_is_binary(blob))
		fputs("<p>Binary file.</p>\n", fp);
	else
		lines = static_cast<int64_t>(file_lines(fp, pages, ahead, blob, name));
	write_page_footer(fp);
	if (rich_highlight)
		page_record_write(&pages->page, record);
	page_close_or_die(&pages->page);
	return lines;
}

// "file/<path>.html"; false when it does not fit.
static bool file_page_path(char (&page_path)[1024], const char *path)
{
	int n = snprintf(page_path, sizeof page_path, "file/%s.html", path);
	return n >= 0 && static_cast<size_t>(n) < sizeof page_path;
}

// A file made ready ahead: its record with its raw copy assumed there, and
// when the page is to be made, its language and its bytes to a thread. A
// path the walk would stop on is left for the walk, which ends the run
// with its message in its turn.
static void ahead_prepare(file_pages *pages, file_ahead *ahead, const listed_blob *listed)
{
	if (git_blob_lookup(&ahead->blob, repository, &listed->id) != 0) {
		ahead->absent = true;
		git_error_clear();
		return;
	}
	const char *path = listed->path.c_str();
	char page_path[1024], prefix[1024];
	if (!file_page_path(page_path, path) || prefix_make(prefix, page_path) != 0)
		return;
	const char *slash = strrchr(path, '/');
	const char *name = slash ? slash + 1 : path;
	const char *content = static_cast<const char *>(git_blob_rawcontent(ahead->blob));
	size_t size = static_cast<size_t>(git_blob_rawsize(ahead->blob));
	file_head head = {prefix, path, name, size, rich_raw};
	file_record_start(ahead->record, pages, &head, ahead->blob);
	ahead->current = page_record_current(&pages->page, page_path, ahead->record);
	ahead->ready = true;
	if (ahead->current || git_blob_is_binary(ahead->blob))
		return;
	ahead->spans_known = true;
	source_language language = detect_language(name, content, size);
	if (language == LANG_NONE)
		return;
	ahead->job = colour_pool_submit(pages->pool, language, content, size);
	ahead->colouring = true;
}

// Keeps a window of files made ready from the one the walk is at.
static void ahead_fill(file_pages *pages)
{
	size_t window = pages->ahead.size();
	while (pages->prepared < pages->blobs.size() && pages->prepared < pages->next + window) {
		file_ahead *ahead = &pages->ahead[pages->prepared % window];
		*ahead = {};
		ahead_prepare(pages, ahead, &pages->blobs[pages->prepared]);
		pages->prepared++;
	}
}

// The file made ready for the blob `id` at `path`, when it is the next one
// the walk meets, its blob then the walk's for the page; else (a tree that
// reads otherwise than it was listed) none, and the walk loads the object
// and makes the page as without threads.
static file_ahead *ahead_take(file_pages *pages, const git_oid *id, const char *path)
{
	ahead_fill(pages);
	size_t window = pages->ahead.size();
	while (pages->next < pages->prepared && pages->ahead[pages->next % window].absent)
		pages->next++;
	file_ahead *ahead = &pages->ahead[pages->next % window];
	if (pages->next >= pages->prepared || !git_oid_equal(git_blob_id(ahead->blob), id) ||
	    pages->blobs[pages->next].path != path)
		return nullptr;
	pages->next++;
	return ahead;
}

// Takes back the spans no page used before the blob goes.
static void ahead_release(file_pages *pages, file_ahead *ahead)
{
	if (ahead->colouring) {
		highlight_span *spans;
		size_t count;
		colour_pool_wait(pages->pool, ahead->job, &spans, &count);
		free(spans);
		ahead->colouring = false;
	}
	git_blob_free(ahead->blob);
	ahead->blob = nullptr;
}

// Names that would lead outside "file/" or collide with the tree's own
// structure: git refuses such trees, but crafted ones can be pushed.
static bool unsafe_entry_name(const char *name)
{
	return name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
	       strchr(name, '/') != nullptr;
}

// The blobs that get a page, through the directories the walk enters, in
// the walk's order: the progress line's total, and the files made ready
// ahead. Nothing here ends the run: the walk meets what cannot be read.
static void list_blobs(git_tree *tree, const std::string &path, std::vector<listed_blob> *blobs)
{
	for (size_t i = 0; i < git_tree_entrycount(tree); i++) {
		const git_tree_entry *entry = git_tree_entry_byindex(tree, i);
		const char *name = git_tree_entry_name(entry);
		if (!name)
			return;
		if (unsafe_entry_name(name))
			continue;
		std::string entry_path = path.empty() ? name : path + "/" + name;
		git_object_t type = git_tree_entry_type(entry);
		git_tree *subtree = nullptr;
		if (type == GIT_OBJECT_BLOB)
			blobs->push_back({*git_tree_entry_id(entry), entry_path});
		else if (type == GIT_OBJECT_TREE && git_tree_lookup(&subtree, repository, git_tree_entry_id(entry)) == 0)
			list_blobs(subtree, entry_path, blobs);
		git_tree_free(subtree);
	}
}

static int tree_rows(FILE *fp, file_pages *pages, git_tree *tree, const char *path);

// Returns -1 when the walk must stop, 0 otherwise; `listed` is left empty
// for an entry with no row.
static int tree_entry_rows(FILE *fp, file_pages *pages, const git_tree_entry *entry,
			   const char *tree_path, listed_entry *listed)
{
	const char *name = git_tree_entry_name(entry);
	if (!name)
		return -1;
	if (unsafe_entry_name(name))
		return 0;
	char path[1024], page_path[1024];
	path_join(path, sizeof path, tree_path, name);
	if (!file_page_path(page_path, path))
		errx(1, "path truncated: 'file/%s.html'", path);

	file_ahead *ahead = nullptr;
	git_object *obj = nullptr;
	if (pages->pool && git_tree_entry_type(entry) == GIT_OBJECT_BLOB)
		ahead = ahead_take(pages, git_tree_entry_id(entry), path);
	if (ahead)
		obj = reinterpret_cast<git_object *>(ahead->blob);
	else if (git_tree_entry_to_object(&obj, repository, entry) != 0) {
		if (git_tree_entry_type(entry) == GIT_OBJECT_COMMIT) {
			listed->kind = LISTED_SUBMODULE;
			listing_submodule_row(fp, entry, "", path);
		}
		return 0;
	}
	int result = 0;
	if (git_object_type(obj) == GIT_OBJECT_BLOB) {
		git_blob *blob = reinterpret_cast<git_blob *>(obj);
		listed->kind = LISTED_FILE;
		listed->size = static_cast<size_t>(git_blob_rawsize(blob));
		listed->lines = blob_page(pages, ahead, blob, page_path, path, name, listed->size);
		progress_file(pages->progress);
		listing_row_start(fp, entry);
		uri_escape(fp, page_path, strlen(page_path));
		listing_row_end(fp, path, listed);
	} else if (git_object_type(obj) == GIT_OBJECT_TREE) {
		listed->kind = LISTED_DIRECTORY;
		result = tree_rows(fp, pages, reinterpret_cast<git_tree *>(obj), path);
	}
	if (ahead)
		ahead_release(pages, ahead);
	else
		git_object_free(obj);
	return result == 0 ? 0 : -1;
}

// A directory's tree page comes after those of its subdirectories, once
// its entries are known.
static int tree_rows(FILE *fp, file_pages *pages, git_tree *tree, const char *path)
{
	size_t count = git_tree_entrycount(tree);
	size_t base = pages->listed.size();
	if (rich_tree)
		pages->listed.resize(base + count);
	int result = 0;
	for (size_t i = 0; i < count && result == 0; i++) {
		const git_tree_entry *entry = git_tree_entry_byindex(tree, i);
		listed_entry listed = {};
		if (!entry || tree_entry_rows(fp, pages, entry, path, &listed) != 0)
			result = -1;
		else if (rich_tree)
			pages->listed[base + i] = listed;
	}
	if (result == 0 && rich_tree)
		tree_page_write(&pages->page, tree, path, pages->listed.data() + base);
	if (rich_tree)
		pages->listed.resize(base);
	return result;
}

// With repopage.highlight on and threads, the files are listed first and
// coloured a window ahead of the walk.
static void files_start(file_pages *pages, git_tree *tree)
{
	if (rich_highlight)
		pages->pool = colour_pool_start(4 * jobs);
	if (!pages->pool && !pages->progress->on)
		return;
	list_blobs(tree, "", &pages->blobs);
	git_error_clear(); // a subtree that cannot be read is met by the walk
	progress_files_start(pages->progress, pages->blobs.size());
	if (!pages->pool)
		return;
	pages->ahead.resize(colour_pool_window(pages->pool));
	ahead_fill(pages);
}

// The pool first: its threads may still read the bytes of blobs held.
static void files_end(file_pages *pages)
{
	if (pages->pool)
		colour_pool_stop(pages->pool);
	for (size_t i = pages->next; i < pages->prepared; i++)
		git_blob_free(pages->ahead[i % pages->ahead.size()].blob);
	page_output_free(&pages->page);
	highlighter_free(&pages->colouring);
	if (pages->head_hash_stream)
		fclose(pages->head_hash_stream);
}

int files_page_body(FILE *fp, const git_oid *head, run_progress *progress)
{
	listing_head(fp);
	git_commit *commit = nullptr;
	git_tree *tree = nullptr;
	int result = -1;
	file_pages pages = {};
	if (rich_highlight && !(pages.head_hash_stream = hash_stream_open(&pages.head_hash)))
		err(1, "malloc");
	pages.progress = progress;
	if (git_commit_lookup(&commit, repository, head) == 0 && git_commit_tree(&tree, commit) == 0) {
		files_start(&pages, tree);
		result = tree_rows(fp, &pages, tree, "");
	}
	files_end(&pages);
	listing_end(fp);
	git_commit_free(commit);
	git_tree_free(tree);
	return result;
}
