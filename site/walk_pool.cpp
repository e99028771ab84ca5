// The threads that render the commits of the log's walk, each task by
// commit_task_render (commit_page.cpp). libgit2 may be used from several
// threads as long as no object is shared between them: each worker opens a
// repository handle of its own, and every object it loads stays with it.
// The walk hands out tasks in walk order through a window of slots and
// takes the results back in the same order.
#include "site.h"

#include "git_setup.h"

#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <err.h>
#include <mutex>
#include <new>
#include <pthread.h>

struct walk_pool;

// A thread and the repository handle it owns.
struct pool_worker {
	walk_pool *pool;
	git_repository *repo;
	pthread_t thread;
};

struct walk_pool {
	std::mutex lock;
	std::condition_variable work;     // a task was submitted, or stop
	std::condition_variable finished; // a task is done
	commit_task *slots;               // owned: task i lives in slot i % window
	size_t window;
	size_t submitted;                 // tasks handed out so far
	size_t taken;                     // tasks a worker has started
	size_t awaited;                   // the task the walk waits for, if any
	unsigned idle;                    // workers waiting for a task
	size_t install_next;              // tasks before it are in place, or held nothing to put
	bool installing;                  // a worker, or the walk, holds task install_next
	bool install_failed;              // a rename failed: no worker puts more in place
	bool walk_waits;                  // the walk waits for installing to end
	bool stop;
	pool_worker *workers;             // owned, worker_count running
	unsigned worker_count;
};

// Whether the task at install_next may go in place now: done, ready, and
// no one holds it.
static bool install_due(const walk_pool *pool)
{
	if (pool->installing || pool->install_failed || pool->install_next >= pool->submitted)
		return false;
	const commit_task *task = &pool->slots[pool->install_next % pool->window];
	return task->done && commit_task_ready(task);
}

// The pages of the done tasks from install_next on, put in place in walk
// order by the worker that holds `hold`, up to the first task that is not
// done or not ready: the renames leave the walk's thread, and a run that
// ends on a task's fatal error has still put in place exactly the pages of
// the tasks before it. One worker at a time, so that a rename that fails
// stops the ones after it.
static void install_ready(walk_pool *pool, std::unique_lock<std::mutex> &hold)
{
	while (!pool->stop && install_due(pool)) {
		size_t index = pool->install_next;
		pool->installing = true;
		hold.unlock();
		bool failed = commit_task_install(&pool->slots[index % pool->window]) != 0;
		hold.lock();
		pool->installing = false;
		pool->install_next = index + 1;
		pool->install_failed = failed;
		if (pool->walk_waits)
			pool->finished.notify_one();
	}
}

// Signals go only where a thread waits: a wake-up per task would cost more
// than the work of a small commit.
static void *worker(void *arg)
{
	walk_pool *pool = static_cast<pool_worker *>(arg)->pool;
	git_repository *repo = static_cast<pool_worker *>(arg)->repo;
	for (;;) {
		commit_task *task;
		size_t index;
		{
			std::unique_lock<std::mutex> hold(pool->lock);
			pool->idle++;
			pool->work.wait(hold, [pool] {
				return pool->stop || pool->taken < pool->submitted || install_due(pool);
			});
			pool->idle--;
			if (pool->stop)
				return nullptr;
			// The walk may be waiting for it.
			if (install_due(pool)) {
				install_ready(pool, hold);
				continue;
			}
			index = pool->taken++;
			task = &pool->slots[index % pool->window];
		}
		commit_task_render(repo, task);
		std::unique_lock<std::mutex> hold(pool->lock);
		task->done = true;
		if (pool->awaited == index)
			pool->finished.notify_one();
		install_ready(pool, hold);
	}
}

// A thread whose repository cannot be opened, or that cannot be created
// (a limit on processes or on memory), is not there; the others do its
// share, down to the walk's own thread alone.
static void start_workers(walk_pool *pool)
{
	for (unsigned i = 0; jobs > 1 && i < jobs; i++) {
		pool_worker *w = &pool->workers[pool->worker_count];
		w->pool = pool;
		if (repository_open(&w->repo, repodir) != 0)
			return;
		if (pthread_create(&w->thread, nullptr, worker, w) != 0) {
			git_repository_free(w->repo);
			return;
		}
		pool->worker_count++;
	}
}

// With one job, or no thread at all, each task is rendered when submitted,
// on the run's own repository handle.
walk_pool *walk_pool_start(size_t window)
{
	walk_pool *pool = new (std::nothrow) walk_pool();
	if (!pool)
		err(1, "malloc");
	pool->slots = static_cast<commit_task *>(calloc(window, sizeof *pool->slots));
	pool->workers = static_cast<pool_worker *>(calloc(jobs, sizeof *pool->workers));
	if (!pool->slots || !pool->workers)
		err(1, "calloc");
	pool->window = window;
	pool->awaited = SIZE_MAX;
	start_workers(pool);
	return pool;
}

size_t walk_pool_window(const walk_pool *pool)
{
	return pool->window;
}

// The slot for the next task; the caller fills it, then submits it.
commit_task *walk_pool_slot(walk_pool *pool, size_t index)
{
	commit_task *task = &pool->slots[index % pool->window];
	commit_task_clear(task);
	return task;
}

void walk_pool_submit(walk_pool *pool)
{
	if (pool->worker_count == 0) {
		commit_task *task = &pool->slots[pool->submitted++ % pool->window];
		commit_task_render(repository, task);
		task->done = true;
		return;
	}
	std::lock_guard<std::mutex> hold(pool->lock);
	pool->submitted++;
	if (pool->idle > 0)
		pool->work.notify_one();
}

commit_task *walk_pool_wait(walk_pool *pool, size_t index)
{
	commit_task *task = &pool->slots[index % pool->window];
	std::unique_lock<std::mutex> hold(pool->lock);
	pool->awaited = index;
	pool->finished.wait(hold, [task] { return task->done; });
	pool->awaited = SIZE_MAX;
	return task;
}

// A ready task is left to the workers, an idle one woken for it; the walk
// holds only a task that ends the run or the walk, or, with no workers,
// every task.
void walk_pool_claim(walk_pool *pool, size_t index)
{
	if (pool->worker_count == 0)
		return;
	std::unique_lock<std::mutex> hold(pool->lock);
	if (pool->install_next == index && install_due(pool) && pool->idle > 0)
		pool->work.notify_one();
	pool->walk_waits = true;
	pool->finished.wait(hold, [pool, index] {
		return pool->install_next > index || (!pool->installing && !install_due(pool));
	});
	pool->walk_waits = false;
	if (pool->install_next == index)
		pool->installing = true;
}

void walk_pool_release(walk_pool *pool, size_t index)
{
	if (pool->worker_count == 0)
		return;
	std::lock_guard<std::mutex> hold(pool->lock);
	if (pool->install_next == index) {
		pool->install_next = index + 1;
		pool->installing = false;
	}
}

// Stops the workers once their current tasks are done and releases the
// pool; the tasks' pages not taken by the walk are discarded.
void walk_pool_stop(walk_pool *pool)
{
	{
		std::lock_guard<std::mutex> hold(pool->lock);
		pool->stop = true;
		pool->work.notify_all();
	}
	for (unsigned i = 0; i < pool->worker_count; i++) {
		pthread_join(pool->workers[i].thread, nullptr);
		git_repository_free(pool->workers[i].repo);
	}
	for (size_t i = 0; i < pool->window; i++)
		commit_task_free(&pool->slots[i]);
	free(pool->workers);
	free(pool->slots);
	delete pool;
}
