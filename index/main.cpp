// repopage-index: one HTML page on standard output listing repositories,
// each linked to the log page repopage wrote in the folder of its name.
#include "git_setup.h"
#include "output.h"

#include <git2.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <err.h>

static git_repository *repository; // the repository of the current argument
static const char *repo_name = "";  // last component of its real path
static char description[255] = "Repositories";
static char owner[255];

static void write_index_header(FILE *fp)
{
	fputs("<!DOCTYPE html>\n<html>\n<head>\n"
	      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\" />\n"
	      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\" />\n"
	      "<title>", fp);
	put_html(fp, description);
	fputs("</title>\n<link rel=\"icon\" type=\"image/png\" href=\"favicon.png\" />\n"
	      "<link rel=\"stylesheet\" type=\"text/css\" href=\"style.css\" />\n"
	      "</head>\n<body>\n"
	      "<table>\n<tr><td><img src=\"logo.png\" alt=\"\" width=\"32\" height=\"32\" /></td>\n"
	      "<td><span class=\"desc\">", fp);
	put_html(fp, description);
	fputs("</span></td></tr><tr><td></td><td>\n</td></tr>\n</table>\n<hr/>\n"
	      "<div id=\"content\">\n<table id=\"index\"><thead>\n"
	      "<tr><td><b>Name</b></td><td><b>Description</b></td><td><b>Owner</b></td>"
	      "<td><b>Last commit</b></td></tr></thead><tbody>\n", fp);
}

static void write_index_footer(FILE *fp)
{
	fputs("</tbody>\n</table>\n</div>\n</body>\n</html>\n", fp);
}

static void write_row(FILE *fp, const char *name, const git_signature *author)
{
	fputs("<tr><td><a href=\"", fp);
	uri_escape(fp, name, strlen(name));
	fputs("/log.html\">", fp);
	put_html(fp, name);
	fputs("</a></td><td>", fp);
	put_html(fp, description);
	fputs("</td><td>", fp);
	put_html(fp, owner);
	fputs("</td><td>", fp);
	if (author)
		print_time_short(fp, author->when);
	fputs("</td></tr>", fp);
}

static int index_row(FILE *fp)
{
	git_revwalk *walk = nullptr;
	git_commit *commit = nullptr;
	git_oid id;
	git_revwalk_new(&walk, repository);
	if (walk)
		git_revwalk_push_head(walk);
	if (!walk || git_revwalk_next(&id, walk) != 0 || git_commit_lookup(&commit, repository, &id) != 0) {
		git_revwalk_free(walk);
		return -1;
	}
	char *name = strdup(repo_name);
	if (!name)
		err(1, "strdup");
	char *dot = strrchr(name, '.');
	if (dot && strcmp(dot, ".git") == 0)
		*dot = '\0';
	write_row(fp, name, git_commit_author(commit));
	git_commit_free(commit);
	git_revwalk_free(walk);
	free(name);
	return 0;
}

// Returns false when the argument is no repository.
static bool list_repository(const char *program, const char *dir)
{
	// realpath may write up to PATH_MAX bytes, whatever the buffer.
	static char real_path[PATH_MAX];
	if (!realpath(dir, real_path))
		err(1, "realpath");
	if (git_repository_open_ext(&repository, dir, GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0) {
		fprintf(stderr, "%s: cannot open repository\n", program);
		return false;
	}
	const char *slash = strrchr(real_path, '/');
	repo_name = slash ? slash + 1 : "";
	read_first_line(dir, "description", ".git/description", description, sizeof description, "description");
	read_first_line(dir, "owner", ".git/owner", owner, sizeof owner, "owner");
	owner[strcspn(owner, "\n")] = '\0';
	index_row(stdout);
	git_repository_free(repository);
	repository = nullptr;
	return true;
}

int main(int argc, char *argv[])
{
	if (argc < 2) {
		fprintf(stderr, "%s [repodir...]\n", argv[0]);
		return 1;
	}
	libgit2_setup();

	static char buffer[1 << 16];
	use_buffer(stdout, buffer, sizeof buffer);
	write_index_header(stdout);
	int status = 0;
	for (int i = 1; i < argc; i++)
		if (!list_repository(argv[0], argv[i]))
			status = 1;
	write_index_footer(stdout);
	git_libgit2_shutdown();
	stream_check(stdout, "<stdout>", 'w');
	return status;
}
