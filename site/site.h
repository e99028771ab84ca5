// State of one run of repopage, its plain records, and the functions the
// page writers share.
#pragma once

#include "output.h"

#include <git2.h>
#include <cstdint>
#include <cstdio>

// Set during start-up and read afterwards, except where noted.
extern const char *repodir;         // the repository directory as given
extern const char *cachefile;       // -c: the log cache, or none
extern const char *baseurl;         // -u: prefix of the feeds' links
extern int64_t log_limit;           // -l: rows still to write; -1 no limit
extern git_repository *repository;  // owned; freed at the end of the run
extern git_oid head_id;             // what HEAD resolves to ...
extern bool has_head;               // ... when it resolves at all
extern const char *repo_name;       // last component of the real path
extern char *short_name;            // repo_name without a final ".git"
extern char description[255];       // first line of "description", newline kept
extern char clone_url[1024];        // first line of "url", newline cut
extern const char *license_path;    // LICENSE, LICENSE.md or COPYING blob
extern const char *readme_path;     // README or README.md blob
extern const char *submodules_path; // ".gitmodules" blob
extern const char *relative_prefix; // from the page being written to the root

// Log cache state.
extern git_oid cached_id;           // first line of the previous cache
extern FILE *new_cache;             // rows of this run and the cached ones
extern char temp_cache_path[64];    // mkstemp name of new_cache

// One changed file of a commit.
struct delta_stats {
	git_patch *patch;      // owned
	size_t added_lines;
	size_t deleted_lines;
};

// One loaded commit; with its diff against the first parent once diffed.
struct commit_record {
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
};

// A branch or tag with the commit it finally designates; both owned.
struct ref_entry {
	git_reference *ref;
	commit_record *record;
};

// Command line: 0, or -1 when it asks for the usage message.
int scan_arguments(int argc, char *argv[]);

// Page frame. Each open page has a buffer of its own, PAGE_BUFFER bytes.
constexpr size_t PAGE_BUFFER = 1 << 16;
void write_page_header(FILE *stream, const char *title);
void write_page_footer(FILE *stream);
FILE *open_page(const char *path, char *buffer);

// Commit records.
commit_record *commit_record_load(const git_oid *id);
int commit_record_diff(commit_record *record);
void commit_record_free(commit_record *record);
void delta_stats_free(delta_stats *stats);
// git_diff_tree_to_tree's result, for the options commit records use, got
// by opening only the subtrees whose ids differ.
int tree_diff(git_diff **diff, git_repository *repo, git_tree *old_tree, git_tree *new_tree,
	      const git_diff_options *opts);

// Log and commit pages.
void log_row(FILE *stream, const commit_record *record);
void walk_log(FILE *log, const git_oid *head);
void commit_header_block(FILE *stream, const commit_record *record);
void commit_diff_block(FILE *stream, const commit_record *record);

// Log cache.
void cached_log_body(FILE *log, const git_oid *head);
int read_cache_head(FILE *old_cache, git_oid *id);
void cache_install();

// Files.
int files_page_body(FILE *stream, const git_oid *head);
int tree_rows(FILE *stream, git_tree *tree, const char *path);
int64_t blob_page(git_blob *blob, const char *page_path, const char *name, size_t size);
size_t blob_lines(FILE *stream, git_blob *blob);
int make_dirs(const char *path);
const char *mode_string(git_filemode_t mode);

// References.
int collect_refs(ref_entry **entries, size_t *count);
void ref_entries_free(ref_entry *entries, size_t count);
int ref_order(const ref_entry *a, const ref_entry *b);
int refs_page_body(FILE *stream);

// Feeds.
int atom_feed(FILE *stream, int all);
void atom_entry(FILE *stream, const commit_record *record, const char *tag);
