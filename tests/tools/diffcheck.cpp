// diffcheck REPODIR: for every commit reachable from HEAD, the diff against
// its first parent made two ways, by tree_diff and by libgit2 over the whole
// trees, each with the options of commit records and exact renames and
// copies; compares the deltas, the patches, their hunks and every line.
// For a commit with one parent, also the mail that "commit/<id>.patch" holds
// against libgit2's git_email_create_from_commit, byte for byte.
// Prints the first difference with the commit's id and exits 1; prints the
// counts and exits 0 when all agree; exits 2 when HEAD cannot be walked.
#include "git_setup.h"
#include "site.h"

#include <git2.h>
#include <git2/email.h>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>

// Where the comparison stands, for the report.
struct check_state {
	char commit[GIT_OID_SHA1_HEXSIZE + 1];
	size_t delta;
	size_t commits, deltas, lines, mails;
};

// The commit, the delta unless the difference is in the whole diff, and
// both values.
[[noreturn]] static void differs(const check_state *s, const char *what, const char *ours,
				 const char *theirs)
{
	printf("%s: ", s->commit);
	if (s->delta != SIZE_MAX)
		printf("delta %zu: ", s->delta);
	printf("%s: tree_diff [%s], whole trees [%s]\n", what, ours, theirs);
	exit(1);
}

static void same_number(const check_state *s, const char *what, int64_t ours, int64_t theirs)
{
	if (ours == theirs)
		return;
	char a[24], b[24];
	snprintf(a, sizeof a, "%" PRId64, ours);
	snprintf(b, sizeof b, "%" PRId64, theirs);
	differs(s, what, a, b);
}

static void same_text(const check_state *s, const char *what, const char *ours, const char *theirs)
{
	if (ours && theirs ? strcmp(ours, theirs) != 0 : ours != theirs)
		differs(s, what, ours ? ours : "(none)", theirs ? theirs : "(none)");
}

static void same_bytes(const check_state *s, const char *what, const char *ours, size_t ours_length,
		       const char *theirs, size_t theirs_length)
{
	same_number(s, what, static_cast<int64_t>(ours_length), static_cast<int64_t>(theirs_length));
	if (ours_length && memcmp(ours, theirs, ours_length) != 0)
		differs(s, what, "(bytes)", "(other bytes)");
}

static void same_file(const check_state *s, const char *side, const git_diff_file *ours,
		      const git_diff_file *theirs)
{
	char what[32], a[GIT_OID_SHA1_HEXSIZE + 1], b[GIT_OID_SHA1_HEXSIZE + 1];
	snprintf(what, sizeof what, "%s path", side);
	same_text(s, what, ours->path, theirs->path);
	snprintf(what, sizeof what, "%s mode", side);
	same_number(s, what, ours->mode, theirs->mode);
	snprintf(what, sizeof what, "%s size", side);
	same_number(s, what, static_cast<int64_t>(ours->size), static_cast<int64_t>(theirs->size));
	snprintf(what, sizeof what, "%s flags", side);
	same_number(s, what, ours->flags, theirs->flags);
	snprintf(what, sizeof what, "%s id", side);
	same_text(s, what, git_oid_tostr(a, sizeof a, &ours->id), git_oid_tostr(b, sizeof b, &theirs->id));
}

static void same_delta(const check_state *s, const git_diff_delta *ours, const git_diff_delta *theirs)
{
	same_number(s, "status", ours->status, theirs->status);
	same_number(s, "flags", ours->flags, theirs->flags);
	same_number(s, "similarity", ours->similarity, theirs->similarity);
	same_number(s, "nfiles", ours->nfiles, theirs->nfiles);
	same_file(s, "old", &ours->old_file, &theirs->old_file);
	same_file(s, "new", &ours->new_file, &theirs->new_file);
}

static void same_line(check_state *s, const git_diff_line *ours, const git_diff_line *theirs)
{
	same_number(s, "line origin", ours->origin, theirs->origin);
	same_number(s, "old line number", ours->old_lineno, theirs->old_lineno);
	same_number(s, "new line number", ours->new_lineno, theirs->new_lineno);
	same_number(s, "line count", ours->num_lines, theirs->num_lines);
	same_number(s, "content offset", ours->content_offset, theirs->content_offset);
	same_bytes(s, "line content", ours->content, ours->content_len, theirs->content,
		   theirs->content_len);
	s->lines++;
}

