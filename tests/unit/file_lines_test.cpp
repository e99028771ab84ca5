// Unit tests for the highlighted file pages' parts that need no parser: the
// language a file is detected in, and the numbered lines with spans, which
// must be the plain lines once their tags are taken out.
#include "site.h"
#include "capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

struct detect_case {
	const char *name;
	std::string content;
	source_language expected;
};

// `text` without every piece from `open` to `close`, both included.
std::string without(const std::string &text, const std::string &open, const std::string &close)
{
	std::string out;
	size_t pos = 0;
	for (;;) {
		size_t at = text.find(open, pos);
		if (at == std::string::npos)
			break;
		out.append(text, pos, at - pos);
		size_t end = text.find(close, at + open.size());
		pos = end == std::string::npos ? text.size() : end + close.size();
	}
	out.append(text, pos);
	return out;
}

std::string without_spans(const std::string &html)
{
	return without(without(html, "<span class=\"", "\">"), "</span>", "");
}

// Every line opens as many spans as it closes, never closing one that is
// not open.
void expect_balanced_lines(const std::string &html)
{
	size_t start = 0;
	while (start < html.size()) {
		size_t eol = html.find('\n', start);
		size_t end = eol == std::string::npos ? html.size() : eol;
		int open = 0;
		for (size_t i = start; i < end; i++) {
			if (html.compare(i, 6, "<span ") == 0)
				open++;
			else if (html.compare(i, 7, "</span>") == 0 && --open < 0)
				break;
		}
		EXPECT_EQ(open, 0) << "line: " << html.substr(start, end - start);
		start = end + 1;
	}
}

struct lines_case {
	const char *what;
	std::string content;
	std::vector<highlight_span> spans;
	std::string expected; // the lines with their spans, anchors and <pre> left out
};

// The highlighted lines of `c`, checked against the plain ones, with the
// anchors and the <pre> around them cut for comparing.
std::string highlighted_body(const lines_case &c)
{
	size_t lines = 0, plain_count = 0;
	std::string html = capture([&](FILE *s) {
		lines = highlighted_lines(s, c.content.data(), c.content.size(), c.spans.data(),
					  c.spans.size());
	});
	std::string plain = capture([&](FILE *s) {
		plain_count = plain_lines(s, c.content.data(), c.content.size());
	});
	EXPECT_EQ(lines, plain_count) << c.what;
	EXPECT_EQ(without_spans(html), plain) << c.what;
	expect_balanced_lines(html);
	std::string body = without(html, "<a href=\"#l", "</a> ");
	const std::string pre = "<pre id=\"blob\">\n", end = "</pre>\n";
	EXPECT_EQ(body.compare(0, pre.size(), pre), 0) << c.what;
	EXPECT_GE(body.size(), pre.size() + end.size()) << c.what;
	return body.substr(pre.size(), body.size() - pre.size() - end.size());
}

highlight_span span(uint32_t start, uint32_t end, highlight_class kind)
{
	return {start, end, kind};
}

} // namespace

