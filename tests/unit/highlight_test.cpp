// Unit tests for highlight_spans: a sample per language with the class
// some of its words must get, the shape every span list has (sorted,
// disjoint, merged, within the text), and the inputs that must give up
// (too large, too deep, no language) rather than take the page's time.
#include "site.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct expected_word {
	const char *word; // its first occurrence in the sample as a whole word
	highlight_class kind;
};

struct language_sample {
	source_language language;
	const char *text;
	std::vector<expected_word> words;
};

// As a code block: broken input is coloured however it parses, not given
// up on as a file mostly errors would be.
std::vector<highlight_span> spans_of(source_language language, const std::string &text, int *status)
{
	highlight_span *spans = nullptr;
	size_t count = 0;
	highlighter highlighter = {};
	*status = highlight_spans(&highlighter, language, text.data(), text.size(), HIGHLIGHT_FRAGMENT, &spans,
				  &count);
	highlighter_free(&highlighter);
	std::vector<highlight_span> out(spans, spans + count);
	free(spans);
	return out;
}

// Sorted, not overlapping, not empty, inside the text, with a class; two
// that touch differ in class (else they were one).
void expect_well_formed(const std::vector<highlight_span> &spans, size_t size, const char *what)
{
	for (size_t i = 0; i < spans.size(); i++) {
		SCOPED_TRACE(std::string(what) + ", span " + std::to_string(i));
		EXPECT_LT(spans[i].start, spans[i].end);
		EXPECT_LE(spans[i].end, size);
		EXPECT_NE(spans[i].kind, HL_NONE);
		if (i == 0)
			continue;
		EXPECT_LE(spans[i - 1].end, spans[i].start);
		if (spans[i - 1].end == spans[i].start) {
			EXPECT_NE(spans[i - 1].kind, spans[i].kind);
		}
	}
}

// The class over all of the word's bytes, or HL_NONE when they are not
// all in one span.
highlight_class class_of(const std::vector<highlight_span> &spans, size_t start, size_t length)
{
	for (const highlight_span &s : spans)
		if (s.start <= start && start + length <= s.end)
			return s.kind;
	return HL_NONE;
}

bool word_byte(char c)
{
	return isalnum(static_cast<unsigned char>(c)) || c == '_';
}

size_t find_word(const std::string &text, const char *word)
{
	size_t length = strlen(word);
	for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
		bool before = at > 0 && word_byte(text[at - 1]) && word_byte(word[0]);
		bool after = at + length < text.size() && word_byte(text[at + length]) && word_byte(word[length - 1]);
		if (!before && !after)
			return at;
	}
	return std::string::npos;
}

