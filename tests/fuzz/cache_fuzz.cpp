// The first line of a previous cache, read from the input as a file: 0 and
// the id exactly when its first 40 bytes are hexadecimal digits, -1 for an
// empty file, -2 for anything else.
#include "site.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// cache.cpp writes its rows through the log walk, and its file through
// the run's list of temporary files; never reached here.
void walk_log(log_walk *, const git_oid *)
{
	abort();
}

int temp_file_make(char *)
{
	abort();
}

int temp_file_rename(const char *, const char *)
{
	abort();
}

void temp_file_remove(const char *)
{
	abort();
}

static int hex_value(uint8_t c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	void *copy = malloc(size ? size : 1);
	memcpy(copy, data, size);
	FILE *fp = size ? fmemopen(copy, size, "r") : fopen("/dev/null", "r");
	if (!fp)
		abort();
	git_oid id;
	memset(&id, 0xAA, sizeof id);
	int result = read_cache_head(fp, &id);
	fclose(fp);
	free(copy);

	int expected = size == 0 ? -1 : -2;
	unsigned char raw[GIT_OID_SHA1_SIZE];
	if (size >= 40) {
		bool hex = true;
		for (size_t i = 0; i < 40 && hex; i++) {
			int digit = hex_value(data[i]);
			hex = digit >= 0;
			if (hex && i % 2 == 0)
				raw[i / 2] = static_cast<unsigned char>(digit << 4);
			else if (hex)
				raw[i / 2] |= static_cast<unsigned char>(digit);
		}
		if (hex)
			expected = 0;
	}
	if (result != expected)
		abort();
	if (result == 0 && memcmp(id.id, raw, sizeof raw) != 0)
		abort();
	return 0;
}
