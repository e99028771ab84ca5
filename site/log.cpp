// The rows of the log table and the commit pages that do not exist yet.
#include "site.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

void log_row(FILE *fp, const commit_record *r)
{
	fputs("<tr><td>", fp);
	if (r->author)
		print_time_short(fp, r->author->when);
	fputs("</td><td>", fp);
	// Rows stand on the top-level log: their links have no prefix.
	if (r->summary) {
		fputs("<a href=\"commit/", fp);
		fputs(r->id_text, fp);
		fputs(".html\">", fp);
		put_html(fp, r->summary);
		fputs("</a>", fp);
	}
	fputs("</td><td>", fp);
	if (r->author)
		put_html(fp, r->author->name);
	fputs("</td><td class=\"num\" align=\"right\">", fp);
	put_size(fp, r->file_count);
	fputs("</td><td class=\"num\" align=\"right\">+", fp);
	put_size(fp, r->added_lines);
	fputs("</td><td class=\"num\" align=\"right\">-", fp);
	put_size(fp, r->deleted_lines);
	fputs("</td></tr>\n", fp);
}

static char *copy_text(const char *text)
{
	char *copy = strdup(text);
	if (!copy)
		err(1, "strdup");
	return copy;
}

// Keeps what libgit2 said about a commit the walk could not render.
static void add_failure(walk_report *report, const char *id_text, const char *what,
			const char *message)
{
	walk_failure *grown = static_cast<walk_failure *>(
		reallocarray(report->failures, report->failure_count + 1, sizeof *grown));
	if (!grown)
		err(1, "realloc");
	report->failures = grown;
	walk_failure *f = &grown[report->failure_count++];
	snprintf(f->id_text, sizeof f->id_text, "%s", id_text);
	f->what = what;
	f->message = copy_text(message);
}

// What a worker meets that would end a one-thread run is kept in the task,
// for the walk to end the run with once it takes the task.
static void keep_failure(commit_task *task, const char *what)
{
	task->failure.what = what;
	task->failure.error = errno;
}

// libgit2's reason for a commit that could not be rendered.
static void keep_message(commit_task *task, task_outcome outcome)
{
	task->message = strdup(git_message());
	if (!task->message)
		keep_failure(task, "strdup");
	task->outcome = outcome;
}

static void render_row(commit_task *task, const commit_record *r)
{
	FILE *fp = open_memstream(&task->row, &task->row_length);
	if (!fp) {
		keep_failure(task, "open_memstream");
		return;
	}
	log_row(fp, r);
	if (fclose(fp) != 0)
		keep_failure(task, "open_memstream");
}

// Commit pages are never rewritten, so one cut short would stay broken for
// good: each is made under a temporary name, and the walk puts it in place.
static void write_commit_page(commit_task *task, const commit_record *r)
{
	if (page_alloc(&task->page) != 0) {
		keep_failure(task, "malloc");
		return;
	}
	if (page_begin(&task->page, task->path, false, false) != 0) {
		task->page_errno = errno;
		return;
	}
	task->page_pending = true;
	FILE *fp = task->page.stream;
	write_page_header(fp, "../", r->summary ? r->summary : "");
	fputs("<pre>", fp);
	commit_diff_block(fp, "../", r);
	fputs("</pre>\n", fp);
	write_page_footer(fp);
	// The page's buffers stay with the slot for the commits after it.
	if (page_finish(&task->page) != 0)
		task->page_failed = true;
}

// Loads and diffs the commit, renders its row and, when it has no page
// yet, writes the page. Nothing here ends the run: what goes wrong is kept
// in the task, for the walk to act on in walk order.
void render_task(git_repository *repo, commit_task *task)
{
	if (!task->load)
		return;
	commit_record *r = commit_record_read(repo, &task->id, &task->failure);
	if (!r) {
		if (!task->failure.what)
			keep_message(task, TASK_UNREADABLE);
		return;
	}
	if (commit_record_diff(r, &task->failure) != 0) {
		if (!task->failure.what)
			keep_message(task, TASK_NO_DIFF);
		commit_record_free(r);
		return;
	}
	task->outcome = TASK_RENDERED;
	render_row(task, r);
	if (!task->exists && !task->failure.what)
		write_commit_page(task, r);
	commit_record_free(r);
}