TEST(detect_language, names_shebangs_modelines_and_binary)
{
	const std::string twelve_lines = "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n11\n12\n";
	const detect_case cases[] = {
		// By name.
		{"src/main.c", "int x;\n", LANG_C},
		{"list.h", "", LANG_C},
		{"a.hpp", "", LANG_CPP},
		{"b.ipp", "", LANG_CPP},
		{"LEGACY.CPP", "", LANG_CPP},
		{"x.pyi", "", LANG_PYTHON},
		{"app.cjs", "", LANG_JAVASCRIPT},
		{"types.mts", "", LANG_TYPESCRIPT},
		{"view.tsx", "", LANG_TSX},
		{"ci.yml", "", LANG_YAML},
		{"README.markdown", "", LANG_MARKDOWN},
		{"Makefile", "", LANG_MAKE},
		{"sub/GNUmakefile", "", LANG_MAKE},
		{"rules.mk", "", LANG_MAKE},
		{"home/.bashrc", "", LANG_SHELL},
		{".profile", "", LANG_SHELL},
		{"Cargo.lock", "", LANG_TOML},
		{"config.jsonc", "", LANG_NONE},
		{"archive.tar.gz", "", LANG_NONE},
		{".vimrc", "", LANG_NONE},
		{"Makefile.am", "", LANG_NONE},
		{"dir.c/README", "plain text\n", LANG_NONE},
		{nullptr, "#!/bin/sh\n", LANG_SHELL},
		// The name wins over the first line.
		{"tool.js", "#!/bin/sh\n", LANG_JAVASCRIPT},
		// Shebangs.
		{"configure", "#!/bin/sh\n", LANG_SHELL},
		{"run", "#! /usr/bin/env bash\necho\n", LANG_SHELL},
		{"run", "#!/bin/dash", LANG_SHELL},
		{"run", "#!/usr/bin/env -S python3 -u\n", LANG_PYTHON},
		{"run", "#!/usr/bin/env PYTHONPATH=. python2\n", LANG_PYTHON},
		{"run", "#!/usr/local/bin/python3.11\r\n", LANG_PYTHON},
		{"run", "#!/usr/bin/env node\n", LANG_JAVASCRIPT},
		{"debian/rules", "#!/usr/bin/make -f\n", LANG_MAKE},
		{"run", "#!/usr/bin/env\n", LANG_NONE},
		{"run", "#!/usr/bin/perl\n", LANG_NONE},
		{"run", "#!/usr/bin/pythonista\n", LANG_NONE},
		{"run", "#!/usr/bin/envy python\n", LANG_NONE},
		{"run", "# !/bin/sh\n", LANG_NONE},
		// Modelines in the first or last five lines.
		{"tool", "#!/usr/bin/tool\n# -*- mode: python -*-\n", LANG_PYTHON},
		{"vector", "/* -*- C++ -*- */\n", LANG_CPP},
		{"setup", "# -*- Mode: Python; coding: utf-8 -*-\n", LANG_PYTHON},
		{"setup", "# -*- coding: utf-8; mode: shell-script -*-\n", LANG_SHELL},
		{"setup", "# -*- coding: utf-8 -*-\n", LANG_NONE},
		{"conf", twelve_lines + "# vim: set ft=python:\n", LANG_PYTHON},
		{"conf", twelve_lines + "# vi: ft=sh", LANG_SHELL},
		{"conf", "x\n/* vim:filetype=c */\n", LANG_C},
		{"conf", "1\n2\n3\n4\n5\n# vim: set ft=python:\n" + twelve_lines, LANG_NONE},
		{"conf", "# index: ft=c\n", LANG_NONE},
		{"conf", "# vim: set ts=4:\n", LANG_NONE},
		// Binary: a NUL in the first 8000 bytes, whatever the name.
		{"main.c", "int x;\0\n"s, LANG_NONE},
		{"run", "#!/bin/sh\n\0"s, LANG_NONE},
		{"main.c", std::string(8000, 'x') + '\0', LANG_C},
	};
	for (const detect_case &c : cases)
		EXPECT_EQ(detect_language(c.name, c.content.data(), c.content.size()), c.expected)
			<< (c.name ? c.name : "(no name)") << ": " << c.content.substr(0, 60);
	EXPECT_EQ(detect_language("x.sh", nullptr, 0), LANG_SHELL);
	EXPECT_EQ(detect_language("x", nullptr, 0), LANG_NONE);
}

