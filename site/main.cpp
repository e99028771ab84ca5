// repopage: renders one repository into the working directory: the log with
// its commit pages, the files with their pages, the refs and two feeds.
#include "site.h"

#include "git_setup.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <sys/stat.h>

git_repository *repository;
git_oid head_id;
bool has_head;
const char *repo_name = "";
char *short_name;
char description[255];
char clone_url[1024];
const char *license_path;
const char *readme_path;
const char *submodules_path;
const char *relative_prefix = "";

static const char LOG_TABLE_HEAD[] =
	"<table id=\"log\"><thead>\n<tr><td><b>Date</b></td>"
	"<td><b>Commit message</b></td><td><b>Author</b></td>"
	"<td class=\"num\" align=\"right\"><b>Files</b></td>"
	"<td class=\"num\" align=\"right\"><b>+</b></td>"
	"<td class=\"num\" align=\"right\"><b>-</b></td></tr>\n</thead><tbody>\n";

static void open_repository(const char *program)
{
	libgit2_setup();
	if (git_repository_open_ext(&repository, repodir, GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) < 0) {
		fprintf(stderr, "%s: cannot open repository\n", program);
		exit(1);
	}
	git_object *head = nullptr;
	if (git_revparse_single(&head, repository, "HEAD") == 0) {
		git_oid_cpy(&head_id, git_object_id(head));
		has_head = true;
	}
	git_object_free(head);
}

// The first of `specs` that names a blob at the top of HEAD's tree,
// without its "HEAD:".
static const char *probe_blob(const char *const specs[], int count)
{
	for (int i = 0; i < count; i++) {
		git_object *obj = nullptr;
		bool blob = git_revparse_single(&obj, repository, specs[i]) == 0 &&
			    git_object_type(obj) == GIT_OBJECT_BLOB;
		git_object_free(obj);
		if (blob)
			return specs[i] + strlen("HEAD:");
	}
	return nullptr;
}

static void read_metadata(const char *real_path)
{
	const char *slash = strrchr(real_path, '/');
	repo_name = slash ? slash + 1 : "";
	short_name = strdup(repo_name);
	if (!short_name)
		err(1, "strdup");
	char *dot = strrchr(short_name, '.');
	if (dot && strcmp(dot, ".git") == 0)
		*dot = '\0';
	read_first_line(repodir, "description", ".git/description", description, sizeof description, nullptr);
	read_first_line(repodir, "url", ".git/url", clone_url, sizeof clone_url, nullptr);
	clone_url[strcspn(clone_url, "\n")] = '\0';

	static const char *const LICENSES[] = {"HEAD:LICENSE", "HEAD:LICENSE.md", "HEAD:COPYING"};
	static const char *const READMES[] = {"HEAD:README", "HEAD:README.md"};
	static const char *const SUBMODULES[] = {"HEAD:.gitmodules"};
	license_path = probe_blob(LICENSES, 3);
	readme_path = probe_blob(READMES, 2);
	submodules_path = probe_blob(SUBMODULES, 1);
}

static char top_buffer[PAGE_BUFFER]; // one top-level page is open at a time

static void write_log_page()
{
	FILE *fp = open_page("log.html", top_buffer);
	relative_prefix = "";
	mkdir("commit", 0777);
	write_page_header(fp, "Log");
	fputs(LOG_TABLE_HEAD, fp);
	if (cachefile && has_head)
		cached_log_body(fp, &head_id);
	else if (has_head)
		walk_log(fp, &head_id);
	fputs("</tbody></table>", fp);
	write_page_footer(fp);
	stream_close(fp, "log.html");
}

static void write_files_page()
{
	FILE *fp = open_page("files.html", top_buffer);
	write_page_header(fp, "Files");
	if (has_head)
		files_page_body(fp, &head_id);
	write_page_footer(fp);
	stream_close(fp, "files.html");
}

static void write_refs_page()
{
	FILE *fp = open_page("refs.html", top_buffer);
	write_page_header(fp, "Refs");
	refs_page_body(fp);
	write_page_footer(fp);
	stream_close(fp, "refs.html");
}

static void write_feed(const char *name, int all)
{
	FILE *fp = open_page(name, top_buffer);
	atom_feed(fp, all);
	stream_close(fp, name);
}

int main(int argc, char *argv[])
{
	if (scan_arguments(argc, argv) != 0) {
		fprintf(stderr, "%s [-c cachefile | -l commits] [-u baseurl] repodir\n", argv[0]);
		return 1;
	}
	static char real_path[PATH_MAX];
	if (!realpath(repodir, real_path))
		err(1, "realpath");
	open_repository(argv[0]);
	read_metadata(real_path);

	write_log_page();
	write_files_page();
	write_refs_page();
	write_feed("atom.xml", 1);
	write_feed("tags.xml", 0);
	if (cachefile && has_head)
		cache_install();

	git_repository_free(repository);
	git_libgit2_shutdown();
	free(short_name);
	return 0;
}
