// The walk of the log: the commits from HEAD in walk order, handed to the
// threads that render them a window at a time, and taken back in the same
// order for their rows, their pages and their failures.
#include "site.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <err.h>
#include <unistd.h>
#include <vector>

// Marks err's form of a fatal error without errno's text: errx's.
constexpr int NO_REASON = -1;

// Ends the run with a fatal error met while workers may still write: they
// are stopped first and their unfinished pages removed, so that none makes
// a file after the clean-up at exit. `text` is err's message, `error` errno
// for it or NO_REASON; `text` may not point into a task, which the stopping
// frees.
[[noreturn]] static void stop_and_die(walk_pool *pool, const char *text, int error)
{
	walk_pool_stop(pool);
	if (error == NO_REASON)
		errx(1, "%s", text);
	errno = error;
	err(1, "%s", text);
}

// Puts a page a worker wrote in place, in walk order, or ends the run with
// what the worker met writing it. The names go into the message before
// the pool stops: stopping it frees the task that holds them.
static void install_page(walk_pool *pool, pending_page *page)
{
	const char *path = page->output.path;
	char text[sizeof page->output.temp + sizeof page->output.path + 16];
	if (page->open_errno != 0) {
		snprintf(text, sizeof text, "fopen: '%s'", path);
		stop_and_die(pool, text, page->open_errno);
	}
	if (page->failed) {
		snprintf(text, sizeof text, "write error: %s", path);
		stop_and_die(pool, text, NO_REASON);
	}
	int error = page->rename_errno;
	if (error == 0 && page->pending && page_install(&page->output) != 0)
		error = errno;
	if (error != 0) {
		snprintf(text, sizeof text, "rename: '%s' to '%s'", page->output.temp, path);
		stop_and_die(pool, text, error);
	}
	page->pending = false;
}

// The walk's rules, applied to one task in walk order: the limit, the
// rows, the commits that could not be rendered, the page. 0 to go on, or
// WALK_BROKEN.
static int take_task(log_walk *walk, walk_pool *pool, commit_task *task)
{
	const commit_request *request = &task->request;
	const commit_result *result = &task->result;
	if (walk->rows_left == 0) {
		walk->remaining++;
		if (request->exists)
			return 0;
	}
	// A worker's fatal error, where a one-thread run would have met it.
	if (result->failure.what)
		stop_and_die(pool, result->failure.what, result->failure.error);
	if (result->outcome == TASK_UNREADABLE) {
		walk_report_add(&walk->report, request->id_text, "read", result->message);
		return WALK_BROKEN;
	}
	if (result->outcome == TASK_NO_DIFF) {
		walk_report_add(&walk->report, request->id_text, "diff", result->message);
		return 0;
	}
	if (walk->rows_left != 0)
		fwrite(result->row, 1, result->row_length, walk->log);
	if (walk->rows_left > 0)
		walk->rows_left--;
	if (walk->new_cache)
		fwrite(result->row, 1, result->row_length, walk->new_cache);
	// The patch first: a page in place means a complete commit.
	if (!request->exists) {
		install_page(pool, &task->result.patch);
		install_page(pool, &task->result.page);
	}
	return 0;
}

struct pages_in_place;

// Where the walk takes its commits from: libgit2's walk, or a list made
// beforehand, which ends where the cached rows begin.
struct commit_source {
	git_revwalk *rw;                   // owned by walk_log
	const std::vector<git_oid> *list;  // else these, in this order
	size_t listed;                     // how many of them were taken
	const pages_in_place *in_place;    // the pages there at the start
};

// The next commit's id; 0, GIT_ITEROVER, or libgit2's error. A list runs
// out where the cached rows take over: *cached tells so.
static int next_id(commit_source *source, git_oid *id, bool *cached)
{
	if (source->list && source->listed == source->list->size()) {
		*cached = true;
		return GIT_ITEROVER;
	}
	if (source->list) {
		*id = (*source->list)[source->listed++];
		return 0;
	}
	return source->rw ? git_revwalk_next(id, source->rw) : GIT_ITEROVER;
}