const std::vector<language_sample> &samples()
{
	static const std::vector<language_sample> all = {
		{LANG_C, "#include <stdio.h>\n/* c */\nint main(void) { return FOO_1 + x; } // end\n",
		 {{"#include", HL_KEYWORD}, {"<stdio.h>", HL_STRING}, {"/* c */", HL_COMMENT},
		  {"int", HL_TYPE}, {"main", HL_FUNCTION}, {"return", HL_KEYWORD}, {"FOO_1", HL_CONSTANT},
		  {"x", HL_VARIABLE}}},
		{LANG_CPP, "// c\ntemplate <typename T> class A { int x = 1; }; auto s = \"s\";\n",
		 {{"// c", HL_COMMENT}, {"template", HL_KEYWORD}, {"A", HL_TYPE}, {"1", HL_NUMBER},
		  {"\"s\"", HL_STRING}}},
		{LANG_SHELL, "# c\nif [ -n \"$x\" ]; then echo 'hi'; fi\n",
		 {{"# c", HL_COMMENT}, {"if", HL_KEYWORD}, {"echo", HL_FUNCTION}, {"'hi'", HL_STRING},
		  {"x", HL_PROPERTY}}},
		{LANG_PYTHON, "import os\n# c\ndef f(x=1): return FOO + \"s\"\n",
		 {{"import", HL_KEYWORD}, {"# c", HL_COMMENT}, {"f", HL_FUNCTION}, {"1", HL_NUMBER},
		  {"FOO", HL_CONSTANT}, {"\"s\"", HL_STRING}}},
		{LANG_JAVASCRIPT, "const m = require(\"m\"); // hi\nlet t = `a${m}b`;\n",
		 {{"const", HL_KEYWORD}, {"require", HL_FUNCTION}, {"\"m\"", HL_STRING},
		  {"// hi", HL_COMMENT}, {"`a", HL_STRING}, {"${", HL_PUNCTUATION}}},
		{LANG_TYPESCRIPT, "// c\ninterface P { x: number }\nlet s: string = 'a';\n",
		 {{"// c", HL_COMMENT}, {"interface", HL_KEYWORD}, {"number", HL_TYPE}, {"'a'", HL_STRING}}},
		{LANG_TSX, "// c\nconst e = <div className=\"a\">{x}</div>;\n",
		 {{"// c", HL_COMMENT}, {"const", HL_KEYWORD}, {"div", HL_TAG}, {"className", HL_ATTRIBUTE},
		  {"\"a\"", HL_STRING}}},
		{LANG_GO, "package main\n// c\nfunc f(x int) int { return len(\"s\") + x }\n",
		 {{"package", HL_KEYWORD}, {"// c", HL_COMMENT}, {"f", HL_FUNCTION}, {"int", HL_TYPE},
		  {"len", HL_FUNCTION}, {"\"s\"", HL_STRING}, {"x", HL_VARIABLE}}},
		{LANG_RUST, "// c\nfn main() { println!(\"s\"); }\n",
		 {{"// c", HL_COMMENT}, {"fn", HL_KEYWORD}, {"main", HL_FUNCTION}, {"\"s\"", HL_STRING}}},
		{LANG_JAVA, "// c\npublic class A { int f() { return \"s\".length(); } }\n",
		 {{"// c", HL_COMMENT}, {"public", HL_KEYWORD}, {"A", HL_TYPE}, {"\"s\"", HL_STRING},
		  {"length", HL_FUNCTION}}},
		{LANG_JSON, "{\"a\": [1, true, null, \"s\"]}\n",
		 {{"1", HL_NUMBER}, {"true", HL_CONSTANT}, {"\"s\"", HL_STRING}}},
		{LANG_YAML, "# c\nkey: \"value\"\nlist: [1, 2]\n",
		 {{"# c", HL_COMMENT}, {"key", HL_PROPERTY}, {"\"value\"", HL_STRING}, {"1", HL_NUMBER}}},
		{LANG_TOML, "# c\n[table]\nkey = \"value\"\nn = 1\n",
		 {{"# c", HL_COMMENT}, {"\"value\"", HL_STRING}, {"1", HL_NUMBER}}},
		{LANG_HTML, "<!-- c -->\n<p class=\"a\">text</p>\n",
		 {{"<!-- c -->", HL_COMMENT}, {"p", HL_TAG}, {"class", HL_ATTRIBUTE}, {"a", HL_STRING}}},
		{LANG_CSS, "/* c */\n.a > #b { color: red; z-index: 2; }\n",
		 {{"/* c */", HL_COMMENT}, {"color", HL_PROPERTY}, {"2", HL_NUMBER}}},
		{LANG_MAKE, "# c\nall: main.o\n\t$(CC) -o $@ $^\n.PHONY: all\n",
		 {{"# c", HL_COMMENT}, {"CC", HL_CONSTANT}, {".PHONY", HL_CONSTANT}}},
		{LANG_MARKDOWN, "# Title\n\ntext\n\n```c\nint x;\n```\n",
		 {{"#", HL_PUNCTUATION}, {"Title", HL_KEYWORD}, {"```", HL_PUNCTUATION}}},
	};
	return all;
}

