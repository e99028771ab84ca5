#include "git_setup.h"

#include <git2.h>
#include <git2/sys/repository.h>

// libgit2's object cache counts objects by their raw size, while a parsed
// tree takes several times that: with the default 256 MiB cap a long
// history grows the process by parsed trees it never reads again. A diff
// needs only the trees of two commits, so 32 MiB keeps every hit that
// matters and bounds the memory of a render.
static const size_t OBJECT_CACHE_BYTES = 32u << 20;

void libgit2_setup()
{
	git_libgit2_init();
	for (int level = GIT_CONFIG_LEVEL_PROGRAMDATA; level <= GIT_CONFIG_LEVEL_APP; level++)
		git_libgit2_opts(GIT_OPT_SET_SEARCH_PATH, level, "");
	git_libgit2_opts(GIT_OPT_SET_OWNER_VALIDATION, 0);
	// Reads are not checked against their object's hash, as git itself
	// does not check them on ordinary reads: the pages are the same, and
	// only a damaged object store would tell the difference.
	git_libgit2_opts(GIT_OPT_ENABLE_STRICT_HASH_VERIFICATION, 0);
	git_libgit2_opts(GIT_OPT_SET_CACHE_MAX_SIZE, static_cast<ssize_t>(OBJECT_CACHE_BYTES));
}

// A run reads a repository as it is when it starts. Left to itself libgit2
// stats the configuration file again at every diff (twice: for the diff's
// own copy and for the rename limit) in case it changed; a copy taken at
// the start is what every later read sees, and it is never written.
int repository_open(git_repository **out, const char *path)
{
	*out = nullptr;
	git_repository *repo = nullptr;
	git_config *config = nullptr;
	if (git_repository_open_ext(&repo, path, GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0 ||
	    git_repository_config_snapshot(&config, repo) != 0 ||
	    git_repository_set_config(repo, config) != 0) {
		git_config_free(config);
		git_repository_free(repo);
		return -1;
	}
	git_config_free(config);
	*out = repo;
	return 0;
}