static void same_hunk(check_state *s, git_patch *ours, git_patch *theirs, size_t index)
{
	const git_diff_hunk *a, *b;
	size_t a_lines, b_lines;
	int result = git_patch_get_hunk(&a, &a_lines, ours, index);
	same_number(s, "hunk readable", result, git_patch_get_hunk(&b, &b_lines, theirs, index));
	if (result != 0)
		return;
	same_bytes(s, "hunk header", a->header, a->header_len, b->header, b->header_len);
	same_number(s, "hunk old start", a->old_start, b->old_start);
	same_number(s, "hunk old lines", a->old_lines, b->old_lines);
	same_number(s, "hunk new start", a->new_start, b->new_start);
	same_number(s, "hunk new lines", a->new_lines, b->new_lines);
	same_number(s, "lines in hunk", static_cast<int64_t>(a_lines), static_cast<int64_t>(b_lines));
	for (size_t k = 0; k < a_lines; k++) {
		const git_diff_line *x, *y;
		result = git_patch_get_line_in_hunk(&x, ours, index, k);
		same_number(s, "line readable", result, git_patch_get_line_in_hunk(&y, theirs, index, k));
		if (result == 0)
			same_line(s, x, y);
	}
}

// The patch text too: it holds the index and mode lines, the rename and
// copy headers and the binary notice, which no field above shows whole.
static void same_patch(check_state *s, git_patch *ours, git_patch *theirs)
{
	same_delta(s, git_patch_get_delta(ours), git_patch_get_delta(theirs));
	size_t hunks = git_patch_num_hunks(ours);
	same_number(s, "hunks", static_cast<int64_t>(hunks),
		    static_cast<int64_t>(git_patch_num_hunks(theirs)));
	for (size_t j = 0; j < hunks; j++)
		same_hunk(s, ours, theirs, j);
	git_buf a = GIT_BUF_INIT, b = GIT_BUF_INIT;
	same_number(s, "patch text readable", git_patch_to_buf(&a, ours), git_patch_to_buf(&b, theirs));
	same_bytes(s, "patch text", a.ptr, a.size, b.ptr, b.size);
	git_buf_dispose(&b);
	git_buf_dispose(&a);
}

// The diff of commit records, its trees diffed whole or through tree_diff.
static int record_diff(git_diff **diff, git_repository *repo, git_tree *parent_tree,
		       git_tree *tree, bool whole)
{
	git_diff_options opts;
	git_diff_init_options(&opts, GIT_DIFF_OPTIONS_VERSION);
	opts.flags |= GIT_DIFF_INCLUDE_TYPECHANGE | GIT_DIFF_IGNORE_SUBMODULES |
		      GIT_DIFF_DISABLE_PATHSPEC_MATCH;
	int result = whole ? git_diff_tree_to_tree(diff, repo, parent_tree, tree, &opts)
			   : tree_diff(diff, repo, parent_tree, tree, &opts);
	if (result != 0)
		return -1;
	git_diff_find_options find;
	git_diff_find_init_options(&find, GIT_DIFF_FIND_OPTIONS_VERSION);
	find.flags |= GIT_DIFF_FIND_RENAMES | GIT_DIFF_FIND_COPIES | GIT_DIFF_FIND_EXACT_MATCH_ONLY;
	return git_diff_find_similar(*diff, &find) == 0 ? 0 : -1;
}

static void same_diffs(check_state *s, git_diff *ours, git_diff *theirs)
{
	size_t n = git_diff_num_deltas(ours);
	same_number(s, "number of deltas", static_cast<int64_t>(n),
		    static_cast<int64_t>(git_diff_num_deltas(theirs)));
	for (size_t i = 0; i < n; i++) {
		s->delta = i;
		same_delta(s, git_diff_get_delta(ours, i), git_diff_get_delta(theirs, i));
		git_patch *a = nullptr, *b = nullptr;
		same_number(s, "patch made", git_patch_from_diff(&a, ours, i),
			    git_patch_from_diff(&b, theirs, i));
		same_number(s, "patch present", a != nullptr, b != nullptr);
		if (a)
			same_patch(s, a, b);
		git_patch_free(b);
		git_patch_free(a);
		s->deltas++;
	}
}

