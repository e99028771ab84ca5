// The record that ends a page a later run may keep without making it again:
// one line after the page's own bytes, with what they were made from and a
// hash of them, checked against the page in place.
#include "site.h"

#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The hash of the page's first `size` bytes, read through the page's
// compare buffer: false when they cannot all be read.
static bool hash_in_place(page_output *page, int fd, off_t size, uint64_t *value)
{
	page_hash hash = {};
	off_t done = 0;
	while (done < size) {
		off_t left = size - done;
		size_t want = left < static_cast<off_t>(PAGE_BUFFER) ? static_cast<size_t>(left) : PAGE_BUFFER;
		ssize_t n = pread(fd, page->compare, want, done);
		if (n <= 0)
			return false;
		page_hash_add(&hash, page->compare, static_cast<size_t>(n));
		done += n;
	}
	*value = page_hash_value(&hash);
	return true;
}

// The record is `start`, 16 hexadecimal digits of the hash, then END.
static const char RECORD_END[] = " -->\n";
constexpr size_t HASH_DIGITS = 16;

static bool record_matches(page_output *page, int fd, const char *start)
{
	struct stat st;
	size_t start_length = strlen(start);
	size_t length = start_length + HASH_DIGITS + strlen(RECORD_END);
	if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(length))
		return false;
	off_t body = st.st_size - static_cast<off_t>(length);
	char record[PAGE_RECORD_START + HASH_DIGITS + sizeof RECORD_END];
	uint64_t hash = 0;
	char digits[HASH_DIGITS + 1];
	return pread(fd, record, length, body) == static_cast<ssize_t>(length) &&
	       memcmp(record, start, start_length) == 0 &&
	       memcmp(record + start_length + HASH_DIGITS, RECORD_END, strlen(RECORD_END)) == 0 &&
	       hash_in_place(page, fd, body, &hash) &&
	       snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash)) > 0 &&
	       memcmp(record + start_length, digits, HASH_DIGITS) == 0;
}

bool page_record_current(page_output *page, const char *path, const char *start)
{
	if (page_alloc(page) != 0)
		err(1, "malloc");
	int fd = page_in_place_open(path);
	if (fd < 0)
		return false;
	bool current = record_matches(page, fd, start);
	close(fd);
	return current;
}

void page_record_write(page_output *page, const char *start)
{
	fflush(page->stream);
	uint64_t hash = page_hash_value(&page->hash);
	fprintf(page->stream, "%s%016llx%s", start, static_cast<unsigned long long>(hash), RECORD_END);
}
