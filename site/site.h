// State of one run of repopage, its plain records, and the functions the
// page writers share.
#pragma once

#include "output.h"

#include <git2.h>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/types.h>

// The run's settings (settings.cpp): set during start-up, by the argument
// scan and the driver, and only read afterwards.
extern const char *repodir;         // the repository directory as given
extern const char *cachefile;       // -c: the log cache, or none
extern const char *baseurl;         // -u: prefix of the feeds' links
extern int64_t log_limit;           // -l: rows to write; -1 no limit
extern git_repository *repository;  // owned; freed at the end of the run
extern const char *repo_name;       // last component of the real path
extern char *short_name;            // repo_name without a final ".git"
extern char description[255];       // first line of "description", newline kept
extern char clone_url[1024];        // first line of "url", newline cut
extern const char *license_path;    // LICENSE, LICENSE.md or COPYING blob
extern const char *readme_path;     // README or README.md blob
extern const char *submodules_path; // ".gitmodules" blob

extern unsigned jobs;               // threads that render commits
// The rich pages the repository's configuration switches on (config.cpp).
extern bool rich_about;             // repopage.about: "about.html" from the README
extern bool rich_raw;               // repopage.raw: "raw/<path>", HEAD's files as they are
extern bool rich_patch;             // repopage.patch: "commit/<id>.patch"
extern bool rich_tree;              // repopage.tree: a page per directory under "tree/"
extern bool rich_highlight;         // repopage.highlight: file pages coloured by a parser
extern const char *about_readme;    // the README "about.html" renders, else none
// 0666 less the umask: the mode fopen would give a new page. Read once, as
// reading the umask means setting it, which threads must not race on.
extern unsigned new_file_mode;

// One changed file of a commit.
struct delta_stats {
	git_patch *patch;      // owned
	size_t added_lines;
	size_t deleted_lines;
};

// One loaded commit; with its diff against the first parent once diffed.
struct commit_record {
	git_repository *repo;           // borrowed: where it was loaded
	char id_text[GIT_OID_SHA1_HEXSIZE + 1];
	char parent_id_text[GIT_OID_SHA1_HEXSIZE + 1]; // empty: no parent
	const git_signature *author;    // borrowed from commit
	const git_signature *committer; // borrowed from commit
	const char *summary;            // borrowed from commit
	const char *message;            // borrowed from commit
	git_diff *diff;                 // owned
	git_commit *commit;             // owned
	git_commit *parent;             // owned
	git_tree *commit_tree;          // owned
	git_tree *parent_tree;          // owned
	size_t added_lines;
	size_t deleted_lines;
	size_t file_count;
	delta_stats **deltas;           // owned, delta_count entries
	size_t delta_count;
	bool submodules_differ;         // a submodule entry differs, maybe not in diff
};

// A branch or tag with the commit it finally designates; both owned.
struct ref_entry {
	git_reference *ref;
	commit_record *record;
};

// A commit the walk could not render, named once the pages are written.
struct walk_failure {
	char id_text[GIT_OID_SHA1_HEXSIZE + 1];
	const char *what; // "read" or "diff"
	char *message;    // owned: libgit2's reason
};

// How the walk of the log ended.
enum walk_end {
	WALK_HISTORY_END = 0, // every commit of the history was visited
	WALK_CACHED = 1,      // the cached commit was met
	WALK_BROKEN = 2,      // a commit could not be read
};

struct walk_report {
	walk_end end;
	walk_failure *failures; // owned, failure_count entries, in walk order
	size_t failure_count;
};

// A fatal error met where the run may not end (on a thread that renders
// commits): what err() would name, and errno. The walk ends the run with it
// in walk order.
struct fault {
	const char *what; // null: none
	int error;
};

// The repopage.* keys into the rich_* settings; a value that is not a
// boolean ends the run, naming the key and the value.
void read_rich_settings(const char *program);