// Empties the task for the next commit; its page buffers stay.
void task_release(commit_task *task)
{
	if (task->page_pending)
		page_discard(&task->page);
	free(task->message);
	free(task->row);
	task->message = task->row = nullptr;
	task->row_length = 0;
	task->page_pending = task->page_failed = task->done = false;
	task->page_errno = 0;
	task->failure = {};
	task->outcome = TASK_RENDERED;
}

static bool oid_less(const git_oid &a, const git_oid &b)
{
	return git_oid_cmp(&a, &b) < 0;
}

static bool contains(const std::vector<git_oid> &sorted, const git_oid &id)
{
	return std::binary_search(sorted.begin(), sorted.end(), id, oid_less);
}

static bool listed_has(const std::vector<git_oid> &listed, const git_oid &id)
{
	for (const git_oid &o : listed)
		if (git_oid_equal(&o, &id))
			return true;
	return false;
}

// Adds the parents of `id` to `out` unless returned or listed already.
static void add_parents(const git_oid &id, const std::vector<git_oid> &returned,
			std::vector<git_oid> *listed, std::vector<git_oid> *out)
{
	git_commit *commit;
	if (git_commit_lookup(&commit, repository, &id) != 0)
		return;
	for (unsigned i = 0; i < git_commit_parentcount(commit); i++) {
		const git_oid *parent = git_commit_parent_id(commit, i);
		if (!parent || contains(returned, *parent) || listed_has(*listed, *parent))
			continue;
		listed->push_back(*parent);
		out->push_back(*parent);
	}
	git_commit_free(commit);
}

// The first of `ids` that cannot be loaded, with libgit2's reason kept.
static const git_oid *first_unreadable(const std::vector<git_oid> &ids)
{
	for (const git_oid &id : ids) {
		git_commit *commit;
		if (git_commit_lookup(&commit, repository, &id) != 0)
			return &id;
		git_commit_free(commit);
	}
	return nullptr;
}

// libgit2's walk fails while it loads the parents of a commit it has not
// returned yet, and names no commit. The one named is the first that cannot
// be loaded among the commits still pending (the start, and the parents of
// the returned ones, each once, less those returned), then their parents:
// in a straight history, the unreadable commit itself.
static void name_unreadable(const git_oid *head, const std::vector<git_oid> &walked,
			    const char *walk_message, walk_report *report)
{
	std::vector<git_oid> returned = walked;
	std::sort(returned.begin(), returned.end(), oid_less);
	std::vector<git_oid> pending, listed, beyond;
	if (!contains(returned, *head)) {
		pending.push_back(*head);
		listed.push_back(*head);
	}
	for (const git_oid &id : walked)
		add_parents(id, returned, &listed, &pending);
	const git_oid *bad = first_unreadable(pending);
	if (!bad) {
		for (const git_oid &id : pending)
			add_parents(id, returned, &listed, &beyond);
		bad = first_unreadable(beyond);
	}
	char id_text[GIT_OID_SHA1_HEXSIZE + 1];
	if (bad) {
		git_oid_tostr(id_text, sizeof id_text, bad);
		add_failure(report, id_text, "read", git_message());
		return;
	}
	git_oid_tostr(id_text, sizeof id_text, pending.empty() ? head : &pending[0]);
	add_failure(report, id_text, "read", walk_message);
}

// A fatal error of a commit page ends the run once the workers have
// stopped, so that none of them makes a file after it.
static void install_page(walk_pool *pool, commit_task *task)
{
	char path[sizeof task->path], temp[sizeof task->page.temp];
	snprintf(path, sizeof path, "%s", task->path);
	snprintf(temp, sizeof temp, "%s", task->page.temp);
	int error = task->page_errno;
	if (error != 0) {
		walk_pool_stop(pool);
		errno = error;
		err(1, "fopen: '%s'", path);
	}
	if (task->page_failed) {
		walk_pool_stop(pool);
		errx(1, "write error: %s", path);
	}
	if (page_install(&task->page) != 0) {
		error = errno;
		walk_pool_stop(pool);
		errno = error;
		err(1, "rename: '%s' to '%s'", temp, path);
	}
	task->page_pending = false;
}

