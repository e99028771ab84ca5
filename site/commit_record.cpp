// A commit loaded with its texts and, on request, its diff against the first
// parent with line counts per file and in all.
#include "site.h"

#include <cerrno>
#include <cstdlib>
#include <err.h>

// Records run on the threads that render commits, which may not end the
// run: a failed calloc is kept in `f` for the caller.
static void *zero_alloc(size_t count, size_t size, fault *f)
{
	void *p = calloc(count, size);
	if (!p) {
		f->what = "calloc";
		f->error = errno;
	}
	return p;
}

const char *git_message()
{
	const git_error *e = git_error_last();
	return e && e->message ? e->message : "unknown error";
}

commit_record *commit_record_load(git_repository *repo, const git_oid *id)
{
	fault f = {};
	commit_record *r = commit_record_read(repo, id, &f);
	if (f.what) {
		errno = f.error;
		err(1, "%s", f.what);
	}
	return r;
}

commit_record *commit_record_read(git_repository *repo, const git_oid *id, fault *f)
{
	commit_record *r = static_cast<commit_record *>(zero_alloc(1, sizeof *r, f));
	if (!r)
		return nullptr;
	r->repo = repo;
	if (git_commit_lookup(&r->commit, repo, id) != 0) {
		commit_record_free(r);
		return nullptr;
	}
	git_oid_tostr(r->id_text, sizeof r->id_text, git_commit_id(r->commit));
	// No parent: git_oid_tostr of a null id writes the empty text.
	git_oid_tostr(r->parent_id_text, sizeof r->parent_id_text, git_commit_parent_id(r->commit, 0));
	r->author = git_commit_author(r->commit);
	r->committer = git_commit_committer(r->commit);
	r->summary = git_commit_summary(r->commit);
	r->message = git_commit_message(r->commit);
	return r;
}

static void delta_stats_free(delta_stats *stats)
{
	if (!stats)
		return;
	git_patch_free(stats->patch);
	free(stats);
}

static void release_deltas(commit_record *r)
{
	for (size_t i = 0; i < r->delta_count; i++)
		delta_stats_free(r->deltas[i]);
	free(r->deltas);
	r->deltas = nullptr;
}

void commit_record_free(commit_record *r)
{
	if (!r)
		return;
	release_deltas(r);
	git_diff_free(r->diff);
	git_tree_free(r->commit_tree);
	git_tree_free(r->parent_tree);
	git_commit_free(r->commit);
	git_commit_free(r->parent);
	free(r);
}

// Lines are told apart by their numbers: no old line number means added,
// no new one deleted, both means context.
static void count_lines(commit_record *r, delta_stats *stats)
{
	size_t hunks = git_patch_num_hunks(stats->patch);
	for (size_t j = 0; j < hunks; j++) {
		const git_diff_hunk *hunk;
		if (git_patch_get_hunk(&hunk, nullptr, stats->patch, j) != 0)
			return;
		const git_diff_line *line;
		for (size_t k = 0; git_patch_get_line_in_hunk(&line, stats->patch, j, k) == 0; k++) {
			if (line->old_lineno == -1) {
				stats->added_lines++;
				r->added_lines++;
			} else if (line->new_lineno == -1) {
				stats->deleted_lines++;
				r->deleted_lines++;
			}
		}
	}
}

// A page that will only say the diff is too large needs no patch: a commit
// of hundreds of large files would otherwise hold all their lines at once.
// The counts stay.
static void drop_patches(commit_record *r, size_t first, size_t last)
{
	for (size_t i = first; i <= last; i++) {
		git_patch_free(r->deltas[i]->patch);
		r->deltas[i]->patch = nullptr;
	}
}

bool diff_too_large(const commit_record *r)
{
	return r->file_count > 1000 || r->delta_count > 1000 || r->added_lines > 100000 ||
	       r->deleted_lines > 100000;
}

// The failure path: back to the state right after loading.
static int diff_failed(commit_record *r)
{
	git_diff_free(r->diff);
	git_tree_free(r->commit_tree);
	git_tree_free(r->parent_tree);
	git_commit_free(r->parent);
	r->diff = nullptr;
	r->commit_tree = r->parent_tree = nullptr;
	r->parent = nullptr;
	release_deltas(r);
	r->added_lines = r->deleted_lines = r->file_count = r->delta_count = 0;
	return -1;
}

// First parent and its tree; none for a root commit. One that cannot be
// read fails the diff: against the empty tree the page would show every
// file as added, and commit pages are never written again.
static int load_parent(commit_record *r)
{
	if (git_commit_parentcount(r->commit) == 0)
		return 0;
	if (git_commit_parent(&r->parent, r->commit, 0) != 0) {
		r->parent = nullptr;
		return -1;
	}
	if (git_tree_lookup(&r->parent_tree, r->repo, git_commit_tree_id(r->parent)) != 0) {
		r->parent_tree = nullptr;
		return -1;
	}
	return 0;
}

// Renames and copies only between files of identical content.
static int compute_diff(commit_record *r)
{
	git_diff_options opts;
	git_diff_init_options(&opts, GIT_DIFF_OPTIONS_VERSION);
	opts.flags |= GIT_DIFF_INCLUDE_TYPECHANGE | GIT_DIFF_IGNORE_SUBMODULES |
		      GIT_DIFF_DISABLE_PATHSPEC_MATCH;
	// The patch file shows binary changes whole: made once, here, the
	// page's binary patches serve it as its text patches do.
	if (patch_wanted(r))
		opts.flags |= GIT_DIFF_SHOW_BINARY;
	if (tree_diff_noting_submodules(&r->diff, r->repo, r->parent_tree, r->commit_tree, &opts,
					&r->submodules_differ) != 0)
		return -1;
	git_diff_find_options find;
	if (git_diff_find_init_options(&find, GIT_DIFF_FIND_OPTIONS_VERSION) != 0)
		return -1;
	find.flags |= GIT_DIFF_FIND_RENAMES | GIT_DIFF_FIND_COPIES | GIT_DIFF_FIND_EXACT_MATCH_ONLY;
	return git_diff_find_similar(r->diff, &find) == 0 ? 0 : -1;
}

int commit_record_diff(commit_record *r, fault *f)
{
	if (git_tree_lookup(&r->commit_tree, r->repo, git_commit_tree_id(r->commit)) != 0) {
		r->commit_tree = nullptr;
		return diff_failed(r);
	}
	if (load_parent(r) != 0 || compute_diff(r) != 0)
		return diff_failed(r);
	size_t n = git_diff_num_deltas(r->diff);
	if (n == 0)
		return 0;
	r->deltas = static_cast<delta_stats **>(zero_alloc(n, sizeof *r->deltas, f));
	if (!r->deltas)
		return diff_failed(r);
	r->delta_count = n;
	r->file_count = n;
	bool dropped = false;
	for (size_t i = 0; i < n; i++) {
		git_patch *patch;
		if (git_patch_from_diff(&patch, r->diff, i) != 0)
			return diff_failed(r);
		delta_stats *stats = static_cast<delta_stats *>(zero_alloc(1, sizeof *stats, f));
		if (!stats) {
			git_patch_free(patch);
			return diff_failed(r);
		}
		stats->patch = patch;
		r->deltas[i] = stats;
		if (patch && !(git_patch_get_delta(patch)->flags & GIT_DIFF_FLAG_BINARY))
			count_lines(r, stats);
		if (diff_too_large(r)) {
			drop_patches(r, dropped ? i : 0, i);
			dropped = true;
		}
	}
	return 0;
}