TEST(highlighted_lines, spans_cut_at_line_ends_and_text_as_plain)
{
	const lines_case cases[] = {
		{"across lines", "int a; /* x\ny */\n", {span(0, 3, HL_TYPE), span(7, 16, HL_COMMENT)},
		 "<span class=\"t\">int</span> a; <span class=\"c\">/* x</span>\n"
		 "<span class=\"c\">y */</span>\n"},
		{"over the newline only", "abc\ndef", {span(0, 4, HL_KEYWORD), span(3, 4, HL_STRING)},
		 "<span class=\"k\">abc</span>\ndef"},
		{"from the newline on", "abc\ndef", {span(3, 5, HL_NUMBER)},
		 "abc\n<span class=\"n\">d</span>ef"},
		{"empty lines inside", "/*\n\n*/\n", {span(0, 6, HL_COMMENT)},
		 "<span class=\"c\">/*</span>\n\n<span class=\"c\">*/</span>\n"},
		{"CRLF", "s = \"a\"\r\n\r\nb\r\n", {span(4, 12, HL_STRING)},
		 "s = <span class=\"s\">&quot;a&quot;</span>\n\n<span class=\"s\">b</span>\n"},
		{"last line without newline", "x\ny", {span(2, 3, HL_VARIABLE)},
		 "x\n<span class=\"v\">y</span>"},
		{"bytes to escape", "<&>\"'", {span(1, 4, HL_OPERATOR)},
		 "&lt;<span class=\"o\">&amp;&gt;&quot;</span>&#39;"},
		{"each class", "abcdefghijklm",
		 {span(0, 1, HL_KEYWORD), span(1, 2, HL_TYPE), span(2, 3, HL_FUNCTION),
		  span(3, 4, HL_STRING), span(4, 5, HL_NUMBER), span(5, 6, HL_COMMENT),
		  span(6, 7, HL_CONSTANT), span(7, 8, HL_OPERATOR), span(8, 9, HL_PUNCTUATION),
		  span(9, 10, HL_VARIABLE), span(10, 11, HL_PROPERTY), span(11, 12, HL_ATTRIBUTE),
		  span(12, 13, HL_TAG)},
		 "<span class=\"k\">a</span><span class=\"t\">b</span><span class=\"f\">c</span>"
		 "<span class=\"s\">d</span><span class=\"n\">e</span><span class=\"c\">f</span>"
		 "<span class=\"cn\">g</span><span class=\"o\">h</span><span class=\"p\">i</span>"
		 "<span class=\"v\">j</span><span class=\"pr\">k</span><span class=\"a\">l</span>"
		 "<span class=\"tg\">m</span>"},
		{"NUL ends the line's text", "ab\0cd\nef"s,
		 {span(1, 2, HL_STRING), span(3, 4, HL_KEYWORD), span(4, 7, HL_STRING)},
		 "a<span class=\"s\">b</span>\n<span class=\"s\">e</span>f"},
		{"empty file", "", {span(0, 5, HL_KEYWORD)}, ""},
		{"no spans", "a<b\n", {}, "a&lt;b\n"},
		{"past the end", "ab\n", {span(1, 100, HL_STRING), span(50, 60, HL_KEYWORD)},
		 "a<span class=\"s\">b</span>\n"},
		{"unsorted and overlapping", "abcdef",
		 {span(2, 4, HL_KEYWORD), span(0, 3, HL_STRING), span(3, 5, HL_NUMBER),
		  span(1, 2, HL_TYPE)},
		 "ab<span class=\"k\">cd</span><span class=\"n\">e</span>f"},
		{"empty, reversed, classless, unknown class", "abcd",
		 {span(1, 1, HL_KEYWORD), span(3, 2, HL_KEYWORD), span(0, 2, HL_NONE),
		  span(0, 2, static_cast<highlight_class>(200)), span(2, 3, HL_TAG)},
		 "ab<span class=\"tg\">c</span>d"},
	};
	for (const lines_case &c : cases)
		EXPECT_EQ(highlighted_body(c), c.expected) << c.what;
	EXPECT_EQ(capture([](FILE *s) { highlighted_lines(s, "a\n", 2, nullptr, 3); }),
		  capture([](FILE *s) { plain_lines(s, "a\n", 2); }));
}
