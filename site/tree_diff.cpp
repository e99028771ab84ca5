// The diff of two trees, read the way git reads it: only subtrees whose ids
// differ are opened, and libgit2 is handed the changed paths alone, so a
// commit that touches one file of a wide tree costs about one file.
#include "site.h"

#include <cstdlib>
#include <cstring>
#include <git2/sys/errors.h>
#include <sys/stat.h>

// One comparison of two trees: the leaf paths that differ, and what the walk
// met that would make libgit2's path list pick other entries than its own
// walk over the whole trees.
struct tree_walk {
	git_repository *repo;
	char *paths;          // owned: the changed leaf paths, each ended by a NUL
	size_t paths_length;
	size_t paths_size;
	size_t path_count;
	char *prefix;         // owned: the directory being compared, with its '/'
	size_t prefix_length;
	size_t prefix_size;
	bool malformed;       // entries out of order, twice, or with '/' in a name
	bool pattern_matched; // a changed entry that libgit2 matches by pattern ...
	bool pattern_altered; // ... with a path its pattern would not match as is
	bool negation;        // a changed path that starts with '!'
};

// The type bits of an entry's mode as the tree holds it: libgit2's
// GIT_FILEMODE_TREE, _LINK and _COMMIT, or GIT_FILEMODE_BLOB's without its
// permissions.
static unsigned entry_type(const git_tree_entry *entry)
{
	return git_tree_entry_filemode_raw(entry) & S_IFMT;
}

static bool is_tree(const git_tree_entry *entry)
{
	return entry_type(entry) == GIT_FILEMODE_TREE;
}

// Git's order of the entries of one tree: by name, a tree's name read as if
// it ended in '/'.
static int entry_order(const git_tree_entry *a, const git_tree_entry *b)
{
	const unsigned char *x = reinterpret_cast<const unsigned char *>(git_tree_entry_name(a));
	const unsigned char *y = reinterpret_cast<const unsigned char *>(git_tree_entry_name(b));
	while (*x && *x == *y) {
		x++;
		y++;
	}
	unsigned cx = *x ? *x : is_tree(a) ? '/' : 0;
	unsigned cy = *y ? *y : is_tree(b) ? '/' : 0;
	return (cx > cy) - (cx < cy);
}

// A file and a tree of one name in one tree sort apart, with only names that
// extend the name by a byte below '/' between them. libgit2's path list would
// let the file's path open the tree on one side and not on the other.
static bool has_file_twin(const git_tree *tree, size_t index)
{
	const char *name = git_tree_entry_name(git_tree_entry_byindex(tree, index));
	size_t length = strlen(name);
	while (index-- > 0) {
		const char *other = git_tree_entry_name(git_tree_entry_byindex(tree, index));
		if (strncmp(other, name, length) != 0)
			return false;
		if (other[length] == '\0')
			return true;
		if (static_cast<unsigned char>(other[length]) >= '/')
			return false;
	}
	return false;
}

// Entry `index` of `tree` in its place: after the one before it, with a
// name of one component.
static void check_entry(tree_walk *w, const git_tree *tree, size_t index)
{
	const git_tree_entry *entry = git_tree_entry_byindex(tree, index);
	if (strchr(git_tree_entry_name(entry), '/') ||
	    (index > 0 && entry_order(git_tree_entry_byindex(tree, index - 1), entry) >= 0) ||
	    (is_tree(entry) && has_file_twin(tree, index)))
		w->malformed = true;
}

// A failed allocation says so in libgit2's words, as the diff's own do:
// the commit is then named with that reason, not with an older one.
static int grow(char **buffer, size_t *size, size_t needed)
{
	if (needed <= *size)
		return 0;
	size_t bigger = *size ? *size * 2 : 256;
	while (bigger < needed)
		bigger *= 2;
	char *p = static_cast<char *>(realloc(*buffer, bigger));
	if (!p) {
		git_error_set_oom();
		return -1;
	}
	*buffer = p;
	*size = bigger;
	return 0;
}

static int enter_dir(tree_walk *w, const char *name)
{
	size_t length = strlen(name);
	if (grow(&w->prefix, &w->prefix_size, w->prefix_length + length + 2) != 0)
		return -1;
	memcpy(w->prefix + w->prefix_length, name, length);
	w->prefix_length += length;
	w->prefix[w->prefix_length++] = '/';
	return 0;
}

