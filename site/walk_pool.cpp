// The threads that render the commits of the log's walk, each task by
// commit_task_render (commit_page.cpp). libgit2 may be used from several
// threads as long as no object is shared between them: each worker opens a
// repository handle of its own, and every object it loads stays with it.
// The walk hands out tasks in walk order through a window of slots and
// takes the results back in the same order.
#include "site.h"

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
	bool stop;
	pool_worker *workers;             // owned, worker_count running
	unsigned worker_count;
};

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
			pool->work.wait(hold, [pool] { return pool->stop || pool->taken < pool->submitted; });
			pool->idle--;
			if (pool->stop)
				return nullptr;
			index = pool->taken++;
			task = &pool->slots[index % pool->window];
		}
		commit_task_render(repo, task);
		std::lock_guard<std::mutex> hold(pool->lock);
		task->done = true;
		if (pool->awaited == index)
			pool->finished.notify_one();
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
		if (git_repository_open_ext(&w->repo, repodir, GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0)
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
