// Pages are replaced whole, and only when their bytes change: each is
// written under a temporary name beside it while it is compared with the
// page in place, and renamed over it only when they differ. A reader never
// sees a partial page, and an unchanged page keeps its inode and mtime.
#include "site.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

// The temporary files of the run, so that a fatal error can remove the
// open pages' (the page in place then stays as it was), and a signal that
// ends the run those and the cache's. One list for the whole process, to
// which every thread that writes pages adds, is the simplest that does
// both: err() ends the run from deep inside whichever writer meets the
// error, where the other open pages (the driver's, the workers') are out
// of its reach, and the thread that waits for signals owns no page at all.
// Each file is made and renamed under the lock, so that a sweep holding it
// finds every one that exists.
static std::mutex temp_files_lock;
static page_output *open_pages;
static const char *other_temp; // the cache's, from mkstemp to rename

// The run is ending: the sweep keeps the lock, so that no thread makes or
// renames a file after it.
static void remove_temp_files(bool all)
{
	temp_files_lock.lock();
	for (page_output *p = open_pages; p; p = p->next_open)
		unlink(p->temp);
	if (all && other_temp)
		unlink(other_temp);
}

static void remove_open_pages()
{
	remove_temp_files(false);
}

void remove_all_temp_files()
{
	remove_temp_files(true);
}

static void unlist_page(page_output *p)
{
	for (page_output **link = &open_pages; *link; link = &(*link)->next_open) {
		if (*link == p) {
			*link = p->next_open;
			break;
		}
	}
}

static void unregister_page(page_output *p)
{
	std::lock_guard<std::mutex> hold(temp_files_lock);
	unlist_page(p);
}

static int write_all(int fd, const char *data, size_t size)
{
	while (size > 0) {
		ssize_t n = write(fd, data, size);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return -1;
		data += n;
		size -= static_cast<size_t>(n);
	}
	return 0;
}

// Whether the page in place holds `data` at the current offset.
static bool matches_old(page_output *p, const char *data, size_t size)
{
	size_t done = 0;
	while (done < size) {
		size_t want = size - done < PAGE_BUFFER ? size - done : PAGE_BUFFER;
		ssize_t n = pread(p->old_fd, p->compare, want, p->written + static_cast<off_t>(done));
		if (n <= 0 || memcmp(p->compare, data + done, static_cast<size_t>(n)) != 0)
			return false;
		done += static_cast<size_t>(n);
	}
	return true;
}