static void leave_dir(tree_walk *w, const char *name)
{
	w->prefix_length -= strlen(name) + 1;
}

// What libgit2's pattern parser keeps unchanged: no comment mark in front,
// no escapes or line breaks, no blank at the end (a negation in front is
// dealt with apart: it could hide other paths too).
static bool plain_pattern(const char *path, size_t length)
{
	char last = path[length - 1];
	return path[0] != '#' && !strpbrk(path, "\\\n\v\f") &&
	       last != ' ' && last != '\t' && last != '\r';
}

// The diff takes files and links on the path list's word; anything else (a
// submodule) must also match one of the patterns libgit2 makes of the list.
static bool matched_by_pattern(const git_tree_entry *entry)
{
	unsigned type = entry_type(entry);
	return type != (GIT_FILEMODE_BLOB & S_IFMT) && type != GIT_FILEMODE_LINK;
}

// The path of `entry` in the directory being compared; `pattern_matched`
// when it or its counterpart on the other side is matched by pattern.
static int add_path(tree_walk *w, const git_tree_entry *entry, bool pattern_matched)
{
	const char *name = git_tree_entry_name(entry);
	size_t length = strlen(name);
	size_t start = w->paths_length;
	if (grow(&w->paths, &w->paths_size, start + w->prefix_length + length + 1) != 0)
		return -1;
	char *path = w->paths + start;
	if (w->prefix_length > 0) // at the top the prefix is not even allocated
		memcpy(path, w->prefix, w->prefix_length);
	memcpy(path + w->prefix_length, name, length + 1);
	length += w->prefix_length;
	w->paths_length = start + length + 1;
	w->path_count++;
	w->negation = w->negation || path[0] == '!';
	if (pattern_matched) {
		w->pattern_matched = true;
		w->pattern_altered = w->pattern_altered || !plain_pattern(path, length);
	}
	return 0;
}

// An entry on one side only: its path, or every leaf under it.
static int add_leaves(tree_walk *w, const git_tree_entry *entry)
{
	if (!is_tree(entry))
		return add_path(w, entry, matched_by_pattern(entry));
	git_tree *tree;
	if (git_tree_lookup(&tree, w->repo, git_tree_entry_id(entry)) != 0)
		return -1;
	const char *name = git_tree_entry_name(entry);
	int result = enter_dir(w, name);
	size_t count = git_tree_entrycount(tree);
	for (size_t i = 0; result == 0 && !w->malformed && i < count; i++) {
		check_entry(w, tree, i);
		result = add_leaves(w, git_tree_entry_byindex(tree, i));
	}
	if (result == 0)
		leave_dir(w, name);
	git_tree_free(tree);
	return result;
}

static int compare_trees(tree_walk *w, const git_tree *old_tree, const git_tree *new_tree);

// Two entries of one name and kind.
static int compare_pair(tree_walk *w, const git_tree_entry *a, const git_tree_entry *b)
{
	bool same_id = git_oid_equal(git_tree_entry_id(a), git_tree_entry_id(b));
	if (!is_tree(a)) {
		if (same_id && git_tree_entry_filemode_raw(a) == git_tree_entry_filemode_raw(b))
			return 0;
		return add_path(w, a, matched_by_pattern(a) || matched_by_pattern(b));
	}
	// A subtree both sides share is not opened at all, as git does not: a
	// damaged object in it fails no diff (libgit2's whole-tree walk read
	// every one of them, which was most of a small commit's cost).
	if (same_id)
		return 0;
	git_tree *old_tree = nullptr, *new_tree = nullptr;
	const char *name = git_tree_entry_name(a);
	int result = -1;
	if (git_tree_lookup(&old_tree, w->repo, git_tree_entry_id(a)) == 0 &&
	    git_tree_lookup(&new_tree, w->repo, git_tree_entry_id(b)) == 0 &&
	    enter_dir(w, name) == 0) {
		result = compare_trees(w, old_tree, new_tree);
		leave_dir(w, name);
	}
	git_tree_free(new_tree);
	git_tree_free(old_tree);
	return result;
}

