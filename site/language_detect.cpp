// The language a file is written in, for its highlighted page: by its name,
// else by the interpreter of its "#!" line or an editor's modeline.
#include "site.h"

#include <cstring>
#include <strings.h>

namespace {

struct named_language {
	const char *name;
	source_language language;
};

// Extensions, compared without case; ".h" is C, as C++ headers mostly use
// one of the longer ones.
const named_language EXTENSIONS[] = {
	{"c", LANG_C}, {"h", LANG_C},
	{"cc", LANG_CPP}, {"cpp", LANG_CPP}, {"cxx", LANG_CPP}, {"c++", LANG_CPP},
	{"hpp", LANG_CPP}, {"hh", LANG_CPP}, {"hxx", LANG_CPP}, {"h++", LANG_CPP},
	{"ipp", LANG_CPP}, {"tcc", LANG_CPP},
	{"sh", LANG_SHELL}, {"bash", LANG_SHELL}, {"zsh", LANG_SHELL}, {"ksh", LANG_SHELL},
	{"py", LANG_PYTHON}, {"pyi", LANG_PYTHON}, {"pyw", LANG_PYTHON},
	{"js", LANG_JAVASCRIPT}, {"mjs", LANG_JAVASCRIPT}, {"cjs", LANG_JAVASCRIPT},
	{"jsx", LANG_JAVASCRIPT},
	{"ts", LANG_TYPESCRIPT}, {"mts", LANG_TYPESCRIPT}, {"cts", LANG_TYPESCRIPT},
	{"tsx", LANG_TSX},
	{"go", LANG_GO},
	{"rs", LANG_RUST},
	{"java", LANG_JAVA},
	{"json", LANG_JSON},
	{"yml", LANG_YAML}, {"yaml", LANG_YAML},
	{"toml", LANG_TOML},
	{"html", LANG_HTML}, {"htm", LANG_HTML}, {"xhtml", LANG_HTML},
	{"css", LANG_CSS},
	{"mk", LANG_MAKE}, {"mak", LANG_MAKE},
	{"md", LANG_MARKDOWN}, {"markdown", LANG_MARKDOWN},
};

// Whole names, compared exactly: the shells' start-up files and the
// files make and cargo read by name.
const named_language WHOLE_NAMES[] = {
	{"Makefile", LANG_MAKE}, {"makefile", LANG_MAKE}, {"GNUmakefile", LANG_MAKE},
	{".bashrc", LANG_SHELL}, {".bash_profile", LANG_SHELL}, {".bash_login", LANG_SHELL},
	{".bash_logout", LANG_SHELL}, {".bash_aliases", LANG_SHELL}, {".profile", LANG_SHELL},
	{".zshrc", LANG_SHELL}, {".zshenv", LANG_SHELL}, {".zprofile", LANG_SHELL},
	{".kshrc", LANG_SHELL}, {"PKGBUILD", LANG_SHELL},
	{"Cargo.lock", LANG_TOML}, {"Pipfile", LANG_TOML},
};

// Interpreters of a "#!" line, by the last component of their path;
// "python" takes a version after it (python3, python3.12).
const named_language INTERPRETERS[] = {
	{"sh", LANG_SHELL}, {"bash", LANG_SHELL}, {"dash", LANG_SHELL}, {"ash", LANG_SHELL},
	{"zsh", LANG_SHELL}, {"ksh", LANG_SHELL}, {"mksh", LANG_SHELL},
	{"python", LANG_PYTHON}, {"pypy", LANG_PYTHON}, {"pypy3", LANG_PYTHON},
	{"node", LANG_JAVASCRIPT}, {"nodejs", LANG_JAVASCRIPT},
	{"ts-node", LANG_TYPESCRIPT},
	{"make", LANG_MAKE}, {"gmake", LANG_MAKE},
};

// Modes of Emacs and file types of vim, compared without case; an Emacs
// mode may also be written with its "-mode" suffix.
const named_language MODES[] = {
	{"c", LANG_C},
	{"c++", LANG_CPP}, {"cpp", LANG_CPP},
	{"sh", LANG_SHELL}, {"bash", LANG_SHELL}, {"zsh", LANG_SHELL}, {"ksh", LANG_SHELL},
	{"shell-script", LANG_SHELL},
	{"python", LANG_PYTHON},
	{"javascript", LANG_JAVASCRIPT}, {"js", LANG_JAVASCRIPT}, {"js2", LANG_JAVASCRIPT},
	{"typescript", LANG_TYPESCRIPT}, {"typescriptreact", LANG_TSX}, {"tsx", LANG_TSX},
	{"go", LANG_GO},
	{"rust", LANG_RUST},
	{"java", LANG_JAVA},
	{"json", LANG_JSON},
	{"yaml", LANG_YAML},
	{"toml", LANG_TOML},
	{"html", LANG_HTML},
	{"css", LANG_CSS},
	{"make", LANG_MAKE}, {"makefile", LANG_MAKE}, {"makefile-gmake", LANG_MAKE},
	{"markdown", LANG_MARKDOWN}, {"gfm", LANG_MARKDOWN},
};

// git's rule for binary content: a NUL in the first 8000 bytes.
constexpr size_t BINARY_CHECK = 8000;
// Modelines are looked for in this many lines at each end, and only in the
// first bytes of each, so that one huge line costs nothing.
constexpr int MODELINE_LINES = 5;
constexpr size_t MODELINE_BYTES = 256;

// A word of `len` bytes, looked up in `table` of `n` entries.
source_language lookup(const named_language *table, size_t n, const char *word, size_t len,
		       bool ignore_case)
{
	for (size_t i = 0; i < n; i++) {
		const char *name = table[i].name;
		if (strlen(name) != len)
			continue;
		if (ignore_case ? strncasecmp(name, word, len) == 0 : memcmp(name, word, len) == 0)
			return table[i].language;
	}
	return LANG_NONE;
}

template <size_t N>
source_language lookup(const named_language (&table)[N], const char *word, size_t len,
		       bool ignore_case)
{
	return lookup(table, N, word, len, ignore_case);
}

source_language by_name(const char *name)
{
	const char *slash = strrchr(name, '/');
	const char *base = slash ? slash + 1 : name;
	source_language language = lookup(WHOLE_NAMES, base, strlen(base), false);
	if (language != LANG_NONE)
		return language;
	// A name that begins with its only dot (".vimrc") has no extension.
	const char *dot = strrchr(base, '.');
	if (!dot || dot == base)
		return LANG_NONE;
	return lookup(EXTENSIONS, dot + 1, strlen(dot + 1), true);
}

bool is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\r';
}

