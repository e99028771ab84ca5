// The record that ends a page a later run may keep without making it again:
// one line after the page's own bytes, with what they were made from and a
// hash of them, checked against the page in place.
#include "site.h"

#include <cstring>
#include <err.h>
#include <endian.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A hash of 64-bit words, little-endian whatever the host, the last one
// padded with zeros, then the length. It guards against accidents (a page
// edited by hand, cut short, left by another build), not against anyone who
// means to forge a page: whoever can write the pages needs no forgery.
constexpr uint64_t HASH_START = 0xcbf29ce484222325;
constexpr uint64_t HASH_FACTOR = 0x9e3779b97f4a7c15;

static uint64_t hash_mix(uint64_t state, uint64_t word)
{
	state = (state ^ word) * HASH_FACTOR;
	return state ^ (state >> 32);
}

static void hash_byte(page_hash *hash, unsigned char byte)
{
	hash->word |= static_cast<uint64_t>(byte) << (8 * (hash->length % 8));
	if (++hash->length % 8 == 0) {
		hash->state = hash_mix(hash->state, hash->word);
		hash->word = 0;
	}
}

void page_hash_add(page_hash *hash, const char *data, size_t size)
{
	if (hash->length == 0)
		hash->state = HASH_START;
	size_t i = 0;
	while (i < size && hash->length % 8 != 0)
		hash_byte(hash, static_cast<unsigned char>(data[i++]));
	for (; size - i >= 8; i += 8) {
		uint64_t word;
		memcpy(&word, data + i, 8);
		hash->state = hash_mix(hash->state, le64toh(word));
		hash->length += 8;
	}
	while (i < size)
		hash_byte(hash, static_cast<unsigned char>(data[i++]));
}

uint64_t page_hash_value(const page_hash *hash)
{
	uint64_t state = hash->length == 0 ? HASH_START : hash->state;
	if (hash->length % 8 != 0)
		state = hash_mix(state, hash->word);
	return hash_mix(state, hash->length);
}

static ssize_t hash_write(void *cookie, const char *data, size_t size)
{
	page_hash_add(static_cast<page_hash *>(cookie), data, size);
	return static_cast<ssize_t>(size);
}

FILE *hash_stream_open(page_hash *hash)
{
	cookie_io_functions_t io = {nullptr, hash_write, nullptr, nullptr};
	return fopencookie(hash, "w", io);
}

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