// The six letters and digits that end a temporary name, drawn from the
// process id, the record's address and the names it drew before
// (splitmix64): records, threads and runs seldom meet, and a name that is
// taken is drawn again, as mkstemp does.
static void draw_name(page_output *p, char *x)
{
	static const char NAME_BYTES[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
	if (p->temp_draws == 0)
		p->temp_draws = static_cast<uint64_t>(getpid()) << 32;
	uint64_t v = reinterpret_cast<uintptr_t>(p) ^ (++p->temp_draws * 0x9e3779b97f4a7c15u);
	v = (v ^ (v >> 30)) * 0xbf58476d1ce4e5b9u;
	v = (v ^ (v >> 27)) * 0x94d049bb133111ebu;
	v ^= v >> 31;
	for (int i = 0; i < 6; i++, v /= 62)
		x[i] = NAME_BYTES[v % 62];
}

// mkstemp's file under p->temp, which ends in six X's, but made with the
// mode fopen gives a new page (0666 less the umask) rather than 0600, which
// took one more system call a page to change.
static int open_temp(page_output *p)
{
	char *x = p->temp + strlen(p->temp) - 6;
	for (int tries = 0; tries < 100; tries++) {
		draw_name(p, x);
		int fd = open(p->temp, O_RDWR | O_CREAT | O_EXCL, 0666);
		if (fd >= 0 || errno != EEXIST)
			return fd;
	}
	return -1;
}

// The page's own name plus ".XXXXXX"; a final component too long for that
// gets a short temporary name in the same directory.
static int make_temp(page_output *p)
{
	int n = snprintf(p->temp, sizeof p->temp, "%s.XXXXXX", p->path);
	int fd = (n > 0 && static_cast<size_t>(n) < sizeof p->temp) ? open_temp(p) : -1;
	const char *slash = strrchr(p->path, '/');
	const char *name = slash ? slash + 1 : p->path;
	if (fd < 0 && errno == ENAMETOOLONG && strlen(name) <= NAME_MAX) {
		snprintf(p->temp, sizeof p->temp, "%.*s.page.XXXXXX", static_cast<int>(name - p->path),
			 p->path);
		fd = open_temp(p);
	}
	return fd;
}

static int make_listed_temp(page_output *p)
{
	static std::once_flag handler;
	std::call_once(handler, [] { atexit(remove_open_pages); });
	std::lock_guard<std::mutex> hold(temp_files_lock);
	int fd = make_temp(p);
	if (fd >= 0) {
		p->next_open = open_pages;
		open_pages = p;
	}
	return fd;
}

static int start_temp(page_output *p)
{
	p->temp_fd = make_listed_temp(p);
	if (p->temp_fd < 0)
		return -1;
	p->temp_made = true;
	return 0;
}

// The new page departs from the one in place: the part that matched is
// copied into the temporary file (made now if it is not yet), and from here
// on every byte goes there.
static int diverge(page_output *p)
{
	if (p->temp_fd < 0 && start_temp(p) != 0) {
		p->open_errno = errno;
		close(p->old_fd);
		p->old_fd = -1;
		return -1;
	}
	off_t copied = 0;
	int result = 0;
	while (copied < p->written && result == 0) {
		off_t left = p->written - copied;
		size_t want = left < static_cast<off_t>(PAGE_BUFFER) ? static_cast<size_t>(left) : PAGE_BUFFER;
		ssize_t n = pread(p->old_fd, p->compare, want, copied);
		if (n <= 0 || write_all(p->temp_fd, p->compare, static_cast<size_t>(n)) != 0)
			result = -1;
		copied += n > 0 ? n : 0;
	}
	close(p->old_fd);
	p->old_fd = -1;
	return result;
}

static ssize_t page_write(void *cookie, const char *data, size_t size)
{
	page_output *p = static_cast<page_output *>(cookie);
	if (p->hashing)
		page_hash_add(&p->hash, data, size);
	if (p->old_fd >= 0 && matches_old(p, data, size)) {
		p->written += static_cast<off_t>(size);
		return static_cast<ssize_t>(size);
	}
	if (p->old_fd >= 0 && diverge(p) != 0)
		return -1;
	if (write_all(p->temp_fd, data, size) != 0)
		return -1;
	p->written += static_cast<off_t>(size);
	return static_cast<ssize_t>(size);
}

// Puts a complete temporary file in its place under the lock, so that a
// signal's sweep never runs between the rename and the unlisting.
static int rename_listed(page_output *p)
{
	std::lock_guard<std::mutex> hold(temp_files_lock);
	if (rename(p->temp, p->path) != 0)
		return -1;
	unlist_page(p);
	return 0;
}

// A <page>.gz beside a page, which a server may send as it is, follows the
// page: it is made anew from the page's bytes (gzip format, no name, no
// time, as `gzip -n -9`) under a temporary name of its own, which a fatal
// error removes like a page's, with the page's mtime, by which the hook
// knows a current .gz. Like a page, one that is a symbolic link is replaced,
// never written through; one that is no regular file is left alone.
static bool gz_beside(const char *gz_path)
{
	struct stat st;
	return lstat(gz_path, &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode));
}

// Deflates what is in `z` into `fd`, through `out`.
static int gz_deflate(z_stream *z, int flush, char *out, int fd)
{
	do {
		z->next_out = reinterpret_cast<Bytef *>(out);
		z->avail_out = PAGE_BUFFER;
		if (deflate(z, flush) == Z_STREAM_ERROR)
			return -1;
		if (write_all(fd, out, PAGE_BUFFER - z->avail_out) != 0)
			return -1;
	} while (z->avail_out == 0);
	return 0;
}