// Command line: 0, or -1 when it asks for the usage message.
int scan_arguments(int argc, char *argv[]);
// REPOPAGE_JOBS or the processors at hand: 0, or -1 for a bad value.
int choose_jobs();

// Page frame.
// Links carry `prefix`, the way from the page's directory to the site's
// root: "" on top-level pages, "../" on commit pages.
void write_page_header(FILE *stream, const char *prefix, const char *title);
void write_page_footer(FILE *stream);

// A page being written under a temporary name beside it, compared on the
// way with the page in place. Owned by its writer; its buffers serve one
// page after another until page_output_free.
constexpr size_t PAGE_BUFFER = 1 << 16;
// A hash of bytes given in pieces (page_record.cpp); {} before the first.
struct page_hash {
	uint64_t state;
	uint64_t word;          // the bytes of a word not yet complete
	uint64_t length;
};
struct page_output {
	FILE *stream;           // what the page is written to
	char path[1024 + 3];    // the page's own name (a .gz's: 3 longer)
	char temp[1024 + 16];   // the temporary file, renamed over path
	int temp_fd;
	int old_fd;             // the page in place while it matches, else -1
	off_t written;          // bytes of the page so far
	bool changed;           // it differs from the page in place
	bool temp_made;         // the temporary file exists
	int open_errno;         // why a late temporary file could not be made
	char *buffer;           // the stream's, PAGE_BUFFER bytes
	char *compare;          // what was read of the page in place
	page_output *next_open; // the run's list of temporary files (page_output.cpp)
	page_output *gz;        // the <path>.gz that follows the page, else null
	uint64_t temp_draws;    // the temporary names drawn, above the process id
	bool hashing;           // set after page_open: what is written goes into hash too
	page_hash hash;
};

// How a page meets the page in place.
enum page_mode {
	// A page that is not there yet (a commit page): its temporary file
	// is made at once and replaces whatever is in place.
	PAGE_NEW,
	// Compared on the way: an unchanged page keeps the page in place.
	PAGE_COMPARE,
	// PAGE_COMPARE, with the temporary file made only once the bytes
	// differ, so an unchanged page costs no file at all (a temporary file
	// that cannot be made is then told at the close).
	PAGE_COMPARE_LAZY,
};

// The soft calls, for the threads that render commits, which may not end
// the run: a failure returns -1 and leaves the rest to the caller.
// The page's buffers, once for all its pages.
int page_alloc(page_output *page);
// Makes the temporary file (-1 with errno); needs the buffers of page_alloc.
int page_open(page_output *page, const char *path, page_mode mode);
// Ends the writing: -1 on a write error. Sets `changed`. A changed page
// with a <path>.gz beside it also writes the new .gz under a temporary name.
int page_finish(page_output *page);
// Renames a changed page into place, then its new .gz, or removes the
// temporary file of an unchanged one; -1 with errno when the rename fails.
int page_install(page_output *page);
void page_discard(page_output *page);

// The fatal calls: a failure ends the run with "malloc", "fopen: '<path>'",
// "write error: <path>" or "rename: '<temp>' to '<path>'".
void page_open_or_die(page_output *page, const char *path, page_mode mode);
// page_finish and page_install; true when the page was replaced.
bool page_close_or_die(page_output *page);
void page_output_free(page_output *page);
// The page in place, open for reading when it is a regular file, else -1.
int page_in_place_open(const char *path);

// The record that may end a page: "<!-- repopage " and what the page was
// made from, as its writer puts it (at most PAGE_RECORD_START bytes with
// the NUL), then the hash of every byte before the record and " -->".
constexpr size_t PAGE_RECORD_START = 160;
void page_hash_add(page_hash *hash, const char *bytes, size_t size);
uint64_t page_hash_value(const page_hash *hash);
// A stream whose bytes go into `hash` alone.
FILE *hash_stream_open(page_hash *hash);
// Whether the page in place ends with the record that starts with `start`
// and is whole, so that it may be kept as it is; reads with the page's
// buffers, which it allocates when missing ("malloc" is fatal).
bool page_record_current(page_output *page, const char *path, const char *start);
// The record, after every other byte of a page opened with `hashing` set.
void page_record_write(page_output *page, const char *start);

