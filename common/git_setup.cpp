#include "git_setup.h"

#include <git2.h>

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