// Each language colours its sample's words as its query says, which needs
// the grammar to load (ABI), the query to compile against it, its
// predicates (#match?, #eq?) to hold where they should, and the innermost,
// most specific pattern to win.
TEST(HighlightSpans, EachLanguageColoursItsSample)
{
	ASSERT_EQ(samples().size(), static_cast<size_t>(LANG_MARKDOWN));
	for (const language_sample &sample : samples()) {
		std::string text = sample.text;
		SCOPED_TRACE(text);
		int status;
		std::vector<highlight_span> spans = spans_of(sample.language, text, &status);
		ASSERT_EQ(status, 0);
		expect_well_formed(spans, text.size(), sample.text);
		for (const expected_word &w : sample.words) {
			size_t at = find_word(text, w.word);
			ASSERT_NE(at, std::string::npos) << w.word;
			EXPECT_EQ(class_of(spans, at, strlen(w.word)), w.kind) << w.word;
		}
	}
}

// A word inside a string takes its own class; the string goes on around it.
TEST(HighlightSpans, InnerNodeSplitsOuter)
{
	std::string text = "let t = `a${m}b`;\n";
	int status;
	std::vector<highlight_span> spans = spans_of(LANG_JAVASCRIPT, text, &status);
	ASSERT_EQ(status, 0);
	EXPECT_EQ(class_of(spans, text.find("`a"), 2), HL_STRING);
	EXPECT_EQ(class_of(spans, text.find("m}"), 1), HL_VARIABLE);
	EXPECT_EQ(class_of(spans, text.find("b`"), 2), HL_STRING);
}

// Broken and odd input still gives well-formed spans: an unterminated
// string and comment, NUL bytes, invalid UTF-8, and nothing at all.
TEST(HighlightSpans, OddInputStaysWellFormed)
{
	static const char WITH_NUL[] = "int a;\0int b; // \xff\xfe\n";
	const std::string inputs[] = {
		"int main() { \"unterminated\n/* open",
		std::string(WITH_NUL, sizeof WITH_NUL - 1),
		"",
		"}}}}{{{{((((",
	};
	for (const std::string &text : inputs) {
		for (int l = LANG_C; l <= LANG_MARKDOWN; l++) {
			int status;
			std::vector<highlight_span> spans = spans_of(static_cast<source_language>(l), text, &status);
			EXPECT_EQ(status, 0) << l;
			expect_well_formed(spans, text.size(), "odd input");
		}
	}
}

// The depth limit stays above real code: a long "else if" chain nests.
TEST(HighlightSpans, LongElseIfChainIsColoured)
{
	std::string text = "void f(int x) {\n\tif (x == 0) return;\n";
	for (int i = 1; i < 1000; i++)
		text += "\telse if (x == " + std::to_string(i) + ") return;\n";
	text += "}\n";
	int status;
	std::vector<highlight_span> spans = spans_of(LANG_C, text, &status);
	ASSERT_EQ(status, 0);
	EXPECT_EQ(class_of(spans, text.rfind("return"), 6), HL_KEYWORD);
}

// Too large, too deep, or no language: -1 at once, nothing to free.
TEST(HighlightSpans, GivesUpRatherThanStall)
{
	int status;
	std::string deep = std::string(200000, '[') + std::string(200000, ']');
	EXPECT_TRUE(spans_of(LANG_JSON, deep, &status).empty());
	EXPECT_EQ(status, -1);
	std::string nested_c = "int x = " + std::string(100000, '(') + "1" + std::string(100000, ')') + ";\n";
	spans_of(LANG_C, nested_c, &status);
	EXPECT_EQ(status, -1);
	std::string huge(64u << 20, 'a');
	spans_of(LANG_C, huge, &status);
	EXPECT_EQ(status, -1);
	spans_of(LANG_NONE, "int x;", &status);
	EXPECT_EQ(status, -1);
}

} // namespace