// The commits whose pages were in place when the walk began, sorted, read
// from the folder at once: a commit not among them has no page, and needs
// no look of its own, which on a first render spared the walk's thread a
// system call a commit. Those among them are still looked at one by one,
// as a link that leads nowhere is listed but is no page.
struct pages_in_place {
	std::vector<git_oid> ids;
	bool known; // false: not listed, or the folder could not be read: each commit is looked at
};

static bool oid_less(const git_oid &a, const git_oid &b)
{
	return git_oid_cmp(&a, &b) < 0;
}

// "<40 hex digits>.html": the name of a commit's page.
static bool page_id(const char *name, git_oid *id)
{
	return strlen(name) == GIT_OID_SHA1_HEXSIZE + 5 &&
	       strcmp(name + GIT_OID_SHA1_HEXSIZE, ".html") == 0 &&
	       git_oid_fromstrn(id, name, GIT_OID_SHA1_HEXSIZE) == 0;
}

static void list_pages_in_place(pages_in_place *pages)
{
	DIR *dir = opendir("commit");
	pages->known = dir || errno == ENOENT;
	if (!dir)
		return;
	git_oid id;
	struct dirent *entry;
	errno = 0;
	while ((entry = readdir(dir)))
		if (page_id(entry->d_name, &id))
			pages->ids.push_back(id);
	pages->known = errno == 0;
	closedir(dir);
	std::sort(pages->ids.begin(), pages->ids.end(), oid_less);
}

static bool page_exists(const pages_in_place *pages, const commit_request *next)
{
	if (pages->known && !std::binary_search(pages->ids.begin(), pages->ids.end(), next->id, oid_less))
		return false;
	return access(next->path, F_OK) == 0;
}

// The commit the walk yields next, with its page path and whether the page
// exists; false at the end of the walk (or at the cached commit, or on an
// error, which *error_message then names).
static bool next_commit(commit_source *source, const log_walk *walk, commit_request *next,
			bool *cached, char **error_message)
{
	int result = next_id(source, &next->id, cached);
	if (result != 0 && result != GIT_ITEROVER) {
		*error_message = strdup(git_message());
		if (!*error_message)
			err(1, "strdup");
	}
	if (result != 0)
		return false;
	if (walk->cached_id && git_oid_equal(&next->id, walk->cached_id)) {
		*cached = true;
		return false;
	}
	git_oid_tostr(next->id_text, sizeof next->id_text, &next->id);
	int n = snprintf(next->path, sizeof next->path, "commit/%s.html", next->id_text);
	if (n < 0 || static_cast<size_t>(n) >= sizeof next->path)
		errx(1, "path truncated: 'commit/%s.html'", next->id_text);
	next->exists = page_exists(source->in_place, next);
	return true;
}

// Past the limit, a commit whose page exists is not even loaded. Whether
// the limit is used up is known only once the tasks before it are taken.
static bool limit_unsure(const log_walk *walk, const commit_request *next, size_t in_flight)
{
	return next->exists && walk->rows_left > 0 &&
	       static_cast<int64_t>(in_flight) >= walk->rows_left;
}

static void submit(walk_pool *pool, size_t index, const commit_request *next, const log_walk *walk)
{
	commit_task *task = walk_pool_slot(pool, index);
	task->request = *next;
	task->request.load = !(next->exists && walk->rows_left == 0);
	walk_pool_submit(pool);
}

