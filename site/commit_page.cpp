// A commit's page and log row, made on a thread that renders commits: the
// commit is loaded and diffed, its row rendered, and its page written under
// a temporary name for the walk to put in place. Nothing here ends the run:
// what goes wrong is kept in the task's result, for the walk to act on in
// walk order.
#include "site.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

// What would end a one-thread run is kept, for the walk to end the run with
// once it takes the task.
static void keep_failure(commit_result *result, const char *what)
{
	result->failure.what = what;
	result->failure.error = errno;
}

// libgit2's reason for a commit that could not be rendered.
static void keep_message(commit_result *result, task_outcome outcome)
{
	result->message = strdup(git_message());
	if (!result->message)
		keep_failure(result, "strdup");
	result->outcome = outcome;
}

static void render_row(commit_result *result, const commit_record *r)
{
	FILE *fp = open_memstream(&result->row, &result->row_length);
	if (!fp) {
		keep_failure(result, "open_memstream");
		return;
	}
	log_row(fp, r);
	if (fclose(fp) != 0)
		keep_failure(result, "open_memstream");
}

// Commit pages are never rewritten, so one cut short would stay broken for
// good: each is made under a temporary name, and the walk puts it in place.
static bool open_pending(commit_result *result, pending_page *page, const char *path)
{
	if (page_alloc(&page->output) != 0) {
		keep_failure(result, "malloc");
		return false;
	}
	if (page_open(&page->output, path, PAGE_NEW) != 0) {
		page->open_errno = errno;
		return false;
	}
	page->pending = true;
	return true;
}

static void write_commit_page(commit_result *result, const char *path, const commit_record *r)
{
	if (!open_pending(result, &result->page, path))
		return;
	FILE *fp = result->page.output.stream;
	write_page_header(fp, "../", r->summary ? r->summary : "");
	fputs("<pre>", fp);
	commit_diff_block(fp, "../", r);
	fputs("</pre>\n", fp);
	write_page_footer(fp);
	if (page_finish(&result->page.output) != 0)
		result->page.failed = true;
}

// The patch comes before its page, and the walk puts it in place first: a
// run cut short between the two leaves no page, so the next run writes
// both again. A patch libgit2 cannot make keeps the page from being
// written, as a diff that cannot be made does. False: no page.
static bool write_patch(commit_result *result, const commit_record *r)
{
	if (!patch_wanted(r))
		return true;
	char path[sizeof "commit/.patch" + GIT_OID_SHA1_HEXSIZE];
	snprintf(path, sizeof path, "commit/%s.patch", r->id_text);
	if (!open_pending(result, &result->patch, path))
		return false;
	if (patch_write(result->patch.output.stream, r) != 0) {
		keep_message(result, TASK_NO_DIFF);
		return false;
	}
	if (page_finish(&result->patch.output) != 0)
		result->patch.failed = true;
	return !result->patch.failed;
}

void commit_task_render(git_repository *repo, commit_task *task)
{
	const commit_request *request = &task->request;
	commit_result *result = &task->result;
	if (!request->load)
		return;
	commit_record *r = commit_record_read(repo, &request->id, &result->failure);
	if (!r) {
		if (!result->failure.what)
			keep_message(result, TASK_UNREADABLE);
		return;
	}
	if (commit_record_diff(r, &result->failure) != 0) {
		if (!result->failure.what)
			keep_message(result, TASK_NO_DIFF);
		commit_record_free(r);
		return;
	}
	result->outcome = TASK_RENDERED;
	render_row(result, r);
	if (!request->exists && !result->failure.what && write_patch(result, r))
		write_commit_page(result, request->path, r);
	commit_record_free(r);
}

static bool page_ready(const pending_page *page)
{
	return page->open_errno == 0 && !page->failed;
}

bool commit_task_ready(const commit_task *task)
{
	const commit_result *result = &task->result;
	return !result->failure.what && result->outcome != TASK_UNREADABLE &&
	       page_ready(&result->page) && page_ready(&result->patch);
}

static int install_pending(pending_page *page)
{
	if (page->pending && page_install(&page->output) != 0) {
		page->rename_errno = errno;
		return -1;
	}
	page->pending = false;
	return 0;
}

// A commit without a diff keeps the patch it began: it is discarded.
int commit_task_install(commit_task *task)
{
	commit_result *result = &task->result;
	if (task->request.exists || result->outcome != TASK_RENDERED)
		return 0;
	if (install_pending(&result->patch) != 0)
		return -1;
	return install_pending(&result->page);
}

static void clear_pending(pending_page *page)
{
	if (page->pending)
		page_discard(&page->output);
	page->pending = page->failed = false;
	page->open_errno = page->rename_errno = 0;
}

void commit_task_clear(commit_task *task)
{
	commit_result *result = &task->result;
	clear_pending(&result->page);
	clear_pending(&result->patch);
	free(result->message);
	free(result->row);
	result->message = result->row = nullptr;
	result->row_length = 0;
	result->failure = {};
	result->outcome = TASK_RENDERED;
	task->done = false;
}

void commit_task_free(commit_task *task)
{
	commit_task_clear(task);
	page_output_free(&task->result.page.output);
	page_output_free(&task->result.patch.output);
}