// The cache's temporary file: mkstemp of `path` (kept by the caller),
// listed until it is renamed or removed, so that a signal that ends the run
// removes it; a fatal error leaves it. One such file at a time.
int temp_file_make(char *path);
int temp_file_rename(const char *path, const char *target);
void temp_file_remove(const char *path);
// Removes every temporary file of the run, and keeps them from being made
// or renamed until the process ends: for a signal that ends the run.
void remove_all_temp_files();
// Blocks the signals that end a run (SIGTERM, SIGINT, SIGHUP, unless they
// are ignored) in every thread to come, and starts a thread that waits for
// them, removes the run's temporary files, clears the progress line and
// ends the run by the signal.
void clean_up_on_signals();

// What the run has done, shown on standard error when it is a terminal
// (progress.cpp); when it is not, or with REPOPAGE_PROGRESS=0, `on` stays
// false and every call does nothing. Drawn from the run's own thread only.
constexpr size_t PROGRESS_UNKNOWN = SIZE_MAX;
struct run_progress {
	bool on;
	bool commits_begun;
	bool files_begun;
	size_t commits;        // taken by the walk, in walk order
	size_t commit_total;   // PROGRESS_UNKNOWN: the walk may stop early
	size_t files;          // file pages written or kept
	size_t file_total;
	timespec walk_start;   // CLOCK_MONOTONIC, as the others
	timespec walk_end;     // when the file pages began
	timespec drawn;        // when the line was drawn last
};
// Decides whether progress is shown and, when it is, makes every message
// on stderr clear the line first; before any thread is started.
void progress_start(run_progress *p);
// The commits reachable from `head`, counted only when progress is shown.
size_t progress_history_size(const run_progress *p, const git_oid *head);
void progress_commits_start(run_progress *p, size_t total);
void progress_commit(run_progress *p);
// The file pages of HEAD's `tree`, counted.
void progress_files_start(run_progress *p, size_t total);
void progress_file(run_progress *p);
// Clears the line at the end of the run.
void progress_end(run_progress *p);
// Clears the line for a signal that ends the run: nothing is drawn after.
void progress_line_close();

// Commit records. commit_record_read: none when the commit cannot be read,
// or when memory runs out, which sets `f`; commit_record_load ends the run
// then. commit_record_diff: -1 when the diff cannot be made (`f` set when
// memory ran out). git_message then gives libgit2's reason.
commit_record *commit_record_read(git_repository *repo, const git_oid *id, fault *f);
commit_record *commit_record_load(git_repository *repo, const git_oid *id);
int commit_record_diff(commit_record *record, fault *f);
void commit_record_free(commit_record *record);
// libgit2's text for the last failed call of this thread.
const char *git_message();
// Over the limits of a page: more than 1000 files or 100000 lines either way.
bool diff_too_large(const commit_record *record);
// git_diff_tree_to_tree's result, for the options commit records use, got
// by opening only the subtrees whose ids differ.
int tree_diff(git_diff **diff, git_repository *repo, git_tree *old_tree, git_tree *new_tree,
	      const git_diff_options *opts);
// tree_diff, telling whether a submodule entry differs, added, removed or
// changed (true too when the walk could not tell): a diff that ignores
// submodules leaves out the changed ones.
int tree_diff_noting_submodules(git_diff **diff, git_repository *repo, git_tree *old_tree,
				git_tree *new_tree, const git_diff_options *opts, bool *submodules);