// The commits of the walk go to the workers in walk order, a window at a
// time, and their results are taken back in the same order: the rows, the
// pages put in place, the failures and the first fatal error are those of
// a walk that renders one commit after the other.
static int run_walk(log_walk *walk, walk_pool *pool, commit_source *source,
		    std::vector<git_oid> *walked, bool *cached, char **error_message)
{
	size_t submitted = 0, taken = 0, window = walk_pool_window(pool);
	commit_request next = {};
	bool have_next = false, ended = false;
	for (;;) {
		if (!have_next && !ended) {
			have_next = next_commit(source, walk, &next, cached, error_message);
			ended = !have_next;
		}
		if (have_next && submitted - taken < window && !limit_unsure(walk, &next, submitted - taken)) {
			submit(pool, submitted++, &next, walk);
			walked->push_back(next.id);
			have_next = false;
			continue;
		}
		if (taken == submitted)
			return 0;
		commit_task *task = walk_pool_wait(pool, taken);
		walk_pool_claim(pool, taken);
		int end = take_task(walk, pool, task);
		if (end != 0)
			return end;
		walk_pool_release(pool, taken++);
		progress_commit(walk->progress);
	}
}

// With a cache, the commits its commit does not reach, in the walk's own
// order. A walk by date that stops at the cached commit would miss those
// merged since whose dates are older: this list has them. False, and the
// walk by date instead, when the cached commit is HEAD's, is not HEAD's
// ancestor (a rewritten history), or its history cannot be read.
static bool list_new_commits(const git_oid *head, const git_oid *cached, std::vector<git_oid> *list)
{
	if (git_oid_is_zero(cached) || git_oid_equal(head, cached) ||
	    git_graph_descendant_of(repository, head, cached) != 1)
		return false;
	git_revwalk *rw = nullptr;
	bool ready = git_revwalk_new(&rw, repository) == 0 && git_revwalk_push(rw, head) == 0 &&
		     git_revwalk_hide(rw, cached) == 0;
	int result = ready ? 0 : -1;
	git_oid id;
	while (result == 0 && (result = git_revwalk_next(&id, rw)) == 0)
		list->push_back(id);
	git_revwalk_free(rw);
	if (result == GIT_ITEROVER)
		return true;
	list->clear();
	return false;
}

// How many commits the walk takes, when that is known beforehand: the
// listed ones, or the whole history when no cached commit may stop it.
static size_t commits_to_walk(const log_walk *walk, const git_oid *head, const commit_source *source)
{
	if (source->list)
		return source->list->size();
	if (walk->cached_id && !git_oid_is_zero(walk->cached_id))
		return PROGRESS_UNKNOWN;
	return progress_history_size(walk->progress, head);
}

void walk_log(log_walk *walk, const git_oid *head)
{
	std::vector<git_oid> listed;
	// With a cache the walk mostly meets a few commits: listing every page
	// would cost more than looking at each.
	pages_in_place in_place = {};
	if (!walk->cached_id)
		list_pages_in_place(&in_place);
	commit_source source = {};
	source.in_place = &in_place;
	if (walk->cached_id && list_new_commits(head, walk->cached_id, &listed))
		source.list = &listed;
	else if (git_revwalk_new(&source.rw, repository) == 0)
		git_revwalk_push(source.rw, head);
	progress_commits_start(walk->progress, commits_to_walk(walk, head, &source));
	walk_pool *pool = walk_pool_start(jobs > 1 ? 4 * jobs : 1);
	std::vector<git_oid> walked;
	bool cached = false;
	char *error_message = nullptr;
	int end = run_walk(walk, pool, &source, &walked, &cached, &error_message);
	walk_pool_stop(pool);
	if (end != 0)
		walk->report.end = WALK_BROKEN;
	else if (cached)
		walk->report.end = WALK_CACHED;
	else if (error_message)
		walk->report.end = WALK_BROKEN;
	else
		walk->report.end = WALK_HISTORY_END;
	if (end == 0 && !cached && error_message)
		walk_report_unreadable(&walk->report, head, walked.data(), walked.size(), error_message);
	free(error_message);
	git_revwalk_free(source.rw);
	if (walk->rows_left == 0 && walk->remaining > 0)
		log_remaining_row(walk->log, walk->remaining);
}
