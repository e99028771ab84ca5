// The repository's own "repopage.*" keys: the rich pages it asks for. Only
// its own configuration is read, as libgit2 is set up to read nothing else.
#include "site.h"

#include <cstdlib>

// The key's boolean, false when it is not set. Any other value ends the run
// before a page is written: a mistyped key must not go unnoticed.
static bool read_switch(const char *program, git_config *config, const char *key)
{
	int value = 0;
	int error = git_config_get_bool(&value, config, key);
	if (error == 0)
		return value != 0;
	if (error == GIT_ENOTFOUND)
		return false;
	const char *text = nullptr;
	if (git_config_get_string(&text, config, key) != 0 || !text)
		text = "";
	fprintf(stderr, "%s: %s must be a boolean, not '%s'\n", program, key, text);
	exit(1);
}

void read_rich_settings(const char *program)
{
	git_config *config = nullptr;
	if (git_repository_config_snapshot(&config, repository) != 0) {
		fprintf(stderr, "%s: cannot read configuration: %s\n", program, git_message());
		exit(1);
	}
	rich_about = read_switch(program, config, "repopage.about");
	rich_raw = read_switch(program, config, "repopage.raw");
	rich_patch = read_switch(program, config, "repopage.patch");
	rich_tree = read_switch(program, config, "repopage.tree");
	rich_highlight = read_switch(program, config, "repopage.highlight");
	git_config_free(config);
}