// The content of a commit page: header, diffstat and diff.
void commit_diff_block(FILE *stream, const char *prefix, const commit_record *record);
// "commit/<id>.patch" (patch_file.cpp): whether the commit gets one (the
// key is on and it has exactly one parent), and the patch itself, the
// commit as `git format-patch` mails it, for a record diffed while the key
// is on; -1 when libgit2 fails (git_message says why).
bool patch_wanted(const commit_record *record);
int patch_write(FILE *stream, const commit_record *record);

// The table of "log.html": its head, a row per commit, the row that counts
// the commits past the limit, its end.
void log_table_head(FILE *stream);
void log_row(FILE *stream, const commit_record *record);
void log_remaining_row(FILE *stream, size_t remaining);
void log_table_end(FILE *stream);

// One walk of the log: where its rows go, what is left of the limit, and
// how it ended.
struct log_walk {
	FILE *log;                // the table body of "log.html"
	FILE *new_cache;          // with -c: every row again; else none
	const git_oid *cached_id; // with -c: the commit the walk stops at
	int64_t rows_left;        // rows still to write; -1 no limit
	size_t remaining;         // commits past the limit
	walk_report report;
	run_progress *progress;   // the commits taken are counted there
};
void walk_log(log_walk *walk, const git_oid *head);

// The commits a walk could not render, in walk order: kept as the walk
// meets them, the one a broken walk ended on found, all named at the end
// (status 1 when there are any).
void walk_report_add(walk_report *report, const char *id_text, const char *what,
		     const char *message);
void walk_report_unreadable(walk_report *report, const git_oid *head, const git_oid *walked,
			    size_t walked_count, const char *walk_message);
int walk_report_print(const char *program, walk_report *report);

// A commit on its way to the log, in walk order, and who may touch what:
// the walk fills in the request and submits the task; the one worker that
// takes it fills in the result, then sets `done` under the pool's lock;
// from then on the result is the walk's, until the slot is cleared for the
// next commit. The page's buffers stay with the slot from commit to commit.
enum task_outcome { TASK_RENDERED, TASK_UNREADABLE, TASK_NO_DIFF };
struct commit_request {
	git_oid id;
	char id_text[GIT_OID_SHA1_HEXSIZE + 1];
	char path[1024];      // "commit/<id>.html"
	bool exists;          // the page was in place when the walk met it
	bool load;            // false: past the limit with its page in place
};
// A page a worker writes for the walk to put in place.
struct pending_page {
	page_output output;   // the new page, complete, not yet in place ...
	bool pending;         // ... while this is set
	int open_errno;       // its temporary file could not be made
	bool failed;          // it could not be written
	int rename_errno;     // a worker could not put it in place
};
struct commit_result {
	task_outcome outcome;
	char *message;        // owned: libgit2's reason when not rendered
	char *row;            // owned: the log row
	size_t row_length;
	pending_page page;    // "commit/<id>.html"
	pending_page patch;   // "commit/<id>.patch", for a commit that has one
	fault failure;        // a fatal error: the walk ends the run with it
};
struct commit_task {
	commit_request request; // the walk's
	commit_result result;   // the worker's, then the walk's once done
	bool done;              // guarded by the pool's lock
};
// Loads and diffs the commit, renders its row and, when it has no page
// yet, writes the page; what goes wrong is kept in the result.
void commit_task_render(git_repository *repo, commit_task *task);
// Whether a done task's pages may go in place before the walk takes it:
// it holds nothing the walk acts on first (a fatal error, an unreadable
// commit, a page that could not be made or written).
bool commit_task_ready(const commit_task *task);
// Puts a ready task's pages in place, the patch first, as the walk would;
// -1 when one could not be renamed (its rename_errno then says why).
int commit_task_install(commit_task *task);
// Empties the result for the next commit of the slot, its page buffers kept.
void commit_task_clear(commit_task *task);
void commit_task_free(commit_task *task);