// Both trees in step, in git's order; each entry is checked as it is taken.
static int compare_trees(tree_walk *w, const git_tree *old_tree, const git_tree *new_tree)
{
	size_t old_count = git_tree_entrycount(old_tree), new_count = git_tree_entrycount(new_tree);
	size_t i = 0, j = 0;
	int result = 0;
	while (result == 0 && !w->malformed && (i < old_count || j < new_count)) {
		const git_tree_entry *a = i < old_count ? git_tree_entry_byindex(old_tree, i) : nullptr;
		const git_tree_entry *b = j < new_count ? git_tree_entry_byindex(new_tree, j) : nullptr;
		int order = !a ? 1 : !b ? -1 : entry_order(a, b);
		if (order <= 0)
			check_entry(w, old_tree, i);
		if (order >= 0)
			check_entry(w, new_tree, j);
		if (order < 0) {
			result = add_leaves(w, a);
			i++;
		} else if (order > 0) {
			result = add_leaves(w, b);
			j++;
		} else {
			result = compare_pair(w, a, b);
			i++;
			j++;
		}
	}
	return result;
}

// The diff of the listed paths alone: libgit2's tree walks then open only
// the directories on the way to them. With nothing listed it would take
// every path, so an unchanged pair of trees gets the diff of no trees,
// which is empty too.
static int diff_listed(git_diff **diff, tree_walk *w, git_tree *old_tree, git_tree *new_tree,
		       const git_diff_options *opts)
{
	if (w->path_count == 0)
		return git_diff_tree_to_tree(diff, w->repo, nullptr, nullptr, opts);
	char **list = static_cast<char **>(malloc(w->path_count * sizeof *list));
	if (!list) {
		git_error_set_oom();
		return -1;
	}
	char *p = w->paths;
	for (size_t i = 0; i < w->path_count; i++) {
		list[i] = p;
		p += strlen(p) + 1;
	}
	// The diff keeps a copy of these options, list included, but reads the
	// list only while it is being made.
	git_diff_options listed = *opts;
	listed.pathspec.strings = list;
	listed.pathspec.count = w->path_count;
	int result = git_diff_tree_to_tree(diff, w->repo, old_tree, new_tree, &listed);
	free(list);
	return result;
}

// Options under which a path list selects exactly the deltas of the whole
// trees: no pattern of the caller's own, the list taken as exact paths, and
// no flag that reports unchanged entries, trees or case changes (binary
// contents shown or not are a matter of the patches alone).
static bool list_allowed(const git_diff_options *opts)
{
	const uint32_t allowed = GIT_DIFF_INCLUDE_TYPECHANGE | GIT_DIFF_IGNORE_SUBMODULES |
				 GIT_DIFF_DISABLE_PATHSPEC_MATCH | GIT_DIFF_SHOW_BINARY;
	return opts && opts->pathspec.count == 0 && (opts->flags & GIT_DIFF_DISABLE_PATHSPEC_MATCH) &&
	       (opts->flags & ~allowed) == 0;
}

int tree_diff_noting_submodules(git_diff **diff, git_repository *repo, git_tree *old_tree,
				git_tree *new_tree, const git_diff_options *opts, bool *submodules)
{
	*diff = nullptr;
	*submodules = true; // unless the walk tells otherwise
	if (!old_tree || !new_tree || !list_allowed(opts))
		return git_diff_tree_to_tree(diff, repo, old_tree, new_tree, opts);
	tree_walk w = {};
	w.repo = repo;
	int result = compare_trees(&w, old_tree, new_tree);
	if (result == 0 && (w.malformed || (w.pattern_matched && (w.pattern_altered || w.negation)))) {
		result = git_diff_tree_to_tree(diff, repo, old_tree, new_tree, opts);
	} else if (result == 0) {
		result = diff_listed(diff, &w, old_tree, new_tree, opts);
		*submodules = w.pattern_matched;
	}
	free(w.prefix);
	free(w.paths);
	return result;
}

int tree_diff(git_diff **diff, git_repository *repo, git_tree *old_tree, git_tree *new_tree,
	      const git_diff_options *opts)
{
	bool submodules;
	return tree_diff_noting_submodules(diff, repo, old_tree, new_tree, opts, &submodules);
}