// The new page, read back from its temporary file, compressed into `fd`.
static int gz_compress(page_output *p, int fd)
{
	z_stream z = {};
	if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
		return -1;
	int result = 0;
	off_t done = 0;
	int flush = Z_NO_FLUSH;
	while (result == 0 && flush != Z_FINISH) {
		off_t left = p->written - done;
		size_t want = left < static_cast<off_t>(PAGE_BUFFER) ? static_cast<size_t>(left) : PAGE_BUFFER;
		ssize_t n = pread(p->temp_fd, p->compare, want, done);
		if (n < 0 || (n == 0 && want > 0)) {
			result = -1;
			break;
		}
		done += n;
		flush = done == p->written ? Z_FINISH : Z_NO_FLUSH;
		z.next_in = reinterpret_cast<Bytef *>(p->compare);
		z.avail_in = static_cast<uInt>(n);
		result = gz_deflate(&z, flush, p->buffer, fd);
	}
	deflateEnd(&z);
	return result;
}

// The new .gz, complete under its temporary name, with the page's times.
static int gz_write(page_output *p, page_output *gz)
{
	struct stat st;
	if (start_temp(gz) != 0)
		return -1;
	if (gz_compress(p, gz->temp_fd) != 0 || fstat(p->temp_fd, &st) != 0)
		return -1;
	struct timespec times[2] = {st.st_atim, st.st_mtim};
	if (futimens(gz->temp_fd, times) != 0)
		return -1;
	int fd = gz->temp_fd;
	gz->temp_fd = -1;
	return close(fd);
}

// Closes and removes the .gz's temporary file, if it has one.
static void gz_drop_temp(page_output *gz)
{
	if (gz->temp_fd >= 0)
		close(gz->temp_fd);
	gz->temp_fd = -1;
	if (gz->temp_made) {
		unlink(gz->temp);
		unregister_page(gz);
	}
	gz->temp_made = false;
}

static void gz_release(page_output *p)
{
	if (!p->gz)
		return;
	gz_drop_temp(p->gz);
	free(p->gz);
	p->gz = nullptr;
}

// For a changed page complete in its temporary file: the new .gz, when
// one is beside the page. -1 when it cannot be made: p->gz then names it,
// with its open_errno set.
static int gz_prepare(page_output *p)
{
	char gz_path[sizeof p->path];
	int n = snprintf(gz_path, sizeof gz_path, "%s.gz", p->path);
	if (n < 0 || static_cast<size_t>(n) >= sizeof gz_path || !gz_beside(gz_path))
		return 0;
	page_output *gz = static_cast<page_output *>(calloc(1, sizeof *gz));
	if (!gz)
		return -1;
	memcpy(gz->path, gz_path, sizeof gz->path);
	gz->temp_fd = gz->old_fd = -1;
	p->gz = gz;
	if (gz_write(p, gz) == 0)
		return 0;
	gz->open_errno = errno != 0 ? errno : EIO;
	gz_drop_temp(gz);
	return -1;
}

// After its page: a .gz that cannot take its place goes, so that none is
// served stale.
static void gz_install(page_output *p)
{
	page_output *gz = p->gz;
	if (gz && gz->temp_made && rename_listed(gz) == 0) {
		gz->temp_made = false;
	} else if (gz && gz->temp_made) {
		unlink(gz->path);
	}
	gz_release(p);
}