// Workers that render tasks on their own repository handles, in a window
// of tasks taken in walk order.
struct walk_pool;
walk_pool *walk_pool_start(size_t window);
size_t walk_pool_window(const walk_pool *pool);
commit_task *walk_pool_slot(walk_pool *pool, size_t index);
void walk_pool_submit(walk_pool *pool);
commit_task *walk_pool_wait(walk_pool *pool, size_t index);
// Workers put the pages of done tasks in place in walk order, up to the
// first task that is not ready. The walk claims task `index` before it
// takes it: a worker that is putting it in place finishes first, and none
// starts on it until the walk releases it.
void walk_pool_claim(walk_pool *pool, size_t index);
void walk_pool_release(walk_pool *pool, size_t index);
void walk_pool_stop(walk_pool *pool);

// Log cache of one run.
struct log_cache {
	git_oid cached_id;   // first line of the previous cache, else all zero
	FILE *new_cache;     // this run's rows and the cached ones
	char temp_path[64];  // mkstemp name of new_cache, "cache.XXXXXXXXXXXX"
	char *buffer;        // new_cache's, PAGE_BUFFER bytes
};
void cached_log_body(log_walk *walk, log_cache *cache, const git_oid *head);
void cache_discard(const log_cache *cache);
int read_cache_head(FILE *old_cache, git_oid *id);
void cache_install(const log_cache *cache);

// Files.
int files_page_body(FILE *stream, const git_oid *head, run_progress *progress);
// One entry of a directory of HEAD as the listings show it: gathered by the
// walk of "files.html" for the tree pages, so that both show the same.
enum listed_kind : unsigned char {
	LISTED_NONE,      // no row: an unsafe name, an object that cannot be read
	LISTED_FILE,      // a blob, with its page
	LISTED_DIRECTORY, // a tree, walked
	LISTED_SUBMODULE, // a commit of another repository
};
struct listed_entry {
	listed_kind kind;
	int64_t lines; // a file's line count; 0 binary or empty, -1 no page
	size_t size;   // a file's bytes
};
// The table of files (listing.cpp): its head and end; a row is
// listing_row_start, the link's target as it goes into href="", then
// listing_row_end with the name shown.
void listing_head(FILE *stream);
void listing_end(FILE *stream);
void listing_row_start(FILE *stream, const git_tree_entry *entry);
void listing_row_end(FILE *stream, const char *label, const listed_entry *listed);
void listing_submodule_row(FILE *stream, const git_tree_entry *entry, const char *prefix,
			   const char *label);
// Tree pages (tree_pages.cpp). The page of directory `path` ("" the root),
// from `listed`, one record per entry of `tree` in its order; none for a
// directory whose page would collide with its parent's.
void tree_page_write(page_output *page, git_tree *tree, const char *path, const listed_entry *listed);
// Whether the directory `path` gets a tree page (with repopage.tree).
bool directory_has_tree_page(const char *path);
// The links from the root to `path`, a directory's or a file's.
enum breadcrumb_end { BREADCRUMB_DIRECTORY, BREADCRUMB_FILE };
void write_breadcrumb(FILE *stream, const char *prefix, const char *path, breadcrumb_end end);
// mkdir -p: 0, or -1 with errno; a path too long for the buffers is fatal.
int make_dirs(const char *path);
// page_open_or_die in PAGE_COMPARE_LAZY mode, with the page's directories
// made when missing: -1 when they cannot be made, or when a file stands
// where one of them goes.
int page_open_in_dirs(page_output *page, const char *path);
// The way from the directory of `page_path` to the site's root: one "../"
// per "/"; -1, with as much as fits, when it does not fit.
int prefix_make(char (&prefix)[1024], const char *page_path);
// prefix_make, ending the run when it does not fit.
void build_prefix(char (&prefix)[1024], const char *page_path);
// "raw/<path>": `size` bytes, replaced only when they change, its directory
// made when missing; -1 when that cannot be made.
int raw_file_write(page_output *page, const char *path, const char *bytes, size_t size);