// The next word of [*p, end), blanks skipped; its length, 0 at the end.
size_t next_word(const char **p, const char *end)
{
	while (*p < end && is_blank(**p))
		++*p;
	size_t len = 0;
	while (*p + len < end && !is_blank((*p)[len]))
		len++;
	return len;
}

// python2, python3.12: "python" and a version.
bool versioned_python(const char *word, size_t len)
{
	if (len < 6 || memcmp(word, "python", 6) != 0)
		return false;
	for (size_t i = 6; i < len; i++)
		if (!(word[i] >= '0' && word[i] <= '9') && word[i] != '.')
			return false;
	return true;
}

source_language interpreter(const char *word, size_t len)
{
	const char *base = word;
	for (size_t i = 0; i < len; i++)
		if (word[i] == '/')
			base = word + i + 1;
	len -= static_cast<size_t>(base - word);
	if (versioned_python(base, len))
		return LANG_PYTHON;
	return lookup(INTERPRETERS, base, len, false);
}

// "#!/bin/sh", "#! /usr/bin/env -S python3 -u": env's options and
// assignments stand before the interpreter.
source_language by_shebang(const char *line, const char *end)
{
	if (end - line < 2 || line[0] != '#' || line[1] != '!')
		return LANG_NONE;
	const char *p = line + 2;
	size_t len = next_word(&p, end);
	if (len == 0)
		return LANG_NONE;
	const char *base = static_cast<const char *>(memrchr(p, '/', len));
	base = base ? base + 1 : p;
	if (static_cast<size_t>(p + len - base) != 3 || memcmp(base, "env", 3) != 0)
		return interpreter(p, len);
	for (p += len; (len = next_word(&p, end)) != 0; p += len)
		if (p[0] != '-' && !memchr(p, '=', len))
			return interpreter(p, len);
	return LANG_NONE;
}

// The bytes [from, to) of [line, end) as a lower-case mode name with any
// "-mode" suffix cut, looked up in MODES.
source_language mode_named(const char *from, const char *to)
{
	while (from < to && is_blank(*from))
		from++;
	while (to > from && is_blank(to[-1]))
		to--;
	size_t len = static_cast<size_t>(to - from);
	if (len > 5 && strncasecmp(to - 5, "-mode", 5) == 0)
		len -= 5;
	return lookup(MODES, from, len, true);
}

