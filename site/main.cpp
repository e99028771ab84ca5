// repopage: renders one repository into the working directory: the log with
// its commit pages, the files with their pages, the refs and two feeds,
// and the about page from the README when the repository asks for it.
#include "site.h"

#include "git_setup.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <sys/stat.h>

static git_oid head_id; // what HEAD resolves to ...
static bool has_head;   // ... when it resolves at all
static char *about_name; // owned: what about_readme points to

// HEAD's commit: an annotated tag is peeled to it. An unborn HEAD (a new
// repository, or HEAD on a branch not made yet) gives an empty site; any
// other failure is fatal before a file is written, so a good site is never
// replaced by an empty one when HEAD or the objects cannot be read.
static void resolve_head(const char *program)
{
	git_object *head = nullptr;
	if (git_revparse_single(&head, repository, "HEAD") != 0) {
		char message[512];
		snprintf(message, sizeof message, "%s", git_message());
		if (git_repository_head_unborn(repository) == 1)
			return;
		fprintf(stderr, "%s: cannot read HEAD: %s\n", program, message);
		exit(1);
	}
	git_object *commit = nullptr;
	if (git_object_type(head) == GIT_OBJECT_TAG && git_object_peel(&commit, head, GIT_OBJECT_COMMIT) == 0)
		git_oid_cpy(&head_id, git_object_id(commit));
	else
		git_oid_cpy(&head_id, git_object_id(head));
	has_head = true;
	git_object_free(commit);
	git_object_free(head);
}

static void open_repository(const char *program)
{
	libgit2_setup();
	if (repository_open(&repository, repodir) != 0) {
		fprintf(stderr, "%s: cannot open repository\n", program);
		exit(1);
	}
	resolve_head(program);
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
	short_name = repository_short_name(repo_name);
	read_first_line(repodir, "description", ".git/description", description, sizeof description, nullptr);
	read_first_line(repodir, "url", ".git/url", clone_url, sizeof clone_url, nullptr);
	clone_url[strcspn(clone_url, "\n")] = '\0';

	static const char *const LICENSES[] = {"HEAD:LICENSE", "HEAD:LICENSE.md", "HEAD:COPYING"};
	static const char *const READMES[] = {"HEAD:README", "HEAD:README.md"};
	static const char *const SUBMODULES[] = {"HEAD:.gitmodules"};
	license_path = probe_blob(LICENSES, 3);
	readme_path = probe_blob(READMES, 2);
	submodules_path = probe_blob(SUBMODULES, 1);
	if (rich_about && has_head)
		about_readme = about_name = about_readme_choose(&head_id);
}

static void write_log_page(page_output *page, log_walk *walk, log_cache *cache)
{
	page_open_or_die(page, "log.html", PAGE_COMPARE);
	FILE *fp = page->stream;
	mkdir("commit", 0777);
	write_page_header(fp, "", "Log");
	log_table_head(fp);
	walk->log = fp;
	walk->rows_left = log_limit;
	if (cachefile && has_head)
		cached_log_body(walk, cache, &head_id);
	else if (has_head)
		walk_log(walk, &head_id);
	log_table_end(fp);
	write_page_footer(fp);
	page_close_or_die(page);
}

static void write_files_page(page_output *page, run_progress *progress)
{
	page_open_or_die(page, "files.html", PAGE_COMPARE);
	write_page_header(page->stream, "", "Files");
	if (has_head)
		files_page_body(page->stream, &head_id, progress);
	write_page_footer(page->stream);
	page_close_or_die(page);
}

static void write_refs_page(page_output *page)
{
	page_open_or_die(page, "refs.html", PAGE_COMPARE);
	write_page_header(page->stream, "", "Refs");
	refs_page_body(page->stream);
	write_page_footer(page->stream);
	page_close_or_die(page);
}

static void write_feed(page_output *page, const char *name, int all)
{
	page_open_or_die(page, name, PAGE_COMPARE);
	atom_feed(page->stream, all);
	page_close_or_die(page);
}

int main(int argc, char *argv[])
{
	if (scan_arguments(argc, argv) != 0) {
		fprintf(stderr, "%s [-c cachefile | -l commits] [-u baseurl] repodir\n", argv[0]);
		return 1;
	}
	new_file_mode = file_creation_mode();
	if (choose_jobs() != 0) {
		fprintf(stderr, "%s: REPOPAGE_JOBS must be a positive decimal number, not '%s'\n", argv[0],
			getenv("REPOPAGE_JOBS"));
		return 1;
	}
	char real_path[PATH_MAX];
	if (!realpath(repodir, real_path))
		err(1, "realpath");
	open_repository(argv[0]);
	read_rich_settings(argv[0]);
	read_metadata(real_path);
	run_progress progress;
	progress_start(&progress);
	// From the first temporary file on, and before any thread that renders
	// commits, which inherits the blocked signals.
	clean_up_on_signals();

	log_walk walk = {};
	walk.progress = &progress;
	log_cache cache = {};
	page_output top = {};
	write_log_page(&top, &walk, &cache);
	write_files_page(&top, &progress);
	write_refs_page(&top);
	write_feed(&top, "atom.xml", 1);
	write_feed(&top, "tags.xml", 0);
	if (about_readme)
		write_about_page(&top, &head_id);
	page_output_free(&top);
	if (cachefile && has_head && walk.report.failure_count == 0)
		cache_install(&cache);
	else if (cachefile && has_head)
		cache_discard(&cache);
	progress_end(&progress);
	int status = walk_report_print(argv[0], &walk.report);

	git_repository_free(repository);
	git_libgit2_shutdown();
	free(short_name);
	free(about_name);
	return status;
}