// Highlighting: the classes a span may have, in this order.
enum highlight_class : unsigned char {
	HL_NONE, HL_KEYWORD, HL_TYPE, HL_FUNCTION, HL_STRING, HL_NUMBER, HL_COMMENT, HL_CONSTANT,
	HL_OPERATOR, HL_PUNCTUATION, HL_VARIABLE, HL_PROPERTY, HL_ATTRIBUTE, HL_TAG,
};
// A run of bytes of one class: sorted by start, never overlapping.
struct highlight_span {
	uint32_t start;
	uint32_t end;
	highlight_class kind;
};
enum source_language : unsigned char {
	LANG_NONE, LANG_C, LANG_CPP, LANG_SHELL, LANG_PYTHON, LANG_JAVASCRIPT, LANG_TYPESCRIPT, LANG_TSX,
	LANG_GO, LANG_RUST, LANG_JAVA, LANG_JSON, LANG_YAML, LANG_TOML, LANG_HTML, LANG_CSS, LANG_MAKE,
	LANG_MARKDOWN,
};
// By the file's name (extension or whole name), then by its first line
// (#! interpreter, editor modeline) when the name says nothing.
source_language detect_language(const char *name, const char *content, size_t size);
// What the highlighter keeps between the calls of one thread (a parser, a
// query cursor and the node list, made on first use); zeroed to start,
// released by highlighter_free.
struct highlight_work;
struct highlighter {
	highlight_work *work;
};
void highlighter_free(highlighter *colouring);
// What the text is: a whole file, given up on (written plain) when the
// parser finds its start mostly errors, as with text that only looks like
// the language; or a README's code block, often a piece of a program,
// coloured however it parses.
enum highlight_text { HIGHLIGHT_FILE, HIGHLIGHT_FRAGMENT };
// The spans of `content` in `language`, malloc'd; -1 when the parse fails,
// takes too long or goes too deep (the page is then written plain).
int highlight_spans(highlighter *colouring, source_language language, const char *content, size_t size,
		    highlight_text text, highlight_span **spans, size_t *count);
// The numbered lines of a file page, exactly as the plain page writes them,
// with each span as <span class="..."> closed at the end of a line and
// opened again on the next; returns the number of lines.
size_t highlighted_lines(FILE *stream, const char *content, size_t size,
			 const highlight_span *spans, size_t count);
// The text of a Markdown code block with its spans, the same tags as on a
// file page, escaped as cmark escapes it (file_lines.cpp): without its
// tags, the text cmark writes.
void highlighted_code(FILE *stream, const char *content, size_t size,
		      const highlight_span *spans, size_t count);
// The numbered lines of a file page (file_lines.cpp), in <pre id="blob">;
// returns the number of lines.
size_t plain_lines(FILE *stream, const char *content, size_t size);
// Threads that colour file pages ahead of their writing, a window of jobs
// at a time, taken back in the order submitted; null with one job.
struct colour_pool;
colour_pool *colour_pool_start(size_t window);
size_t colour_pool_window(const colour_pool *pool);
size_t colour_pool_submit(colour_pool *pool, source_language language, const char *content, size_t size);
bool colour_pool_wait(colour_pool *pool, size_t index, highlight_span **spans, size_t *count);
void colour_pool_stop(colour_pool *pool);

// About page.
// The README "about.html" renders, at the top of HEAD's tree: README.md,
// README.markdown, README, else the first other file whose name starts
// with "README"; a new string, or null when there is none.
char *about_readme_choose(const git_oid *head);
// "about.html" from about_readme: Markdown (.md, .markdown) rendered, any
// other README as preformatted text; the images it shows copied under raw/.
void write_about_page(page_output *page, const git_oid *head);

// References.
int collect_refs(ref_entry **entries, size_t *count);
void ref_entries_free(ref_entry *entries, size_t count);
int refs_page_body(FILE *stream);

// Feeds.
int atom_feed(FILE *stream, int all);

