// Paths in fixed buffers, stream checks and the three date formats.
#include "output.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <err.h>
#include <stdio_ext.h>
#include <sys/stat.h>

size_t path_join(char *buffer, size_t size, const char *first, const char *second)
{
	size_t len = strlen(first);
	const char *sep = (len > 0 && first[len - 1] != '/') ? "/" : "";
	int n = snprintf(buffer, size, "%s%s%s", first, sep, second);
	if (n < 0 || static_cast<size_t>(n) >= size)
		errx(1, "path truncated: '%s%s%s'", first, sep, second);
	return static_cast<size_t>(n);
}

void stream_check(FILE *stream, const char *name, char mode)
{
	if (mode == 'w') {
		if (fflush(stream) != 0 || ferror(stream))
			errx(1, "write error: %s", name);
	} else if (mode == 'r') {
		if (ferror(stream))
			errx(1, "read error: %s", name);
	}
}

void stream_close(FILE *stream, const char *name)
{
	stream_check(stream, name, 'w');
	if (fclose(stream) != 0)
		errx(1, "write error: %s", name);
}

void read_first_line(const char *dir, const char *name, const char *fallback, char *line,
		     int size, const char *shown)
{
	char path[1024];
	line[0] = '\0';
	path_join(path, sizeof path, dir, name);
	FILE *fp = fopen(path, "r");
	if (!fp) {
		path_join(path, sizeof path, dir, fallback);
		fp = fopen(path, "r");
	}
	if (!fp)
		return;
	if (!fgets(line, size, fp))
		line[0] = '\0';
	stream_check(fp, shown ? shown : path, 'r');
	fclose(fp);
}

unsigned file_creation_mode()
{
	mode_t mask = umask(0);
	umask(mask);
	return 0666 & ~mask;
}

void use_buffer(FILE *stream, char *buffer, size_t size)
{
	setvbuf(stream, buffer, _IOFBF, size);
	__fsetlocking(stream, FSETLOCKING_BYCALLER);
}

char *format_size(char *end, size_t value)
{
	char *p = end;
	do {
		*--p = static_cast<char>('0' + value % 10);
		value /= 10;
	} while (value);
	return p;
}

void put_size(FILE *stream, size_t value)
{
	char digits[24];
	char *end = digits + sizeof digits;
	char *p = format_size(end, value);
	fwrite(p, 1, static_cast<size_t>(end - p), stream);
}

namespace {

// Formats `seconds` as UTC into `buffer`; false when the year does not fit
// the broken-down time or the text does not fit the buffer (never written
// unterminated: strftime gives 0 and the caller writes nothing).
bool format_utc(char (&buffer)[32], int64_t seconds, const char *format)
{
	time_t t = static_cast<time_t>(seconds);
	struct tm tm;
	if (!gmtime_r(&t, &tm))
		return false;
	// "%Y" adds 1900 to tm_year in int arithmetic: a later year would
	// come out negative, so it does not fit either.
	if (tm.tm_year > INT_MAX - 1900)
		return false;
	return strftime(buffer, sizeof buffer, format, &tm) != 0;
}

void print_time_utc(FILE *stream, const git_time &time, const char *format)
{
	char buffer[32];
	if (format_utc(buffer, time.time, format))
		fputs(buffer, stream);
}

} // namespace

void print_time_iso(FILE *stream, const git_time &time)
{
	print_time_utc(stream, time, "%Y-%m-%dT%H:%M:%SZ");
}

void print_time_short(FILE *stream, const git_time &time)
{
	print_time_utc(stream, time, "%Y-%m-%d %H:%M");
}

// The signer's local clock time, then the offset as +hhmm or -hhmm.
void print_time_full(FILE *stream, const git_time &time)
{
	int64_t local;
	if (__builtin_add_overflow(time.time, static_cast<int64_t>(time.offset) * 60, &local))
		return;
	char buffer[32];
	if (!format_utc(buffer, local, "%a, %e %b %Y %H:%M:%S"))
		return;
	int64_t minutes = time.offset < 0 ? -static_cast<int64_t>(time.offset) : time.offset;
	fprintf(stream, time.offset < 0 ? "%s -%02d%02d" : "%s +%02d%02d", buffer,
		static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
}
