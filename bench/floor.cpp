// floor: the library work of a full render and nothing else. Walks the
// history from HEAD, diffs every commit against its first parent as the log
// does, counts the added and deleted lines, and reads every blob of HEAD.
// Prints "commits N added A deleted D".
#include "git_setup.h"
#include "site.h"

#include <git2.h>
#include <cstdio>
#include <cstring>
#include <err.h>

static git_repository *repo;
static size_t commits, added, deleted;
static volatile size_t lines_read; // keeps the blob reads from being dropped

// Every line of every hunk, told apart by its numbers like the log does.
static void count_patch(git_patch *patch)
{
	if (git_patch_get_delta(patch)->flags & GIT_DIFF_FLAG_BINARY)
		return;
	size_t hunks = git_patch_num_hunks(patch);
	for (size_t j = 0; j < hunks; j++) {
		const git_diff_hunk *hunk;
		if (git_patch_get_hunk(&hunk, nullptr, patch, j) != 0)
			return;
		const git_diff_line *line;
		for (size_t k = 0; git_patch_get_line_in_hunk(&line, patch, j, k) == 0; k++) {
			if (line->old_lineno == -1)
				added++;
			else if (line->new_lineno == -1)
				deleted++;
		}
	}
}

// The diff of the log: type changes, no submodules, no pathspec (0x1240);
// renames and copies of identical content only (0x4005).
static void diff_commit(git_commit *commit)
{
	git_tree *tree = nullptr, *parent_tree = nullptr;
	git_commit *parent = nullptr;
	git_diff *diff = nullptr;
	if (git_commit_tree(&tree, commit) != 0)
		return;
	if (git_commit_parent(&parent, commit, 0) == 0)
		git_commit_tree(&parent_tree, parent);

	git_diff_options opts;
	git_diff_init_options(&opts, GIT_DIFF_OPTIONS_VERSION);
	opts.flags |= GIT_DIFF_INCLUDE_TYPECHANGE | GIT_DIFF_IGNORE_SUBMODULES |
		      GIT_DIFF_DISABLE_PATHSPEC_MATCH;
	git_diff_find_options find;
	git_diff_find_init_options(&find, GIT_DIFF_FIND_OPTIONS_VERSION);
	find.flags |= GIT_DIFF_FIND_RENAMES | GIT_DIFF_FIND_COPIES | GIT_DIFF_FIND_EXACT_MATCH_ONLY;
	if (tree_diff(&diff, repo, parent_tree, tree, &opts) == 0 &&
	    git_diff_find_similar(diff, &find) == 0) {
		size_t n = git_diff_num_deltas(diff);
		for (size_t i = 0; i < n; i++) {
			git_patch *patch = nullptr;
			if (git_patch_from_diff(&patch, diff, i) != 0)
				break;
			if (patch)
				count_patch(patch);
			git_patch_free(patch);
		}
	}
	git_diff_free(diff);
	git_tree_free(parent_tree);
	git_commit_free(parent);
	git_tree_free(tree);
}

static void walk_history(const git_oid *head)
{
	git_revwalk *walk = nullptr;
	git_oid id;
	if (git_revwalk_new(&walk, repo) != 0 || git_revwalk_push(walk, head) != 0)
		errx(1, "cannot walk the history");
	while (git_revwalk_next(&id, walk) == 0) {
		git_commit *commit;
		if (git_commit_lookup(&commit, repo, &id) != 0)
			break;
		commits++;
		diff_commit(commit);
		git_commit_free(commit);
	}
	git_revwalk_free(walk);
}

// Every blob of the tree read once, its lines found as a file page would.
static void read_tree(git_tree *tree)
{
	size_t count = git_tree_entrycount(tree);
	for (size_t i = 0; i < count; i++) {
		git_object *obj;
		if (git_tree_entry_to_object(&obj, repo, git_tree_entry_byindex(tree, i)) != 0)
			continue; // a submodule
		if (git_object_type(obj) == GIT_OBJECT_TREE) {
			read_tree(reinterpret_cast<git_tree *>(obj));
		} else if (git_object_type(obj) == GIT_OBJECT_BLOB) {
			git_blob *blob = reinterpret_cast<git_blob *>(obj);
			const char *p = static_cast<const char *>(git_blob_rawcontent(blob));
			const char *end = p + git_blob_rawsize(blob);
			size_t n = 0;
			while (p < end && (p = static_cast<const char *>(memchr(p, '\n', end - p))))
				p++, n++;
			lines_read = lines_read + n;
		}
		git_object_free(obj);
	}
}

int main(int argc, char *argv[])
{
	if (argc != 2) {
		fprintf(stderr, "%s repodir\n", argv[0]);
		return 1;
	}
	libgit2_setup();
	if (repository_open(&repo, argv[1]) != 0)
		errx(1, "cannot open repository: %s", argv[1]);
	git_object *head = nullptr;
	if (git_revparse_single(&head, repo, "HEAD^{commit}") == 0) {
		walk_history(git_object_id(head));
		git_tree *tree = nullptr;
		if (git_commit_tree(&tree, reinterpret_cast<git_commit *>(head)) == 0)
			read_tree(tree);
		git_tree_free(tree);
	}
	git_object_free(head);
	printf("commits %zu added %zu deleted %zu\n", commits, added, deleted);
	git_repository_free(repo);
	git_libgit2_shutdown();
	return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}
