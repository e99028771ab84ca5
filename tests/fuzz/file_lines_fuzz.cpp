// A file name, spans and content from the input through detect_language and
// highlighted_lines, then through the parser of the language detected (the
// name picks it: fuzzing reaches every grammar): every line keeps its anchor, every span opened on a
// line is closed on it, and without its tags the page is the plain one.
// Spans come as (shift from the last end, length, class): mostly in order,
// now and then overlapping, going back, past the end or of no known class.
// The content is the input's tail: reading past it is caught by
// AddressSanitizer.
#include "site.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static std::string capture(const char *content, size_t size, const highlight_span *spans,
			   size_t count, bool plain, size_t *lines)
{
	char *buffer = nullptr;
	size_t length = 0;
	FILE *fp = open_memstream(&buffer, &length);
	if (!fp)
		abort();
	*lines = plain ? plain_lines(fp, content, size) : highlighted_lines(fp, content, size, spans, count);
	fclose(fp);
	std::string out(buffer, length);
	free(buffer);
	return out;
}

// The spans' tags taken out; aborts on a line that ends with a span open,
// closes one that is not open, or opens one inside another.
static const std::string OPEN = "<span class=\"", CLOSE = "</span>";

static std::string check_spans(const std::string &html)
{
	std::string text;
	bool open = false;
	for (size_t i = 0; i < html.size();) {
		if (html.compare(i, OPEN.size(), OPEN) == 0) {
			size_t end = html.find("\">", i + OPEN.size());
			if (open || end == std::string::npos || end - i - OPEN.size() > 2)
				abort();
			open = true;
			i = end + 2;
		} else if (html.compare(i, CLOSE.size(), CLOSE) == 0) {
			if (!open)
				abort();
			open = false;
			i += CLOSE.size();
		} else {
			if (html[i] == '\n' && open)
				abort();
			text += html[i++];
		}
	}
	if (open)
		abort();
	return text;
}

static size_t count_of(const std::string &text, const char *what)
{
	size_t n = 0;
	for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
		n++;
	return n;
}

static size_t line_count(const uint8_t *content, size_t size)
{
	size_t n = 0;
	for (size_t i = 0; i < size; i++)
		n += content[i] == '\n';
	return n + (size && content[size - 1] != '\n');
}

// One for the process, as a thread of repopage keeps one for its pages:
// each input is highlighted after the last, whatever became of its parse.
static highlighter fuzz_highlighter;

// The parser's spans for the same bytes, when the name or first line gives
// a language: sorted, disjoint, within the content, and through
// highlighted_lines the plain text again.
static void highlight_check(const char *name, const char *content, size_t size,
			    const std::string &plain)
{
	source_language language = detect_language(name, content, size);
	highlight_span *spans = nullptr;
	size_t count = 0;
	if (language == LANG_NONE || highlight_spans(&fuzz_highlighter, language, content, size, HIGHLIGHT_FILE, &spans, &count) != 0)
		return;
	uint32_t end = 0;
	for (size_t i = 0; i < count; i++) {
		if (spans[i].start < end || spans[i].end <= spans[i].start || spans[i].end > size ||
		    spans[i].kind == HL_NONE || spans[i].kind > HL_TAG)
			abort();
		end = spans[i].end;
	}
	size_t lines = 0;
	std::string html = capture(content, size, spans, count, false, &lines);
	free(spans);
	if (check_spans(html) != plain)
		abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 2)
		return 0;
	size_t name_length = data[0] % 32, span_count = data[1];
	size_t at = 2;
	if (size - at < name_length)
		return 0;
	std::string name(reinterpret_cast<const char *>(data + at), name_length);
	at += name_length;
	std::vector<highlight_span> spans;
	int64_t last = 0;
	for (size_t i = 0; i < span_count && size - at >= 3; i++, at += 3) {
		int64_t start = last + static_cast<int8_t>(data[at]);
		if (start < 0)
			start = 0;
		last = start + data[at + 1];
		spans.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(last),
				 static_cast<highlight_class>(data[at + 2] % 16)});
	}
	const char *content = reinterpret_cast<const char *>(data + at);
	size_t content_size = size - at;

	if (detect_language(name.c_str(), content, content_size) > LANG_MARKDOWN)
		abort();
	size_t lines = 0, plain_count = 0;
	std::string html = capture(content, content_size, spans.data(), spans.size(), false, &lines);
	std::string plain = capture(content, content_size, nullptr, 0, true, &plain_count);
	if (lines != plain_count || lines != line_count(data + at, content_size))
		abort();
	if (count_of(html, "id=\"l") != lines)
		abort();
	if (check_spans(html) != plain)
		abort();
	highlight_check(name.c_str(), content, content_size, plain);
	return 0;
}
