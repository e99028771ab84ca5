// The four escapers against plain byte-at-a-time references written from
// their rules, on the input with its whole length and with a shorter one.
// The input buffer is not NUL-terminated: reading past the length is caught
// by AddressSanitizer. Besides matching, no output may hold a raw markup
// character, and the feed text must be valid UTF-8 made of XML characters.
#include "output.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

typedef void escaper(FILE *, const char *, size_t);

static std::string run(escaper *escape, const uint8_t *data, size_t length)
{
	char *buffer = nullptr;
	size_t size = 0;
	FILE *fp = open_memstream(&buffer, &size);
	if (!fp)
		abort();
	escape(fp, reinterpret_cast<const char *>(data), length);
	fclose(fp);
	std::string out(buffer, size);
	free(buffer);
	return out;
}

static const char *entity(uint8_t c)
{
	switch (c) {
	case '"': return "&quot;";
	case '&': return "&amp;";
	case '\'': return "&#39;";
	case '<': return "&lt;";
	case '>': return "&gt;";
	}
	return nullptr;
}

static std::string reference_html(const uint8_t *s, size_t length, bool drop_line_ends)
{
	std::string out;
	for (size_t i = 0; i < length && s[i] != 0; i++) {
		if (drop_line_ends && (s[i] == '\n' || s[i] == '\r'))
			continue;
		const char *e = entity(s[i]);
		if (e)
			out += e;
		else
			out += static_cast<char>(s[i]);
	}
	return out;
}

// The 74 bytes a link keeps: , - . / 0-9 A-Z \ ^ _ ` a-z { | } ~
static bool uri_keeps(uint8_t c)
{
	return (c >= ',' && c <= '9') || (c >= 'A' && c <= 'Z') || c == '\\' ||
	       c == '^' || c == '_' || c == '`' || (c >= 'a' && c <= '~');
}

static std::string reference_uri(const uint8_t *s, size_t length)
{
	std::string out;
	for (size_t i = 0; i < length && s[i] != 0; i++) {
		if (uri_keeps(s[i])) {
			out += static_cast<char>(s[i]);
		} else {
			char triplet[4];
			snprintf(triplet, sizeof triplet, "%%%02X", s[i]);
			out += triplet;
		}
	}
	return out;
}

// UTF-8 after the Unicode standard's table of well-formed byte sequences;
// an ill-formed sequence is replaced by one U+FFFD per maximal subpart.
// XML drops the C0 controls but tab, line feed and carriage return, and
// the noncharacters U+FFFE and U+FFFF.
static std::string reference_xml(const uint8_t *s, size_t length)
{
	std::string out;
	size_t i = 0;
	while (i < length && s[i] != 0) {
		uint8_t c = s[i];
		if (c < 0x80) {
			const char *e = entity(c);
			if (e)
				out += e;
			else if (c >= 0x20 || c == '\t' || c == '\n' || c == '\r')
				out += static_cast<char>(c);
			i++;
			continue;
		}
		size_t need = 0;
		uint8_t lo = 0x80, hi = 0xBF;
		if (c >= 0xC2 && c <= 0xDF) {
			need = 2;
		} else if (c == 0xE0) {
			need = 3, lo = 0xA0;
		} else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
			need = 3;
		} else if (c == 0xED) {
			need = 3, hi = 0x9F;
		} else if (c == 0xF0) {
			need = 4, lo = 0x90;
		} else if (c >= 0xF1 && c <= 0xF3) {
			need = 4;
		} else if (c == 0xF4) {
			need = 4, hi = 0x8F;
		}
		size_t k = 1;
		if (need) {
			for (; k < need; k++) {
				if (i + k >= length || s[i + k] < lo || s[i + k] > hi)
					break;
				lo = 0x80, hi = 0xBF;
			}
		}
		if (!need || k < need) {
			out += "\xEF\xBF\xBD";
			i += k;
			continue;
		}
		bool nonchar = need == 3 && c == 0xEF && s[i + 1] == 0xBF && (s[i + 2] == 0xBE || s[i + 2] == 0xBF);
		if (!nonchar)
			out.append(reinterpret_cast<const char *>(s + i), need);
		i += need;
	}
	return out;
}

// No raw markup character; every "&" begins one of the five entities.
static void check_markup(const std::string &out)
{
	for (size_t i = 0; i < out.size(); i++) {
		char c = out[i];
		if (c == '<' || c == '>' || c == '"' || c == '\'')
			abort();
		if (c == '&') {
			static const char *const NAMES[] = {"&quot;", "&amp;", "&#39;", "&lt;", "&gt;"};
			bool known = false;
			for (const char *name : NAMES)
				known = known || out.compare(i, strlen(name), name) == 0;
			if (!known)
				abort();
		}
	}
}

static bool upper_hex(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Kept bytes and "%" with two upper-case hexadecimal digits, nothing else.
static void check_uri(const std::string &out)
{
	for (size_t i = 0; i < out.size(); i++) {
		uint8_t c = static_cast<uint8_t>(out[i]);
		if (c == '%') {
			if (i + 2 >= out.size() || !upper_hex(out[i + 1]) || !upper_hex(out[i + 2]))
				abort();
			i += 2;
		} else if (!uri_keeps(c)) {
			abort();
		}
	}
}

// Well-formed UTF-8 of XML characters only.
static void check_xml(const std::string &out)
{
	const uint8_t *s = reinterpret_cast<const uint8_t *>(out.data());
	size_t n = out.size();
	for (size_t i = 0; i < n;) {
		uint32_t cp;
		size_t len;
		if (s[i] < 0x80)
			cp = s[i], len = 1;
		else if ((s[i] & 0xE0) == 0xC0)
			cp = s[i] & 0x1F, len = 2;
		else if ((s[i] & 0xF0) == 0xE0)
			cp = s[i] & 0x0F, len = 3;
		else if ((s[i] & 0xF8) == 0xF0)
			cp = s[i] & 0x07, len = 4;
		else
			abort();
		if (i + len > n)
			abort();
		for (size_t k = 1; k < len; k++) {
			if ((s[i + k] & 0xC0) != 0x80)
				abort();
			cp = (cp << 6) | (s[i + k] & 0x3F);
		}
		static const uint32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
		bool xml_char = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
				(cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
		if ((len > 1 && cp < SHORTEST[len]) || !xml_char)
			abort();
		i += len;
	}
}

static void check_all(const uint8_t *data, size_t length)
{
	std::string html = run(html_escape, data, length);
	if (html != reference_html(data, length, false))
		abort();
	check_markup(html);

	std::string line = run(html_escape_line, data, length);
	if (line != reference_html(data, length, true))
		abort();
	check_markup(line);
	if (line.find_first_of("\r\n") != std::string::npos)
		abort();

	std::string uri = run(uri_escape, data, length);
	if (uri != reference_uri(data, length))
		abort();
	check_uri(uri);

	std::string xml = run(xml_escape, data, length);
	if (xml != reference_xml(data, length))
		abort();
	check_markup(xml);
	check_xml(xml);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	check_all(data, size);
	if (size > 1)
		check_all(data + 1, data[0] % size);
	return 0;
}
