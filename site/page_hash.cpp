// The hash a page record carries, taken of bytes given in pieces: as a
// page is written, or through a stream of its own.
#include "site.h"

#include <cstring>
#include <endian.h>

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