// A worker's fatal error, where a one-thread run would have met it.
[[noreturn]] static void end_with_failure(walk_pool *pool, const commit_task *task)
{
	fault failure = task->failure;
	walk_pool_stop(pool);
	errno = failure.error;
	err(1, "%s", failure.what);
}

// The walk's rules, applied to one task in walk order: the limit, the
// rows, the commits that could not be rendered, the page. 0 to go on, or
// WALK_BROKEN.
static int take_task(log_walk *walk, walk_pool *pool, commit_task *task)
{
	if (walk->rows_left == 0) {
		walk->remaining++;
		if (task->exists)
			return 0;
	}
	if (task->failure.what)
		end_with_failure(pool, task);
	if (task->outcome == TASK_UNREADABLE) {
		add_failure(&walk->report, task->id_text, "read", task->message);
		return WALK_BROKEN;
	}
	if (task->outcome == TASK_NO_DIFF) {
		add_failure(&walk->report, task->id_text, "diff", task->message);
		return 0;
	}
	if (walk->rows_left != 0)
		fwrite(task->row, 1, task->row_length, walk->log);
	if (walk->rows_left > 0)
		walk->rows_left--;
	if (walk->new_cache)
		fwrite(task->row, 1, task->row_length, walk->new_cache);
	if (!task->exists)
		install_page(pool, task);
	return 0;
}

// Where the walk takes its commits from: libgit2's walk, or a list made
// beforehand, which ends where the cached rows begin.
struct commit_source {
	git_revwalk *rw;                   // owned by walk_log
	const std::vector<git_oid> *list;  // else these, in this order
	size_t listed;                     // how many of them were taken
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

// The commit the walk yields next, with its page path and whether the page
// exists; false at the end of the walk (or at the cached commit, or on an
// error, which *error_message then names).
static bool next_commit(commit_source *source, const log_walk *walk, commit_task *next, bool *cached,
			char **error_message)
{
	int result = next_id(source, &next->id, cached);
	if (result != 0) {
		if (result != GIT_ITEROVER)
			*error_message = copy_text(git_message());
		return false;
	}
	if (walk->cached_id && git_oid_equal(&next->id, walk->cached_id)) {
		*cached = true;
		return false;
	}
	git_oid_tostr(next->id_text, sizeof next->id_text, &next->id);
	int n = snprintf(next->path, sizeof next->path, "commit/%s.html", next->id_text);
	if (n < 0 || static_cast<size_t>(n) >= sizeof next->path)
		errx(1, "path truncated: 'commit/%s.html'", next->id_text);
	next->exists = access(next->path, F_OK) == 0;
	return true;
}

// Past the limit, a commit whose page exists is not even loaded. Whether
// the limit is used up is known only once the tasks before it are taken.
static bool limit_unsure(const log_walk *walk, const commit_task *next, size_t in_flight)
{
	return next->exists && walk->rows_left > 0 &&
	       static_cast<int64_t>(in_flight) >= walk->rows_left;
}

static void submit(walk_pool *pool, size_t index, const commit_task *next, const log_walk *walk)
{
	commit_task *task = walk_pool_slot(pool, index);
	task->id = next->id;
	memcpy(task->id_text, next->id_text, sizeof task->id_text);
	memcpy(task->path, next->path, sizeof task->path);
	task->exists = next->exists;
	task->load = !(next->exists && walk->rows_left == 0);
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
	commit_task next = {};
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
		int end = take_task(walk, pool, walk_pool_wait(pool, taken++));
		if (end != 0)
			return end;
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

void walk_log(log_walk *walk, const git_oid *head)
{
	std::vector<git_oid> listed;
	commit_source source = {};
	if (walk->cached_id && list_new_commits(head, walk->cached_id, &listed))
		source.list = &listed;
	else if (git_revwalk_new(&source.rw, repository) == 0)
		git_revwalk_push(source.rw, head);
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
		name_unreadable(head, walked, error_message, &walk->report);
	free(error_message);
	git_revwalk_free(source.rw);
	if (walk->rows_left == 0 && walk->remaining > 0) {
		fputs("<tr><td></td><td colspan=\"5\">", walk->log);
		put_size(walk->log, walk->remaining);
		fputs(" more commits remaining, fetch the repository</td></tr>\n", walk->log);
	}
}
