// The threads that colour file pages ahead of their writing: the parse is
// most of a coloured page's cost, and the pages are written one after
// another on the run's own thread. A worker only reads the bytes it is
// given and fills in the spans; everything a page does to the files in
// place stays with the run's thread, in the order of a run without them.
#include "site.h"

#include <condition_variable>
#include <cstdlib>
#include <err.h>
#include <mutex>
#include <new>
#include <pthread.h>

struct colour_pool;

// A file's bytes to colour, and, once done, the spans.
struct colour_job {
	source_language language;
	const char *content; // the submitter's, read only
	size_t size;
	highlight_span *spans; // owned until taken back
	size_t count;
	bool coloured; // else the page is written plain
	bool done;     // guarded by the pool's lock
};

struct colour_worker {
	colour_pool *pool;
	pthread_t thread;
};

struct colour_pool {
	std::mutex lock;
	std::condition_variable work;     // a job was submitted, or stop
	std::condition_variable finished; // a job is done
	colour_job *slots;                // owned: job i lives in slot i % window
	size_t window;
	size_t submitted;
	size_t taken;
	bool stop;
	colour_worker *workers; // owned, worker_count running
	unsigned worker_count;
};

static void colour(highlighter *colouring, colour_job *job)
{
	job->coloured = highlight_spans(colouring, job->language, job->content, job->size, HIGHLIGHT_FILE,
					&job->spans, &job->count) == 0;
}

static void *worker(void *arg)
{
	colour_pool *pool = static_cast<colour_worker *>(arg)->pool;
	highlighter colouring = {};
	for (;;) {
		colour_job *job;
		{
			std::unique_lock<std::mutex> hold(pool->lock);
			pool->work.wait(hold, [pool] { return pool->stop || pool->taken < pool->submitted; });
			if (pool->stop)
				break;
			job = &pool->slots[pool->taken++ % pool->window];
		}
		colour(&colouring, job);
		std::lock_guard<std::mutex> hold(pool->lock);
		job->done = true;
		pool->finished.notify_all();
	}
	highlighter_free(&colouring);
	return nullptr;
}

// Null with one job, or when no thread can be made: the pages are then
// coloured as they are written.
colour_pool *colour_pool_start(size_t window)
{
	if (jobs < 2)
		return nullptr;
	colour_pool *pool = new (std::nothrow) colour_pool();
	if (!pool)
		err(1, "malloc");
	pool->slots = static_cast<colour_job *>(calloc(window, sizeof *pool->slots));
	pool->workers = static_cast<colour_worker *>(calloc(jobs, sizeof *pool->workers));
	if (!pool->slots || !pool->workers)
		err(1, "calloc");
	pool->window = window;
	for (unsigned i = 0; i < jobs; i++) {
		colour_worker *w = &pool->workers[pool->worker_count];
		w->pool = pool;
		if (pthread_create(&w->thread, nullptr, worker, w) != 0)
			break;
		pool->worker_count++;
	}
	if (pool->worker_count == 0) {
		colour_pool_stop(pool);
		return nullptr;
	}
	return pool;
}

size_t colour_pool_window(const colour_pool *pool)
{
	return pool->window;
}

// The bytes stay the caller's, unchanged, until the job is taken back.
size_t colour_pool_submit(colour_pool *pool, source_language language, const char *content, size_t size)
{
	std::lock_guard<std::mutex> hold(pool->lock);
	size_t index = pool->submitted++;
	colour_job *job = &pool->slots[index % pool->window];
	*job = {};
	job->language = language;
	job->content = content;
	job->size = size;
	pool->work.notify_one();
	return index;
}

// The spans become the caller's, to free; false when the page is to be
// written plain.
bool colour_pool_wait(colour_pool *pool, size_t index, highlight_span **spans, size_t *count)
{
	colour_job *job = &pool->slots[index % pool->window];
	std::unique_lock<std::mutex> hold(pool->lock);
	pool->finished.wait(hold, [job] { return job->done; });
	*spans = job->spans;
	*count = job->count;
	job->spans = nullptr;
	return job->coloured;
}

// A job under way is finished, the others dropped; the bytes of every job
// submitted may be released once this returns.
void colour_pool_stop(colour_pool *pool)
{
	{
		std::lock_guard<std::mutex> hold(pool->lock);
		pool->stop = true;
		pool->work.notify_all();
	}
	for (unsigned i = 0; i < pool->worker_count; i++)
		pthread_join(pool->workers[i].thread, nullptr);
	for (size_t i = 0; i < pool->window; i++)
		free(pool->slots[i].spans);
	free(pool->workers);
	free(pool->slots);
	delete pool;
}
