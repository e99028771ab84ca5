// Escapers for HTML text, link targets and XML feeds. Each finds the run of
// bytes that need no work and writes it with one fwrite, then handles the
// byte that stopped the run; nothing is copied or allocated.
#include "output.h"

#include <cstdint>

namespace {

enum : uint8_t { SAFE = 0, STOP = 1, ENTITY = 2, DROP = 3 };

// HTML text: the five markup characters become entities, NUL ends the text.
struct byte_table {
	uint8_t kind[256];
};

constexpr byte_table make_html_table(bool drop_line_ends)
{
	byte_table t{};
	t.kind[0] = STOP;
	t.kind['"'] = ENTITY;
	t.kind['&'] = ENTITY;
	t.kind['\''] = ENTITY;
	t.kind['<'] = ENTITY;
	t.kind['>'] = ENTITY;
	if (drop_line_ends) {
		t.kind['\n'] = DROP;
		t.kind['\r'] = DROP;
	}
	return t;
}

constexpr byte_table HTML_TABLE = make_html_table(false);
constexpr byte_table HTML_LINE_TABLE = make_html_table(true);

// What cmark's HTML writer escapes in text: the apostrophe stays as it is,
// so that text we write inside a Markdown page is the text cmark writes.
constexpr byte_table make_cmark_table()
{
	byte_table t = make_html_table(false);
	t.kind['\''] = SAFE;
	return t;
}

constexpr byte_table CMARK_TABLE = make_cmark_table();

// Link targets keep 74 bytes: , - . / digits A-Z \ ^ _ ` a-z { | } ~.
// Everything else, markup, blanks, '%', '#', '?' and all of 0x80-0xFF
// included, is percent-encoded so the path survives inside href="...".
constexpr byte_table make_uri_table()
{
	byte_table t{};
	for (int c = 0; c < 256; c++) {
		bool keep = (c >= 0x2C && c <= 0x39) || (c >= 0x41 && c <= 0x5A) ||
			    c == 0x5C || (c >= 0x5E && c <= 0x7E);
		t.kind[c] = keep ? SAFE : ENTITY;
	}
	t.kind[0] = STOP;
	return t;
}

constexpr byte_table URI_TABLE = make_uri_table();

// XML 1.0 forbids C0 controls other than tab, line feed and carriage return.
// Bytes from 0x80 need a UTF-8 check; DROP marks the forbidden controls.
constexpr byte_table make_xml_table()
{
	byte_table t = make_html_table(false);
	for (int c = 1; c < 0x20; c++)
		if (c != '\t' && c != '\n' && c != '\r')
			t.kind[c] = DROP;
	for (int c = 0x80; c < 256; c++)
		t.kind[c] = DROP;
	return t;
}

constexpr byte_table XML_TABLE = make_xml_table();

void write_entity(FILE *stream, unsigned char c)
{
	switch (c) {
	case '"': fputs("&quot;", stream); break;
	case '&': fputs("&amp;", stream); break;
	case '\'': fputs("&#39;", stream); break;
	case '<': fputs("&lt;", stream); break;
	case '>': fputs("&gt;", stream); break;
	}
}

// Length of the run of SAFE bytes starting at `from`.
inline size_t safe_run(const unsigned char *s, size_t from, size_t length, const byte_table &t)
{
	size_t i = from;
	while (i < length && t.kind[s[i]] == SAFE)
		i++;
	return i - from;
}

void escape_markup(FILE *stream, const char *text, size_t length, const byte_table &t)
{
	const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
	size_t i = 0;
	while (i < length) {
		size_t run = safe_run(s, i, length, t);
		if (run)
			fwrite(s + i, 1, run, stream);
		i += run;
		if (i == length || t.kind[s[i]] == STOP)
			return;
		if (t.kind[s[i]] == ENTITY)
			write_entity(stream, s[i]);
		i++;
	}
}

// Length of the well-formed UTF-8 sequence at s[0] (2 to 4), or 0 with
// `*bad` set to the length of its maximal ill-formed subpart (at least 1).
size_t utf8_sequence(const unsigned char *s, size_t avail, size_t *bad)
{
	unsigned char c = s[0];
	size_t need;
	unsigned char lo = 0x80, hi = 0xBF;
	if (c >= 0xC2 && c <= 0xDF)
		need = 2;
	else if (c >= 0xE0 && c <= 0xEF) {
		need = 3;
		if (c == 0xE0) lo = 0xA0;
		if (c == 0xED) hi = 0x9F;
	} else if (c >= 0xF0 && c <= 0xF4) {
		need = 4;
		if (c == 0xF0) lo = 0x90;
		if (c == 0xF4) hi = 0x8F;
	} else {
		*bad = 1;
		return 0;
	}
	for (size_t k = 1; k < need; k++) {
		// A NUL or the end of the text cuts the sequence short too.
		if (k >= avail || s[k] < lo || s[k] > hi) {
			*bad = k;
			return 0;
		}
		lo = 0x80;
		hi = 0xBF;
	}
	return need;
}

// U+FFFE and U+FFFF are not XML characters either.
inline bool is_xml_nonchar(const unsigned char *s, size_t n)
{
	return n == 3 && s[0] == 0xEF && s[1] == 0xBF && (s[2] == 0xBE || s[2] == 0xBF);
}

} // namespace

void html_escape(FILE *stream, const char *text, size_t length)
{
	escape_markup(stream, text, length, HTML_TABLE);
}

void html_escape_line(FILE *stream, const char *text, size_t length)
{
	escape_markup(stream, text, length, HTML_LINE_TABLE);
}

void html_escape_cmark(FILE *stream, const char *text, size_t length)
{
	escape_markup(stream, text, length, CMARK_TABLE);
}

void uri_escape(FILE *stream, const char *text, size_t length)
{
	static const char HEX[] = "0123456789ABCDEF";
	const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
	size_t i = 0;
	while (i < length) {
		size_t run = safe_run(s, i, length, URI_TABLE);
		if (run)
			fwrite(s + i, 1, run, stream);
		i += run;
		if (i == length || s[i] == 0)
			return;
		putc('%', stream);
		putc(HEX[s[i] >> 4], stream);
		putc(HEX[s[i] & 15], stream);
		i++;
	}
}

void xml_escape(FILE *stream, const char *text, size_t length)
{
	const unsigned char *s = reinterpret_cast<const unsigned char *>(text);
	size_t i = 0;
	while (i < length) {
		size_t run = safe_run(s, i, length, XML_TABLE);
		if (run)
			fwrite(s + i, 1, run, stream);
		i += run;
		if (i == length || s[i] == 0)
			return;
		if (XML_TABLE.kind[s[i]] == ENTITY) {
			write_entity(stream, s[i++]);
		} else if (s[i] < 0x80) {
			i++; // a forbidden control character
		} else {
			size_t bad = 0;
			size_t n = utf8_sequence(s + i, length - i, &bad);
			if (n == 0) {
				fputs("\xEF\xBF\xBD", stream);
				i += bad;
			} else {
				if (!is_xml_nonchar(s + i, n))
					fwrite(s + i, 1, n, stream);
				i += n;
			}
		}
	}
}
