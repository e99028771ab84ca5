// The run's settings: what the command line, the environment and the
// repository say, set once during start-up and read by every page writer.
// Defined apart from the driver that sets them, so that no file calls back
// into it.
#include "site.h"

const char *repodir;
const char *cachefile;
const char *baseurl = "";
int64_t log_limit = -1;
git_repository *repository;
const char *repo_name = "";
char *short_name;
char description[255];
char clone_url[1024];
const char *license_path;
const char *readme_path;
const char *submodules_path;
unsigned jobs = 1;
bool rich_about;
bool rich_raw;
bool rich_patch;
bool rich_tree;
bool rich_highlight;
const char *about_readme;
unsigned new_file_mode = 0644;
