#include "git_setup.h"

#include <git2.h>

void libgit2_setup()
{
	git_libgit2_init();
	for (int level = GIT_CONFIG_LEVEL_PROGRAMDATA; level <= GIT_CONFIG_LEVEL_APP; level++)
		git_libgit2_opts(GIT_OPT_SET_SEARCH_PATH, level, "");
	git_libgit2_opts(GIT_OPT_SET_OWNER_VALIDATION, 0);
}
