// The numbered lines of a file page, plain or with the highlighter's spans
// as <span class="...">; both write the same text, so that a page without
// its tags is the plain page. The code blocks of a Markdown page are
// coloured by the same spans.
#include "site.h"

#include <cstring>

// "<a href=\"#l%zu\" class=\"line\" id=\"l%zu\">%7zu</a> " for line n, with
// the number formatted once.
static void line_anchor(FILE *fp, size_t n)
{
	char digits[24];
	char *end = digits + sizeof digits;
	char *p = format_size(end, n);
	size_t len = static_cast<size_t>(end - p);
	fputs("<a href=\"#l", fp);
	fwrite(p, 1, len, fp);
	fputs("\" class=\"line\" id=\"l", fp);
	fwrite(p, 1, len, fp);
	fputs("\">", fp);
	for (; len < 7; len++)
		putc(' ', fp);
	fwrite(p, 1, static_cast<size_t>(end - p), fp);
	fputs("</a> ", fp);
}

size_t plain_lines(FILE *fp, const char *content, size_t size)
{
	size_t n = 0, start = 0;
	fputs("<pre id=\"blob\">\n", fp);
	while (start < size) {
		const char *eol = static_cast<const char *>(memchr(content + start, '\n', size - start));
		size_t end = eol ? static_cast<size_t>(eol - content) + 1 : size;
		line_anchor(fp, ++n);
		html_escape_line(fp, content + start, end - start);
		if (eol)
			putc('\n', fp);
		start = end;
	}
	fputs("</pre>\n", fp);
	return n;
}

// The class attribute of each highlight_class, in its order.
static const char *const CLASS_NAMES[] = {
	"", "k", "t", "f", "s", "n", "c", "cn", "o", "p", "v", "pr", "a", "tg",
};
constexpr size_t CLASS_COUNT = sizeof CLASS_NAMES / sizeof CLASS_NAMES[0];

// What the lines are written for: a file page, numbered, each line's end
// dropped as html_escape_line drops it; or a Markdown code block, its text
// escaped as cmark escapes it.
enum span_text_mode { SPANS_NUMBERED_LINES, SPANS_CMARK_CODE };

// Where the spans stand while the lines are written: the first span that
// may still reach the text ahead. Spans that go back (unsorted or
// overlapping) are cut to what is ahead, or skipped.
struct span_cursor {
	const highlight_span *spans;
	size_t count;
	size_t next;
	span_text_mode mode;
};

// Whether `span` colours any byte at or after `pos`.
static bool span_usable(const highlight_span &span, size_t pos)
{
	return span.kind != HL_NONE && span.kind < CLASS_COUNT && span.end > span.start &&
	       span.end > pos;
}

// The visible text of the line [start, end): html_escape_line drops the
// line ends and stops at a NUL, so spans never wrap only those.
static size_t line_text_end(const char *content, size_t start, size_t end)
{
	const char *nul = static_cast<const char *>(memchr(content + start, '\0', end - start));
	if (nul)
		return static_cast<size_t>(nul - content);
	while (end > start && (content[end - 1] == '\n' || content[end - 1] == '\r'))
		end--;
	return end;
}

static void escape_piece(FILE *fp, const char *text, size_t length, span_text_mode mode)
{
	if (mode == SPANS_CMARK_CODE)
		html_escape_cmark(fp, text, length);
	else
		html_escape_line(fp, text, length);
}

// The text [pos, end) of one line, each coloured piece in its own span.
static void line_text(FILE *fp, const char *content, size_t pos, size_t end, span_cursor *cursor)
{
	while (pos < end) {
		while (cursor->next < cursor->count && !span_usable(cursor->spans[cursor->next], pos))
			cursor->next++;
		const highlight_span *span = cursor->next < cursor->count ? &cursor->spans[cursor->next] : nullptr;
		if (!span || span->start >= end) {
			escape_piece(fp, content + pos, end - pos, cursor->mode);
			return;
		}
		if (span->start > pos) {
			escape_piece(fp, content + pos, span->start - pos, cursor->mode);
			pos = span->start;
		}
		size_t stop = span->end < end ? span->end : end;
		fputs("<span class=\"", fp);
		fputs(CLASS_NAMES[span->kind], fp);
		fputs("\">", fp);
		escape_piece(fp, content + pos, stop - pos, cursor->mode);
		fputs("</span>", fp);
		pos = stop;
	}
}

// Every line of `content` with its spans; returns the number of lines.
static size_t span_lines(FILE *fp, const char *content, size_t size, span_cursor *cursor)
{
	size_t n = 0, start = 0;
	while (start < size) {
		const char *eol = static_cast<const char *>(memchr(content + start, '\n', size - start));
		size_t end = eol ? static_cast<size_t>(eol - content) + 1 : size;
		n++;
		if (cursor->mode == SPANS_NUMBERED_LINES) {
			line_anchor(fp, n);
			line_text(fp, content, start, line_text_end(content, start, end), cursor);
		} else {
			line_text(fp, content, start, eol ? end - 1 : end, cursor);
		}
		if (eol)
			putc('\n', fp);
		start = end;
	}
	return n;
}

size_t highlighted_lines(FILE *fp, const char *content, size_t size, const highlight_span *spans,
			 size_t count)
{
	span_cursor cursor = {spans, spans ? count : 0, 0, SPANS_NUMBERED_LINES};
	fputs("<pre id=\"blob\">\n", fp);
	size_t n = span_lines(fp, content, size, &cursor);
	fputs("</pre>\n", fp);
	return n;
}

void highlighted_code(FILE *fp, const char *content, size_t size, const highlight_span *spans,
		      size_t count)
{
	span_cursor cursor = {spans, spans ? count : 0, 0, SPANS_CMARK_CODE};
	span_lines(fp, content, size, &cursor);
}