// "-*- C++ -*-" names the mode alone; "-*- mode: python; coding: utf-8 -*-"
// among other variables.
source_language emacs_modeline(const char *line, const char *end)
{
	const char *open = static_cast<const char *>(memmem(line, end - line, "-*-", 3));
	if (!open)
		return LANG_NONE;
	open += 3;
	const char *close = static_cast<const char *>(memmem(open, end - open, "-*-", 3));
	if (!close)
		return LANG_NONE;
	if (!memchr(open, ':', close - open))
		return mode_named(open, close);
	for (const char *p = open; p < close;) {
		const char *semi = static_cast<const char *>(memchr(p, ';', close - p));
		const char *stop = semi ? semi : close;
		const char *colon = static_cast<const char *>(memchr(p, ':', stop - p));
		if (colon) {
			const char *key = p;
			while (key < colon && is_blank(*key))
				key++;
			if (colon - key == 4 && strncasecmp(key, "mode", 4) == 0)
				return mode_named(colon + 1, stop);
		}
		p = stop + 1;
	}
	return LANG_NONE;
}

// Where vim's modelines begin: at the start of the line or after a blank.
const char *const VIM_MARKS[] = {"vi:", "vim:", "Vim:", "ex:"};

// The first of `mark` in [line, end) that begins a word, else null.
const char *word_at(const char *line, const char *end, const char *mark)
{
	size_t len = strlen(mark);
	for (const char *p = line; p < end;) {
		const char *at = static_cast<const char *>(memmem(p, end - p, mark, len));
		if (!at || at == line || is_blank(at[-1]))
			return at;
		p = at + 1;
	}
	return nullptr;
}

// The value of "ft=" or "filetype=" among the options that follow a mark.
source_language vim_filetype(const char *p, const char *end)
{
	for (; p < end; p++) {
		bool word_start = p[-1] == ' ' || p[-1] == ':' || p[-1] == '\t';
		size_t key = 0;
		if (word_start && end - p > 3 && memcmp(p, "ft=", 3) == 0)
			key = 3;
		else if (word_start && end - p > 9 && memcmp(p, "filetype=", 9) == 0)
			key = 9;
		if (!key)
			continue;
		const char *value = p + key, *stop = value;
		while (stop < end && *stop != ':' && *stop != ' ' && *stop != '\t')
			stop++;
		return mode_named(value, stop);
	}
	return LANG_NONE;
}

// "vim: set ft=python:", "vi: ft=sh", "vim: filetype=c".
source_language vim_modeline(const char *line, const char *end)
{
	for (const char *mark : VIM_MARKS) {
		const char *at = word_at(line, end, mark);
		source_language language = at ? vim_filetype(at + strlen(mark), end) : LANG_NONE;
		if (language != LANG_NONE)
			return language;
	}
	return LANG_NONE;
}

source_language modeline(const char *line, const char *end)
{
	if (static_cast<size_t>(end - line) > MODELINE_BYTES)
		end = line + MODELINE_BYTES;
	source_language language = emacs_modeline(line, end);
	return language != LANG_NONE ? language : vim_modeline(line, end);
}

source_language first_lines(const char *content, size_t size)
{
	const char *p = content, *end = content + size;
	for (int i = 0; i < MODELINE_LINES && p < end; i++) {
		const char *eol = static_cast<const char *>(memchr(p, '\n', end - p));
		const char *line_end = eol ? eol : end;
		source_language language = modeline(p, line_end);
		if (language != LANG_NONE)
			return language;
		p = eol ? eol + 1 : end;
	}
	return LANG_NONE;
}

// The last lines, the final newline not counted as the start of one.
source_language last_lines(const char *content, size_t size)
{
	const char *end = content + size;
	if (end > content && end[-1] == '\n')
		end--;
	for (int i = 0; i < MODELINE_LINES && end > content; i++) {
		const char *nl = static_cast<const char *>(memrchr(content, '\n', end - content));
		const char *line = nl ? nl + 1 : content;
		source_language language = modeline(line, end);
		if (language != LANG_NONE)
			return language;
		if (!nl)
			break;
		end = nl;
	}
	return LANG_NONE;
}

} // namespace

source_language detect_language(const char *name, const char *content, size_t size)
{
	if (!content)
		size = 0;
	if (size && memchr(content, '\0', size < BINARY_CHECK ? size : BINARY_CHECK))
		return LANG_NONE;
	source_language language = name ? by_name(name) : LANG_NONE;
	if (language != LANG_NONE || size == 0)
		return language;
	const char *eol = static_cast<const char *>(memchr(content, '\n', size));
	language = by_shebang(content, eol ? eol : content + size);
	if (language != LANG_NONE)
		return language;
	language = first_lines(content, size);
	return language != LANG_NONE ? language : last_lines(content, size);
}
