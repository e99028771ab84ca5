// repopage-index: one HTML page on standard output listing repositories,
// each linked to the log page repopage wrote in the folder of its name.
#include "git_setup.h"
#include "output.h"

#include <git2.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <err.h>

// Outlives main: exit flushes standard output once more after it returns.
static char stdout_buffer[1 << 16];

// One argument's repository while its row is written; the next argument
// starts from a fresh one.
struct index_entry {
	git_repository *repository;  // owned
	char *name;                  // shown name; owned
	char description[255];       // first line, with its newline
	char owner[255];             // first line, without its newline
};

static void write_index_header(FILE *fp)
{
	write_head_start(fp);
	fputs("Repositories</title>\n<link rel=\"icon\" type=\"image/png\" href=\"favicon.png\" />\n"
	      "<link rel=\"stylesheet\" type=\"text/css\" href=\"style.css\" />\n"
	      "</head>\n<body>\n"
	      "<table>\n<tr><td><img src=\"logo.png\" alt=\"\" width=\"32\" height=\"32\" /></td>\n"
	      "<td><span class=\"desc\">Repositories"
	      "</span></td></tr><tr><td></td><td>\n</td></tr>\n</table>\n<hr/>\n"
	      "<div id=\"content\">\n<table id=\"index\"><thead>\n"
	      "<tr><td><b>Name</b></td><td><b>Description</b></td><td><b>Owner</b></td>"
	      "<td><b>Last commit</b></td></tr></thead><tbody>\n", fp);
}

static void write_index_footer(FILE *fp)
{
	fputs("</tbody>\n</table>\n</div>\n</body>\n</html>\n", fp);
}

static void write_row(FILE *fp, const index_entry *entry, const git_signature *author)
{
	fputs("<tr><td><a href=\"", fp);
	uri_escape(fp, entry->name, strlen(entry->name));
	fputs("/log.html\">", fp);
	put_html(fp, entry->name);
	fputs("</a></td><td>", fp);
	put_html(fp, entry->description);
	fputs("</td><td>", fp);
	put_html(fp, entry->owner);
	fputs("</td><td>", fp);
	if (author)
		print_time_short(fp, author->when);
	fputs("</td></tr>", fp);
}

// A repository whose HEAD leads to no commit gets no row.
static void index_row(FILE *fp, const index_entry *entry)
{
	git_revwalk *walk = nullptr;
	git_commit *commit = nullptr;
	git_oid id;
	git_revwalk_new(&walk, entry->repository);
	if (walk && git_revwalk_push_head(walk) == 0 && git_revwalk_next(&id, walk) == 0 &&
	    git_commit_lookup(&commit, entry->repository, &id) == 0)
		write_row(fp, entry, git_commit_author(commit));
	git_commit_free(commit);
	git_revwalk_free(walk);
}

// Returns false when the argument is no repository.
static bool list_repository(const char *program, const char *dir)
{
	// realpath may write up to PATH_MAX bytes, whatever the buffer.
	char real_path[PATH_MAX];
	if (!realpath(dir, real_path))
		err(1, "realpath");
	index_entry entry = {};
	if (git_repository_open_ext(&entry.repository, dir, GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0) {
		fprintf(stderr, "%s: cannot open repository\n", program);
		return false;
	}
	const char *slash = strrchr(real_path, '/');
	entry.name = repository_short_name(slash ? slash + 1 : "");
	read_first_line(dir, "description", ".git/description", entry.description, sizeof entry.description,
			"description");
	read_first_line(dir, "owner", ".git/owner", entry.owner, sizeof entry.owner, "owner");
	entry.owner[strcspn(entry.owner, "\n")] = '\0';
	index_row(stdout, &entry);
	free(entry.name);
	git_repository_free(entry.repository);
	return true;
}

int main(int argc, char *argv[])
{
	if (argc < 2) {
		fprintf(stderr, "%s [repodir...]\n", argv[0]);
		return 1;
	}
	libgit2_setup();

	use_buffer(stdout, stdout_buffer, sizeof stdout_buffer);
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