// First parent and its tree as commit records take them: either missing
// means a diff against nothing.
static git_tree *parent_tree(git_repository *repo, git_commit *commit)
{
	git_commit *parent;
	git_tree *tree = nullptr;
	if (git_commit_parent(&parent, commit, 0) != 0)
		return nullptr;
	if (git_tree_lookup(&tree, repo, git_commit_tree_id(parent)) != 0)
		tree = nullptr;
	git_commit_free(parent);
	return tree;
}

// patch_write, which reuses the page's patches where it can and makes the
// rest from a diff through tree_diff, against libgit2 on its own.
static void same_mail(check_state *s, git_repository *repo, git_commit *commit)
{
	fault f = {};
	commit_record *r = commit_record_read(repo, git_commit_id(commit), &f);
	if (!r || commit_record_diff(r, &f) != 0) {
		commit_record_free(r);
		return;
	}
	char *ours = nullptr;
	size_t ours_length = 0;
	FILE *fp = open_memstream(&ours, &ours_length);
	if (!fp)
		err(2, "open_memstream");
	int a = patch_write(fp, r);
	if (fclose(fp) != 0)
		err(2, "open_memstream");
	git_buf theirs = GIT_BUF_INIT;
	same_number(s, "mail made", a, git_email_create_from_commit(&theirs, commit, nullptr));
	if (a == 0)
		same_bytes(s, "mail", ours, ours_length, theirs.ptr, theirs.size);
	git_buf_dispose(&theirs);
	free(ours);
	commit_record_free(r);
	s->mails++;
}

static void check_commit(check_state *s, git_repository *repo, git_commit *commit)
{
	git_tree *tree = nullptr, *old_tree = nullptr;
	git_diff *ours = nullptr, *theirs = nullptr;
	git_oid_tostr(s->commit, sizeof s->commit, git_commit_id(commit));
	s->delta = SIZE_MAX;
	if (git_tree_lookup(&tree, repo, git_commit_tree_id(commit)) == 0) {
		old_tree = parent_tree(repo, commit);
		int a = record_diff(&ours, repo, old_tree, tree, false);
		int b = record_diff(&theirs, repo, old_tree, tree, true);
		same_number(s, "diff made", a, b);
		if (a == 0)
			same_diffs(s, ours, theirs);
	}
	git_diff_free(theirs);
	git_diff_free(ours);
	git_tree_free(old_tree);
	git_tree_free(tree);
	s->delta = SIZE_MAX;
	if (git_commit_parentcount(commit) == 1)
		same_mail(s, repo, commit);
	s->commits++;
}

static void check_history(check_state *s, git_repository *repo)
{
	git_object *head = nullptr;
	git_revwalk *walk = nullptr;
	git_oid id;
	if (git_revparse_single(&head, repo, "HEAD^{commit}") != 0 ||
	    git_revwalk_new(&walk, repo) != 0 || git_revwalk_push(walk, git_object_id(head)) != 0)
		errx(2, "cannot walk the history from HEAD");
	while (git_revwalk_next(&id, walk) == 0) {
		git_commit *commit;
		if (git_commit_lookup(&commit, repo, &id) != 0)
			errx(2, "cannot read commit %s", git_oid_tostr_s(&id));
		check_commit(s, repo, commit);
		git_commit_free(commit);
	}
	git_revwalk_free(walk);
	git_object_free(head);
}

int main(int argc, char *argv[])
{
	if (argc != 2) {
		fprintf(stderr, "usage: %s repodir\n", argv[0]);
		return 2;
	}
	libgit2_setup();
	git_repository *repo;
	if (git_repository_open_ext(&repo, argv[1], GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0)
		errx(2, "cannot open repository: %s", argv[1]);
	// Commit records made as for a site with patch files.
	rich_patch = true;
	check_state s = {};
	check_history(&s, repo);
	printf("%zu commits, %zu deltas, %zu lines, %zu mails: the same both ways\n", s.commits,
	       s.deltas, s.lines, s.mails);
	git_repository_free(repo);
	git_libgit2_shutdown();
	return 0;
}
