// Unit tests for the shared output helpers: escapers, path joining, stream
// checks, the shown name, put_size and the three date formats. Output goes
// to memory streams; fatal paths run in death tests and check the whole
// line.
#include "output.h"
#include "capture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

using namespace std::string_literals;

namespace {

using escaper = void (*)(FILE *, const char *, size_t);

std::string run(escaper fn, const char *text, size_t length)
{
	return capture([&](FILE *s) { fn(s, text, length); });
}

std::string run(escaper fn, const std::string &text)
{
	return run(fn, text.data(), text.size());
}

// The whole line a fatal error leaves on stderr.
std::string fatal_line(const std::string &message)
{
	return std::string(program_invocation_short_name) + ": " + message + "\n";
}

std::string hex(const std::string &s)
{
	std::string out;
	for (unsigned char c : s)
		out += "0123456789ABCDEF"[c >> 4], out += "0123456789ABCDEF"[c & 15], out += ' ';
	return out;
}

const std::string FFFD = "\xEF\xBF\xBD";

struct escape_case {
	escaper fn;
	const char *name;
	std::string text;
	std::string expected;
};

} // namespace

TEST(escapers, examples_and_limits)
{
	const escape_case cases[] = {
		{html_escape, "html", "a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&#39;"},
		{html_escape, "html", "x\r\ny\t\x01\x7F\xC3\xA9\xFF", "x\r\ny\t\x01\x7F\xC3\xA9\xFF"},
		{html_escape_line, "line", "x\r\n", "x"},
		{html_escape_line, "line", "\n", ""},
		{html_escape_line, "line", "a\rb\nc<\r", "abc&lt;"},
		{uri_escape, "uri", "file/src/main.c.html", "file/src/main.c.html"},
		{uri_escape, "uri", "a b+\xC3\xA9", "a%20b%2B%C3%A9"},
		{uri_escape, "uri", "/.-_~,\\", "/.-_~,\\"},
		{uri_escape, "uri", "%#?:@[]\xFF", "%25%23%3F%3A%40%5B%5D%FF"},
		{xml_escape, "xml", "a<b>&\"c'", "a&lt;b&gt;&amp;&quot;c&#39;"},
	};
	for (const escape_case &c : cases)
		EXPECT_EQ(run(c.fn, c.text), c.expected) << c.name << " on " << hex(c.text);

	const escaper all[] = {html_escape, html_escape_line, uri_escape, xml_escape};
	for (escaper fn : all) {
		EXPECT_EQ(run(fn, "\0abc"s), "");      // first byte NUL
		EXPECT_EQ(run(fn, "abc", 0), "");      // length 0
		EXPECT_EQ(run(fn, "", 0), "");         // empty text
		EXPECT_EQ(run(fn, "abcdef", 3), "abc"); // length shorter than the text
		EXPECT_EQ(run(fn, "ab\0<d"s), "ab");   // NUL inside the length
		EXPECT_EQ(run(fn, "ab<", 2), "ab");    // stops before the entity
	}
}

// Every byte but the five markup characters passes html_escape; the line
// variant drops CR and LF as well.
TEST(escapers, html_all_bytes)
{
	for (int c = 1; c < 256; c++) {
		std::string in(1, static_cast<char>(c));
		std::string ref = in;
		switch (c) {
		case '"': ref = "&quot;"; break;
		case '&': ref = "&amp;"; break;
		case '\'': ref = "&#39;"; break;
		case '<': ref = "&lt;"; break;
		case '>': ref = "&gt;"; break;
		}
		EXPECT_EQ(run(html_escape, in + "z"), ref + "z") << "byte " << c;
		std::string line_ref = (c == '\n' || c == '\r') ? "" : ref;
		EXPECT_EQ(run(html_escape_line, "z" + in), "z" + line_ref) << "byte " << c;
	}
}

TEST(escapers, uri_all_bytes)
{
	const std::string keep = ",-./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ\\^_`"
				 "abcdefghijklmnopqrstuvwxyz{|}~";
	ASSERT_EQ(keep.size(), 74u);
	std::string all, ref;
	for (int c = 1; c < 256; c++) {
		all += static_cast<char>(c);
		if (keep.find(static_cast<char>(c)) != std::string::npos) {
			ref += static_cast<char>(c);
		} else {
			char triplet[4];
			snprintf(triplet, sizeof triplet, "%%%02X", c);
			ref += triplet;
		}
	}
	EXPECT_EQ(run(uri_escape, all), ref);
}

