// The run's progress on standard error when it is a terminal: the commits
// of the walk with their rate, then the file pages, on one line rewritten
// in place. Every message of the run clears that line before it is printed.
#include "site.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <git2/sys/errors.h>
#include <mutex>
#include <unistd.h>

// The line on the terminal, one for the whole process: a message from
// err() deep inside any writer, and the thread that ends the run on a
// signal, must clear it, and neither has the run's record at hand. The
// line is drawn and cleared under the lock.
static std::mutex line_lock;
static bool line_shown; // the progress line is on the terminal

// Back to the start of the line, then erase to its end.
static const char CLEAR[] = "\r\033[K";
// At most five lines a second: more would cost the terminal more than it
// tells the reader.
constexpr double REDRAW_SECONDS = 0.2;

// A short write to a terminal is retried; a failed one is given up, as
// stdio gives up a message that cannot be written.
static void write_terminal(const char *bytes, size_t size)
{
	while (size > 0) {
		ssize_t n = write(STDERR_FILENO, bytes, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;
		bytes += n;
		size -= static_cast<size_t>(n);
	}
}

// The stream that stands for standard error while progress is shown: err()
// and every fprintf(stderr) write through it, so that no message is glued
// to the end of a progress line. errno is kept for err()'s ": %m".
static ssize_t message_write(void *, const char *bytes, size_t size)
{
	int error = errno;
	{
		std::lock_guard<std::mutex> hold(line_lock);
		if (line_shown)
			write_terminal(CLEAR, strlen(CLEAR));
		line_shown = false;
		write_terminal(bytes, size);
	}
	errno = error;
	return static_cast<ssize_t>(size);
}

// Before any thread: stderr is replaced while no one writes to it. Without
// the stream (no memory), no progress: a message could not clear the line.
void progress_start(run_progress *p)
{
	*p = {};
	const char *setting = getenv("REPOPAGE_PROGRESS");
	if (!isatty(STDERR_FILENO) || (setting && strcmp(setting, "0") == 0))
		return;
	cookie_io_functions_t io = {};
	io.write = message_write;
	FILE *messages = fopencookie(nullptr, "w", io);
	if (!messages)
		return;
	// Unbuffered as stderr is, so each message is written when printed.
	if (setvbuf(messages, nullptr, _IONBF, 0) != 0) {
		fclose(messages);
		return;
	}
	stderr = messages;
	p->on = true;
}

static double seconds_since(const timespec &start, const timespec &now)
{
	return static_cast<double>(now.tv_sec - start.tv_sec) +
	       static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// A line being put together; what does not fit is cut.
struct progress_text {
	char bytes[160];
	size_t used;
};

__attribute__((format(printf, 2, 3))) static void add(progress_text *text, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	int n = vsnprintf(text->bytes + text->used, sizeof text->bytes - text->used, format, ap);
	va_end(ap);
	if (n > 0)
		text->used += static_cast<size_t>(n);
	if (text->used >= sizeof text->bytes)
		text->used = sizeof text->bytes - 1;
}

// "commits: 120/4000 (85.2/s), files: 30/200", redrawn over the last one.
// The rate is shown once the walk has run a second; it stays at the walk's
// own once the file pages begin. Kept short: a line wider than the
// terminal would wrap, and "\r" goes back to its last row only.
static void draw(run_progress *p, const timespec &now)
{
	progress_text text = {};
	add(&text, "\rcommits: %zu", p->commits);
	if (p->commit_total != PROGRESS_UNKNOWN)
		add(&text, "/%zu", p->commit_total);
	double seconds = seconds_since(p->walk_start, p->files_begun ? p->walk_end : now);
	if (p->commits_begun && seconds >= 1)
		add(&text, " (%.1f/s)", static_cast<double>(p->commits) / seconds);
	if (p->files_begun)
		add(&text, ", files: %zu/%zu", p->files, p->file_total);
	add(&text, "\033[K");
	std::lock_guard<std::mutex> hold(line_lock);
	write_terminal(text.bytes, text.used);
	line_shown = true;
	p->drawn = now;
}

static void draw_when_due(run_progress *p)
{
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	if (seconds_since(p->drawn, now) >= REDRAW_SECONDS)
		draw(p, now);
}

// libgit2's walk of the whole history, only counted: a first render walks
// it all. An error leaves the number unknown, and no message behind.
size_t progress_history_size(const run_progress *p, const git_oid *head)
{
	if (!p->on)
		return PROGRESS_UNKNOWN;
	git_revwalk *rw = nullptr;
	int result = git_revwalk_new(&rw, repository) == 0 ? git_revwalk_push(rw, head) : -1;
	size_t count = 0;
	git_oid id;
	while (result == 0 && (result = git_revwalk_next(&id, rw)) == 0)
		count++;
	git_revwalk_free(rw);
	if (result == GIT_ITEROVER)
		return count;
	git_error_clear();
	return PROGRESS_UNKNOWN;
}

void progress_commits_start(run_progress *p, size_t total)
{
	if (!p->on)
		return;
	p->commits_begun = true;
	p->commit_total = total;
	clock_gettime(CLOCK_MONOTONIC, &p->walk_start);
	draw(p, p->walk_start);
}

void progress_commit(run_progress *p)
{
	if (!p->on)
		return;
	p->commits++;
	draw_when_due(p);
}

void progress_files_start(run_progress *p, size_t total)
{
	if (!p->on)
		return;
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	p->walk_end = now;
	p->files_begun = true;
	p->file_total = total;
	draw(p, now);
}

void progress_file(run_progress *p)
{
	if (!p->on)
		return;
	p->files++;
	draw_when_due(p);
}

// The final state is drawn, then the line cleared: the terminal is left as
// a run without progress leaves it.
void progress_end(run_progress *p)
{
	if (!p->on)
		return;
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	if (p->commits_begun)
		draw(p, now);
	std::lock_guard<std::mutex> hold(line_lock);
	if (line_shown)
		write_terminal(CLEAR, strlen(CLEAR));
	line_shown = false;
}

// The lock is kept, as the temporary files' is: no line is drawn after.
void progress_line_close()
{
	line_lock.lock();
	if (line_shown)
		write_terminal(CLEAR, strlen(CLEAR));
	line_shown = false;
}