// The page in place, when it is a regular file. Anything else is replaced
// like a changed page, and never opened: not a symbolic link, which would
// be written through, nor a FIFO, a socket or a device, whose opening can
// wait for a writer or act on a device. O_NOFOLLOW and O_NONBLOCK cover a
// link or a FIFO put there after lstat; lstat alone tells the type, as a
// second look with fstat costs a system call per page for that race.
int page_in_place_open(const char *path)
{
	struct stat st;
	if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
		return -1;
	return open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

int page_alloc(page_output *p)
{
	if (!p->compare)
		p->compare = static_cast<char *>(malloc(PAGE_BUFFER));
	if (!p->buffer)
		p->buffer = static_cast<char *>(malloc(PAGE_BUFFER));
	return p->compare && p->buffer ? 0 : -1;
}

int page_open(page_output *p, const char *path, page_mode mode)
{
	snprintf(p->path, sizeof p->path, "%s", path);
	p->stream = nullptr;
	p->temp_fd = -1;
	p->temp_made = false;
	p->open_errno = 0;
	p->written = 0;
	p->changed = true;
	p->hashing = false;
	p->hash = {};
	p->old_fd = mode == PAGE_NEW ? -1 : page_in_place_open(path);
	if (!(mode == PAGE_COMPARE_LAZY && p->old_fd >= 0) && start_temp(p) != 0) {
		int error = errno;
		if (p->old_fd >= 0)
			close(p->old_fd);
		p->old_fd = -1;
		errno = error;
		return -1;
	}
	cookie_io_functions_t io = {nullptr, page_write, nullptr, nullptr};
	p->stream = fopencookie(p, "w", io);
	if (!p->stream) {
		int error = errno;
		page_discard(p);
		errno = error;
		return -1;
	}
	use_buffer(p->stream, p->buffer, PAGE_BUFFER);
	return 0;
}

void page_open_or_die(page_output *p, const char *path, page_mode mode)
{
	if (page_alloc(p) != 0)
		err(1, "malloc");
	if (page_open(p, path, mode) != 0)
		err(1, "fopen: '%s'", path);
}

// True when the page in place holds exactly what was written.
static bool unchanged(page_output *p)
{
	struct stat st;
	return p->old_fd >= 0 && fstat(p->old_fd, &st) == 0 && st.st_size == p->written;
}

int page_finish(page_output *p)
{
	int result = fflush(p->stream) != 0 || ferror(p->stream) ? -1 : 0;
	if (fclose(p->stream) != 0)
		result = -1;
	p->stream = nullptr;
	p->changed = !unchanged(p);
	if (p->changed && p->old_fd >= 0 && diverge(p) != 0)
		result = -1;
	if (p->old_fd >= 0)
		close(p->old_fd);
	p->old_fd = -1;
	if (result == 0 && p->changed && p->temp_fd >= 0 && gz_prepare(p) != 0)
		result = -1;
	// Some file systems (NFS) report a failed write only at close.
	if (p->temp_fd >= 0 && close(p->temp_fd) != 0 && p->changed)
		result = -1;
	p->temp_fd = -1;
	return result;
}

int page_install(page_output *p)
{
	if (p->changed && rename_listed(p) != 0) {
		int error = errno;
		gz_release(p);
		errno = error;
		return -1;
	}
	if (!p->changed) {
		if (p->temp_made)
			unlink(p->temp);
		unregister_page(p);
	}
	gz_install(p);
	return 0;
}

int temp_file_make(char *path)
{
	std::lock_guard<std::mutex> hold(temp_files_lock);
	int fd = mkstemp(path);
	if (fd >= 0)
		other_temp = path;
	return fd;
}

int temp_file_rename(const char *path, const char *target)
{
	std::lock_guard<std::mutex> hold(temp_files_lock);
	if (rename(path, target) != 0)
		return -1;
	other_temp = nullptr;
	return 0;
}

void temp_file_remove(const char *path)
{
	std::lock_guard<std::mutex> hold(temp_files_lock);
	unlink(path);
	other_temp = nullptr;
}

void page_discard(page_output *p)
{
	if (p->stream)
		fclose(p->stream);
	p->stream = nullptr;
	if (p->old_fd >= 0)
		close(p->old_fd);
	if (p->temp_fd >= 0)
		close(p->temp_fd);
	p->old_fd = p->temp_fd = -1;
	if (p->temp_made)
		unlink(p->temp);
	unregister_page(p);
	gz_release(p);
}

bool page_close_or_die(page_output *p)
{
	if (page_finish(p) != 0) {
		// A page made only once it differs fails to open here.
		if (p->open_errno != 0) {
			errno = p->open_errno;
			err(1, "fopen: '%s'", p->path);
		}
		errx(1, "write error: %s", p->gz && p->gz->open_errno ? p->gz->path : p->path);
	}
	if (page_install(p) != 0)
		err(1, "rename: '%s' to '%s'", p->temp, p->path);
	return p->changed;
}

void page_output_free(page_output *p)
{
	gz_release(p);
	free(p->compare);
	free(p->buffer);
	p->compare = p->buffer = nullptr;
}