// The escapers read nothing past `length`: the text ends right before an
// unreadable page, cut inside a multi-byte sequence.
TEST(escapers, read_nothing_past_length)
{
	long page = sysconf(_SC_PAGESIZE);
	char *map = static_cast<char *>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
					     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
	ASSERT_NE(map, MAP_FAILED);
	ASSERT_EQ(mprotect(map + page, page, PROT_NONE), 0);
	const char tail[] = {'a', '<', '\xF0', '\x9F', '\x98'};
	char *text = map + page - sizeof tail;
	memcpy(text, tail, sizeof tail);
	EXPECT_EQ(run(html_escape, text, sizeof tail), "a&lt;\xF0\x9F\x98");
	EXPECT_EQ(run(html_escape_line, text, sizeof tail), "a&lt;\xF0\x9F\x98");
	EXPECT_EQ(run(uri_escape, text, sizeof tail), "a%3C%F0%9F%98");
	EXPECT_EQ(run(xml_escape, text, sizeof tail), "a&lt;" + FFFD);
	munmap(map, 2 * page);
}

TEST(xml_escape, controls_nonchars_and_invalid_utf8)
{
	const escape_case cases[] = {
		{xml_escape, "C0 kept", "a\tb\nc\rd", "a\tb\nc\rd"},
		{xml_escape, "C0 dropped", "a\x01\x08\x0B\x0C\x0E\x1F" "b", "ab"},
		{xml_escape, "DEL and C1", "\x7F\xC2\x80\xC2\x9F", "\x7F\xC2\x80\xC2\x9F"},
		{xml_escape, "valid", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF",
		 "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
		{xml_escape, "U+FFFD", FFFD, FFFD},
		{xml_escape, "U+FFFE/F", "a\xEF\xBF\xBE" "b\xEF\xBF\xBF" "c", "abc"},
		{xml_escape, "U+FFFC, U+FDD0", "\xEF\xBF\xBC\xEF\xB7\x90", "\xEF\xBF\xBC\xEF\xB7\x90"},
		{xml_escape, "truncated 3", "\xE2\x82x", FFFD + "x"},
		{xml_escape, "truncated 4", "\xF0\x9F\x98<", FFFD + "&lt;"},
		{xml_escape, "truncated at end", "a\xE2\x82", "a" + FFFD},
		{xml_escape, "cut by NUL", "\xE2\x82\0x"s, FFFD},
		{xml_escape, "lone continuation", "\x80\xBF", FFFD + FFFD},
		{xml_escape, "overlong C0 AF", "\xC0\xAF", FFFD + FFFD},
		{xml_escape, "overlong E0 80 AF", "\xE0\x80\xAF", FFFD + FFFD + FFFD},
		{xml_escape, "surrogate", "\xED\xA0\x80", FFFD + FFFD + FFFD},
		{xml_escape, "above U+10FFFF", "\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},
		{xml_escape, "F5 and FF", "\xF5\xFFz", FFFD + FFFD + "z"},
		{xml_escape, "lead then lead", "\xC3\xC3\xA9", FFFD + "\xC3\xA9"},
	};
	for (const escape_case &c : cases)
		EXPECT_EQ(run(c.fn, c.text), c.expected) << c.name << " on " << hex(c.text);
	EXPECT_EQ(run(xml_escape, "\xC3\xA9", 1), FFFD); // length cuts the sequence
}

// Whatever the input, the output is well-formed UTF-8 with only XML
// characters, and markup appears only as entities.
TEST(xml_escape, output_always_well_formed)
{
	const unsigned char pool[] = {'a', '<', '>', '&', '"', '\'', '\t', '\n', 0x01, 0x1F, 0x7F,
				      0x80, 0x9F, 0xA0, 0xBF, 0xC0, 0xC2, 0xDF, 0xE0, 0xED,
				      0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0xBE};
	uint32_t seed = 12345;
	for (int round = 0; round < 3000; round++) {
		std::string in;
		for (int k = 0; k < 12; k++) {
			seed = seed * 1103515245 + 12345;
			in += static_cast<char>(pool[(seed >> 16) % sizeof pool]);
		}
		std::string out = run(xml_escape, in);
		const unsigned char *s = reinterpret_cast<const unsigned char *>(out.data());
		size_t n = out.size();
		for (size_t i = 0; i < n;) {
			unsigned char c = s[i];
			ASSERT_TRUE(c != '<' && c != '>') << hex(in);
			ASSERT_TRUE(c >= 0x20 || c == '\t' || c == '\n' || c == '\r') << hex(in);
			if (c == '&') {
				std::string_view rest(out.data() + i, n - i);
				bool entity = false;
				for (const char *e : {"&quot;", "&amp;", "&#39;", "&lt;", "&gt;"})
					entity = entity || rest.starts_with(e);
				ASSERT_TRUE(entity) << hex(in);
			}
			if (c < 0x80) {
				i++;
				continue;
			}
			// Decode one sequence and check it is minimal, no surrogate,
			// not above U+10FFFF and not U+FFFE or U+FFFF.
			size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
			ASSERT_TRUE(len && c <= 0xF4 && i + len <= n) << hex(in);
			uint32_t cp = c & (0x7F >> len);
			for (size_t k = 1; k < len; k++) {
				ASSERT_EQ(s[i + k] & 0xC0, 0x80) << hex(in);
				cp = (cp << 6) | (s[i + k] & 0x3F);
			}
			uint32_t min = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
			ASSERT_TRUE(cp >= min && cp <= 0x10FFFF) << hex(in);
			ASSERT_TRUE((cp < 0xD800 || cp > 0xDFFF) && cp != 0xFFFE && cp != 0xFFFF) << hex(in);
			i += len;
		}
	}
}

TEST(path_join, joins)
{
	char buffer[1024];
	EXPECT_EQ(path_join(buffer, sizeof buffer, "repo", "description"), 16u);
	EXPECT_STREQ(buffer, "repo/description");
	EXPECT_EQ(path_join(buffer, sizeof buffer, "repo/", "url"), 8u);
	EXPECT_STREQ(buffer, "repo/url");
	EXPECT_EQ(path_join(buffer, sizeof buffer, "", "README"), 6u);
	EXPECT_STREQ(buffer, "README");
	EXPECT_EQ(path_join(buffer, sizeof buffer, "/", "x"), 2u);
	EXPECT_STREQ(buffer, "/x");

	std::string first(511, 'a'), second(511, 'b');
	EXPECT_EQ(path_join(buffer, sizeof buffer, first.c_str(), second.c_str()), 1023u);
	EXPECT_EQ(std::string(buffer), first + "/" + second);
}

TEST(path_join, too_long_is_fatal)
{
	char buffer[1024];
	std::string first(512, 'a'), second(511, 'b');
	EXPECT_EXIT(path_join(buffer, sizeof buffer, first.c_str(), second.c_str()),
		    ::testing::ExitedWithCode(1),
		    ::testing::Eq(fatal_line("path truncated: '" + first + "/" + second + "'")));
	std::string slashed = first + "/"; // no separator is added: 1024 characters
	EXPECT_EXIT(path_join(buffer, sizeof buffer, slashed.c_str(), second.c_str()),
		    ::testing::ExitedWithCode(1),
		    ::testing::Eq(fatal_line("path truncated: '" + slashed + second + "'")));
}

// One final ".git" goes, spelt exactly so; the folder of x.git.git is
// x.git, not x.
TEST(repository_short_name, drops_one_final_dot_git)
{
	const std::pair<const char *, const char *> cases[] = {
		{"proj.git", "proj"}, {"x.git.git", "x.git"}, {".git", ""}, {"a.b.git", "a.b"},
		{"v.git.old", "v.git.old"}, {"A.GIT", "A.GIT"}, {"proj.gitx", "proj.gitx"},
		{"git", "git"}, {"proj", "proj"}, {"", ""},
	};
	for (const auto &[name, shown] : cases) {
		char *short_name = repository_short_name(name);
		EXPECT_STREQ(short_name, shown) << name;
		free(short_name);
	}
}

TEST(stream_check, write_mode)
{
	std::string out = capture([](FILE *s) {
		fputs("text", s);
		stream_check(s, "mem", 'w');
	});
	EXPECT_EQ(out, "text");

	// The flush fails: the text is still in the buffer.
	EXPECT_EXIT(
		{
			FILE *full = fopen("/dev/full", "w");
			fputs("text", full);
			stream_check(full, "full", 'w');
			_exit(0);
		},
		::testing::ExitedWithCode(1), ::testing::Eq(fatal_line("write error: full")));
	// An earlier write failed: nothing is left to flush, the indicator stays.
	EXPECT_EXIT(
		{
			FILE *full = fopen("/dev/full", "w");
			setvbuf(full, nullptr, _IONBF, 0);
			fputs("text", full);
			stream_check(full, "unbuffered", 'w');
			_exit(0);
		},
		::testing::ExitedWithCode(1), ::testing::Eq(fatal_line("write error: unbuffered")));
}

TEST(stream_check, read_mode)
{
	char text[] = "one line\n";
	FILE *in = fmemopen(text, strlen(text), "r");
	char line[64];
	while (fgets(line, sizeof line, in))
		;
	ASSERT_TRUE(feof(in));
	stream_check(in, "mem", 'r'); // end of file is not an error
	fclose(in);

	EXPECT_EXIT(
		{
			FILE *dir = fopen("/", "r");
			char buf[16];
			if (!dir || fgets(buf, sizeof buf, dir))
				_exit(2);
			stream_check(dir, "/", 'r');
			_exit(0);
		},
		::testing::ExitedWithCode(1), ::testing::Eq(fatal_line("read error: /")));
	// Any other mode ignores even a set error indicator.
	EXPECT_EXIT(
		{
			FILE *full = fopen("/dev/full", "w");
			setvbuf(full, nullptr, _IONBF, 0);
			fputs("text", full);
			stream_check(full, "full", 'x');
			_exit(0);
		},
		::testing::ExitedWithCode(0), ::testing::Eq(""s));
}

TEST(put_size, values)
{
	static_assert(SIZE_MAX == UINT64_MAX);
	const std::pair<size_t, const char *> cases[] = {
		{0, "0"}, {1, "1"}, {10, "10"}, {1234567890, "1234567890"},
		{SIZE_MAX, "18446744073709551615"},
	};
	for (const auto &[value, text] : cases)
		EXPECT_EQ(capture([&](FILE *s) { put_size(s, value); }), text);
}

namespace {

struct date_case {
	int64_t time;
	int offset;
	const char *iso, *full, *short_;
};

std::string print(void (*fn)(FILE *, const git_time &), int64_t time, int offset)
{
	git_time t{};
	t.time = time;
	t.offset = offset;
	t.sign = '+'; // never consulted
	return capture([&](FILE *s) { fn(s, t); });
}

// First second of the year -999999999 (a Monday).
const int64_t YEAR_MINUS_999999999 = -31557014135596800;

} // namespace

TEST(dates, formats)
{
	const date_case cases[] = {
		{0, 0, "1970-01-01T00:00:00Z", "Thu,  1 Jan 1970 00:00:00 +0000", "1970-01-01 00:00"},
		{1700000000, -300, "2023-11-14T22:13:20Z", "Tue, 14 Nov 2023 17:13:20 -0500",
		 "2023-11-14 22:13"},
		{1700000000, -30, "2023-11-14T22:13:20Z", "Tue, 14 Nov 2023 21:43:20 -0030",
		 "2023-11-14 22:13"},
		{1700000000, 330, "2023-11-14T22:13:20Z", "Wed, 15 Nov 2023 03:43:20 +0530",
		 "2023-11-14 22:13"},
		{-1, 0, "1969-12-31T23:59:59Z", "Wed, 31 Dec 1969 23:59:59 +0000", "1969-12-31 23:59"},
		{0, -300, "1970-01-01T00:00:00Z", "Wed, 31 Dec 1969 19:00:00 -0500", "1970-01-01 00:00"},
		{-2208988800, 60, "1900-01-01T00:00:00Z", "Mon,  1 Jan 1900 01:00:00 +0100",
		 "1900-01-01 00:00"},
		// The longest year that still fits the 32-byte buffer of the full date.
		{YEAR_MINUS_999999999, 0, "-999999999-01-01T00:00:00Z",
		 "Mon,  1 Jan -999999999 00:00:00 +0000", "-999999999-01-01 00:00"},
		// One second earlier the full date needs 32 characters: nothing.
		{YEAR_MINUS_999999999 - 1, 0, "-1000000000-12-31T23:59:59Z", "",
		 "-1000000000-12-31 23:59"},
		{YEAR_MINUS_999999999, -1, "-999999999-01-01T00:00:00Z", "", "-999999999-01-01 00:00"},
		// The offset is printed from its 64-bit absolute value.
		{0, INT32_MIN, "1970-01-01T00:00:00Z", nullptr, "1970-01-01 00:00"},
		// The year does not fit the broken-down time: nothing at all.
		{INT64_MAX, 0, "", "", ""},
		{INT64_MIN, 0, "", "", ""},
		// time + offset * 60 overflows: no date, no offset, no crash.
		{INT64_MAX - 59, 1, "", "", ""},
		{INT64_MIN + 59, -1, "", "", ""},
	};
	for (const date_case &c : cases) {
		SCOPED_TRACE(testing::Message() << "time " << c.time << " offset " << c.offset);
		EXPECT_EQ(print(print_time_iso, c.time, c.offset), c.iso);
		EXPECT_EQ(print(print_time_short, c.time, c.offset), c.short_);
		if (c.full) {
			EXPECT_EQ(print(print_time_full, c.time, c.offset), c.full);
		}
	}
	std::string full = print(print_time_full, 0, INT32_MIN);
	EXPECT_TRUE(full.ends_with(" -3579139408")) << full;
	for (int offset : {0, -1, 1, -59, 59, 60, -60, 840, -720}) {
		std::string text = print(print_time_full, 1700000000, offset);
		EXPECT_EQ(text.find("-0000"), std::string::npos) << text;
		EXPECT_EQ(text[text.size() - 5], offset < 0 ? '-' : '+') << text;
	}
}
