// The threads that load, diff and write commits for the log's walk. libgit2
// may be used from several threads as long as no object is shared between
// them: each worker opens a repository handle of its own, and every object
// it loads stays with it. The walk hands out tasks in walk order through a
// window of slots and takes the results back in the same order.
#include "site.h"

#include <climits>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

struct walk_pool {
	std::mutex lock;
	std::condition_variable work;     // a task was submitted, or stop
	std::condition_variable finished; // a task is done
	std::vector<commit_task> slots;   // task i lives in slot i % window
	size_t submitted;                 // tasks handed out so far
	size_t taken;                     // tasks a worker has started
	size_t awaited;                   // the task the walk waits for, if any
	unsigned idle;                    // workers waiting for a task
	bool stop;
	std::vector<std::thread> threads;
	std::vector<git_repository *> repos; // one per thread, owned
};

// Signals go only where a thread waits: a wake-up per task would cost more
// than the work of a small commit.
static void worker(walk_pool *pool, git_repository *repo)
{
	for (;;) {
		commit_task *task;
		size_t index;
		{
			std::unique_lock<std::mutex> hold(pool->lock);
			pool->idle++;
			pool->work.wait(hold, [pool] { return pool->stop || pool->taken < pool->submitted; });
			pool->idle--;
			if (pool->stop)
				return;
			index = pool->taken++;
			task = &pool->slots[index % pool->slots.size()];
		}
		render_task(repo, task);
		std::lock_guard<std::mutex> hold(pool->lock);
		task->done = true;
		if (pool->awaited == index)
			pool->finished.notify_one();
	}
}

// With one job there is no thread: each task is rendered when submitted,
// on the run's own repository handle. A thread whose repository cannot be
// opened is not started; the others do its share.
walk_pool *walk_pool_start(size_t window)
{
	walk_pool *pool = new walk_pool();
	pool->slots.resize(window);
	pool->awaited = SIZE_MAX;
	for (unsigned i = 0; jobs > 1 && i < jobs; i++) {
		git_repository *repo;
		if (git_repository_open_ext(&repo, repodir, GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) != 0) {
			break;
		}
		pool->repos.push_back(repo);
	}
	for (git_repository *repo : pool->repos)
		pool->threads.emplace_back(worker, pool, repo);
	return pool;
}

size_t walk_pool_window(const walk_pool *pool)
{
	return pool->slots.size();
}

// The slot for the next task; the caller fills it, then submits it.
commit_task *walk_pool_slot(walk_pool *pool, size_t index)
{
	commit_task *task = &pool->slots[index % pool->slots.size()];
	task_release(task);
	return task;
}

void walk_pool_submit(walk_pool *pool)
{
	if (pool->threads.empty()) {
		commit_task *task = &pool->slots[pool->submitted++ % pool->slots.size()];
		render_task(repository, task);
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
	commit_task *task = &pool->slots[index % pool->slots.size()];
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
	for (std::thread &t : pool->threads)
		t.join();
	for (commit_task &task : pool->slots) {
		task_release(&task);
		page_output_free(&task.page);
	}
	for (git_repository *repo : pool->repos)
		git_repository_free(repo);
	delete pool;
}
