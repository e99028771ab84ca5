// Output helpers shared by both programs: escapers, fixed-buffer paths,
// stream checks, the three date formats and the start of a page. Fatal
// errors go through err/errx: program short name, message, exit status 1
// via exit().
#pragma once

#include <git2.h>
#include <cstddef>
#include <cstdio>

// Escapers stop at `length` bytes or at the first NUL, whichever comes first.
void html_escape(FILE *stream, const char *text, size_t length);
void html_escape_line(FILE *stream, const char *text, size_t length);
// html_escape keeping the apostrophe, as cmark writes text.
void html_escape_cmark(FILE *stream, const char *text, size_t length);
void uri_escape(FILE *stream, const char *text, size_t length);
// html_escape for XML documents: also drops the bytes XML forbids and
// replaces invalid UTF-8 with U+FFFD, so one bad byte cannot break a feed.
void xml_escape(FILE *stream, const char *text, size_t length);

size_t path_join(char *buffer, size_t size, const char *first, const char *second);
void stream_check(FILE *stream, const char *name, char mode);
// stream_check in mode 'w', then fclose: some file systems (NFS) report a
// failed write only when the file is closed, and that is a write error too.
void stream_close(FILE *stream, const char *name);
// The first line of `name` in `dir`, else of `fallback` there, into `line`
// with its newline (at most size - 1 bytes); empty when neither opens. A
// read error is fatal under `shown`, or the path opened when that is null.
void read_first_line(const char *dir, const char *name, const char *fallback, char *line,
		     int size, const char *shown);
// 0666 less the process umask, the mode fopen gives a new file; the umask
// is read without being changed.
unsigned file_creation_mode();

void print_time_iso(FILE *stream, const git_time &time);
void print_time_full(FILE *stream, const git_time &time);
void print_time_short(FILE *stream, const git_time &time);

// The start of every HTML page, up to the opening of its title.
void write_head_start(FILE *stream);
// The name a repository is shown under: `name`, the last component of its
// real path, without one final ".git"; a new string the caller frees.
char *repository_short_name(const char *name);

// Gives the stream `buffer` of `size` bytes and drops stdio's locking:
// each stream is written by one thread only, and pages are written in large
// blocks.
void use_buffer(FILE *stream, char *buffer, size_t size);

// html_escape of a whole NUL-terminated text.
inline void put_html(FILE *stream, const char *text)
{
	html_escape(stream, text, __builtin_strlen(text));
}

// Unformatted writers for the hot paths.
void put_size(FILE *stream, size_t value);
// The decimal digits of `value`, written backwards so they end just before
// `end` (20 bytes are enough); returns where they begin.
char *format_size(char *end, size_t value);
