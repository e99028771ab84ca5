// The coloured spans of a file page: tree-sitter parses the blob with its
// language's grammar and the grammar's highlight query names the nodes;
// the names become the page's classes, innermost node first. The patterns
// that name a node type alone are read into a table by symbol, and a walk
// over the tree takes their classes from it: the query cursor runs only
// the patterns that need it.
#include "site.h"

#include <tree_sitter/api.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <regex.h>
#include <string>
#include <vector>

extern "C" {
const TSLanguage *tree_sitter_c(void);
const TSLanguage *tree_sitter_cpp(void);
const TSLanguage *tree_sitter_bash(void);
const TSLanguage *tree_sitter_python(void);
const TSLanguage *tree_sitter_javascript(void);
const TSLanguage *tree_sitter_typescript(void);
const TSLanguage *tree_sitter_tsx(void);
const TSLanguage *tree_sitter_go(void);
const TSLanguage *tree_sitter_rust(void);
const TSLanguage *tree_sitter_java(void);
const TSLanguage *tree_sitter_json(void);
const TSLanguage *tree_sitter_yaml(void);
const TSLanguage *tree_sitter_toml(void);
const TSLanguage *tree_sitter_html(void);
const TSLanguage *tree_sitter_css(void);
const TSLanguage *tree_sitter_make(void);
const TSLanguage *tree_sitter_markdown(void);
}

// The grammars' highlight queries, embedded by the build (CMakeLists.txt
// generates highlight_queries.cpp from .deps/install/share/tree-sitter),
// indexed by source_language.
extern const char *const highlight_query_text[LANG_MARKDOWN + 1];
extern const uint32_t highlight_query_size[LANG_MARKDOWN + 1];

// Past these a page is written plain: a file larger than a person reads
// with colours, a tree deeper than any real source (the walks over it
// would take long), or a parse or query slower than a page is worth. The
// time is the thread's processor time, so that a busy machine colours the
// same files as an idle one.
static const size_t HIGHLIGHT_MAX_SIZE = 2u << 20;
// Real sources nest deep too: a chain of a thousand "else if" or "+" is a
// tree two thousand deep.
static const uint32_t HIGHLIGHT_MAX_DEPTH = 4000;
static const long HIGHLIGHT_MAX_MILLISECONDS = 2000;
// The clock is read on every this many of the parser's and the query's
// progress calls (each after about 100 steps): reading it is a system call.
static const unsigned HIGHLIGHT_CLOCK_EVERY = 8;
// A file is judged by its first bytes: at least these, up to a line that
// starts at the top level (see slice_size). When more than a quarter of
// them are tokens the parser could place nowhere (left bare in an ERROR
// node), the text only looks like the language (generated or garbled
// text, another language under the name) and the page is written plain.
// Error recovery is the parser's slowest work, so such a file costs its
// slice and not its whole length; a real file with a syntax error keeps
// most of its tokens in place.
static const size_t HIGHLIGHT_SLICE = 256;
// Past this without a line to cut at, the whole file is judged.
static const size_t HIGHLIGHT_SLICE_MAX = 8192;
// Matches in progress at once: bounds the query's memory on odd input.
static const uint32_t HIGHLIGHT_MATCH_LIMIT = 256;

// A capture the classes ignore: it neither colours nor claims its node
// (make's @clean, only there for a predicate).
static const unsigned char CAPTURE_IGNORED = 0xff;

enum predicate_kind : unsigned char { PREDICATE_EQ, PREDICATE_MATCH, PREDICATE_ANY_OF };

// One #eq?, #match? or #any-of? (or their #not- forms) of a pattern.
struct query_predicate {
	predicate_kind kind;
	bool negated;
	uint32_t capture;
	uint32_t other_capture;         // #eq? @a @b; UINT32_MAX for a string
	std::vector<std::string> words; // #eq?'s string, #any-of?'s strings
	size_t regex;                   // #match?: index in language_query.regexes
};

// What the patterns that name a node type alone ("(comment) @comment",
// "[\"if\" \"else\"] @keyword") give the nodes of one symbol: the pattern
// that wins among them, as collect_captures ranks patterns.
struct symbol_class {
	unsigned char kind; // CAPTURE_IGNORED: no such pattern names the symbol
	bool generic;
	uint16_t pattern;
};

// A language's compiled query; made once, on first use, then only read.
struct language_query {
	std::once_flag once;
	TSQuery *query;                          // null: the language cannot be highlighted
	std::vector<unsigned char> capture_class; // by capture id
	std::vector<std::vector<query_predicate>> predicates; // by pattern
	std::vector<bool> generic;               // by pattern: a bare "(node) @name"
	std::vector<regex_t> regexes;
	std::vector<symbol_class> symbol_classes; // by node symbol; those patterns disabled in the query
	uint32_t cursor_patterns;                // patterns the query cursor still runs
};

// Kept for the whole process, never destroyed: threads may read them until
// the end, and a static array's destructors at exit would free the
// regexes' vector but not what regcomp allocated behind it.
static language_query *const language_queries = new language_query[LANG_MARKDOWN + 1];

static const TSLanguage *language_grammar(source_language language)
{
	switch (language) {
	case LANG_C: return tree_sitter_c();
	case LANG_CPP: return tree_sitter_cpp();
	case LANG_SHELL: return tree_sitter_bash();
	case LANG_PYTHON: return tree_sitter_python();
	case LANG_JAVASCRIPT: return tree_sitter_javascript();
	case LANG_TYPESCRIPT: return tree_sitter_typescript();
	case LANG_TSX: return tree_sitter_tsx();
	case LANG_GO: return tree_sitter_go();
	case LANG_RUST: return tree_sitter_rust();
	case LANG_JAVA: return tree_sitter_java();
	case LANG_JSON: return tree_sitter_json();
	case LANG_YAML: return tree_sitter_yaml();
	case LANG_TOML: return tree_sitter_toml();
	case LANG_HTML: return tree_sitter_html();
	case LANG_CSS: return tree_sitter_css();
	case LANG_MAKE: return tree_sitter_make();
	case LANG_MARKDOWN: return tree_sitter_markdown();
	case LANG_NONE: break;
	}
	return nullptr;
}

// The capture names' first components and their classes; the older names
// some grammars still use count as their newer ones, and Markdown's "text"
// names as what a reader sees them as. "none" claims its node without
// colour (code in a fence stays plain).
static const struct {
	const char *name;
	highlight_class kind;
} CAPTURE_NAMES[] = {
	{"keyword", HL_KEYWORD}, {"conditional", HL_KEYWORD}, {"repeat", HL_KEYWORD},
	{"include", HL_KEYWORD}, {"exception", HL_KEYWORD}, {"text.title", HL_KEYWORD},
	{"type", HL_TYPE}, {"constructor", HL_TYPE}, {"namespace", HL_TYPE},
	{"function", HL_FUNCTION}, {"method", HL_FUNCTION},
	{"string", HL_STRING}, {"escape", HL_STRING}, {"character", HL_STRING},
	{"text.literal", HL_STRING}, {"text.uri", HL_STRING},
	{"number", HL_NUMBER}, {"float", HL_NUMBER},
	{"comment", HL_COMMENT},
	{"constant", HL_CONSTANT}, {"boolean", HL_CONSTANT},
	{"operator", HL_OPERATOR},
	{"punctuation", HL_PUNCTUATION}, {"delimiter", HL_PUNCTUATION},
	{"variable", HL_VARIABLE}, {"parameter", HL_VARIABLE},
	{"property", HL_PROPERTY}, {"field", HL_PROPERTY},
	{"attribute", HL_ATTRIBUTE},
	{"tag", HL_TAG},
	{"none", HL_NONE},
};

// A capture name's class, by its first component ("keyword.function" is a
// keyword).
static unsigned char capture_name_class(const char *name, uint32_t length)
{
	for (const auto &n : CAPTURE_NAMES) {
		size_t len = strlen(n.name);
		if (length >= len && memcmp(name, n.name, len) == 0 && (length == len || name[len] == '.'))
			return n.kind;
	}
	return CAPTURE_IGNORED;
}

// The query's regular expressions are Rust's; POSIX extended ones read
// them once \d, \w and \s are spelled out and other escapes inside a
// bracket are dropped (a backslash is literal there).
static std::string posix_regex(const char *text, uint32_t length)
{
	std::string out;
	bool bracket = false;
	for (uint32_t i = 0; i < length; i++) {
		char c = text[i];
		if (c == '\\' && i + 1 < length) {
			char e = text[++i];
			const char *set = e == 'd' ? "0-9" : e == 'w' ? "A-Za-z0-9_" : e == 's' ? "[:space:]" : nullptr;
			if (set)
				out += bracket ? std::string(set) : "[" + std::string(set) + "]";
			else if (bracket)
				out += e;
			else
				out += std::string("\\") + e;
			continue;
		}
		if (c == '[' && !bracket)
			bracket = true;
		else if (c == ']' && bracket && out.back() != '[')
			bracket = false;
		out += c;
	}
	return out;
}

// The predicate the steps of one #name? give, or -1 for one that is not
// supported (#lua-match?, whose Lua patterns regcomp does not read, and any
// other): its pattern is then disabled. #set!, #is? and #is-not?
// (properties, local-variable tests) are read as always true.
static int predicate_read(language_query *lq, const TSQueryPredicateStep *steps, uint32_t n,
			  std::vector<query_predicate> *out)
{
	uint32_t len;
	const char *name = ts_query_string_value_for_id(lq->query, steps[0].value_id, &len);
	std::string op(name, len);
	if (op == "set!" || op == "is?" || op == "is-not?")
		return 0;
	query_predicate p{};
	p.negated = op.compare(0, 4, "not-") == 0;
	std::string base = p.negated ? op.substr(4) : op;
	if (base == "eq?")
		p.kind = PREDICATE_EQ;
	else if (base == "match?")
		p.kind = PREDICATE_MATCH;
	else if (base == "any-of?")
		p.kind = PREDICATE_ANY_OF;
	else
		return -1;
	if (n < 3 || steps[1].type != TSQueryPredicateStepTypeCapture)
		return -1;
	p.capture = steps[1].value_id;
	p.other_capture = UINT32_MAX;
	for (uint32_t i = 2; i < n; i++) {
		if (steps[i].type == TSQueryPredicateStepTypeCapture) {
			if (p.kind != PREDICATE_EQ || n != 3)
				return -1;
			p.other_capture = steps[i].value_id;
			continue;
		}
		const char *word = ts_query_string_value_for_id(lq->query, steps[i].value_id, &len);
		p.words.emplace_back(word, len);
	}
	if (p.kind != PREDICATE_ANY_OF && p.other_capture == UINT32_MAX && p.words.size() != 1)
		return -1;
	if (p.kind == PREDICATE_MATCH) {
		regex_t re;
		std::string posix = posix_regex(p.words[0].data(), static_cast<uint32_t>(p.words[0].size()));
		if (regcomp(&re, posix.c_str(), REG_EXTENDED | REG_NOSUB) != 0)
			return -1;
		p.regex = lq->regexes.size();
		lq->regexes.push_back(re);
	}
	out->push_back(std::move(p));
	return 0;
}

// False when the pattern has a predicate that is not supported: the
// pattern is then disabled.
static bool pattern_predicates_read(language_query *lq, uint32_t pattern)
{
	uint32_t count;
	const TSQueryPredicateStep *steps = ts_query_predicates_for_pattern(lq->query, pattern, &count);
	std::vector<query_predicate> &list = lq->predicates[pattern];
	uint32_t start = 0;
	for (uint32_t i = 0; i < count; i++) {
		if (steps[i].type != TSQueryPredicateStepTypeDone)
			continue;
		if (i == start || steps[start].type != TSQueryPredicateStepTypeString ||
		    predicate_read(lq, steps + start, i - start, &list) != 0) {
			ts_query_disable_pattern(lq->query, pattern);
			list.clear();
			return false;
		}
		start = i + 1;
	}
	return true;
}

// "(identifier) @variable": a node type alone, captured without context or
// predicate. The grammars disagree on where they put these: most first, as
// a default that later patterns refine (C, Python, JavaScript), some last,
// as a fallback (Go). Any other pattern for the node wins over them, so
// both orders read as their authors meant.
static bool pattern_generic(const char *text, uint32_t length)
{
	uint32_t i = 0;
	while (i < length && isspace(static_cast<unsigned char>(text[i])))
		i++;
	if (i == length || text[i++] != '(')
		return false;
	while (i < length && (isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_'))
		i++;
	if (i == length || text[i++] != ')')
		return false;
	for (; i < length; i++)
		if (text[i] == '(' || text[i] == '#' || text[i] == '[' || text[i] == '"')
			return false;
	return true;
}

static void blank_skip(const char *text, uint32_t length, uint32_t *i)
{
	while (*i < length) {
		if (text[*i] == ';')
			while (*i < length && text[*i] != '\n')
				++*i;
		else if (isspace(static_cast<unsigned char>(text[*i])))
			++*i;
		else
			return;
	}
}

// One node of a pattern that names node types alone, "(name)" or "\"word\""
// (without escapes), as the grammar's symbol for it: the one the query
// compiles it to, so that the walk finds the nodes the query would. 0 for
// anything else (a wildcard, ERROR, a supertype).
static TSSymbol named_node(const TSLanguage *grammar, const char *text, uint32_t length, uint32_t *i)
{
	bool named = text[*i] == '(';
	if (!named && text[*i] != '"')
		return 0;
	char close = named ? ')' : '"';
	uint32_t start = ++*i;
	for (; *i < length && text[*i] != close; ++*i) {
		unsigned char c = static_cast<unsigned char>(text[*i]);
		if (named ? !isalnum(c) && c != '_' : c == '\\')
			return 0;
	}
	if (*i == length || *i == start || (named && *i - start == 1 && text[start] == '_'))
		return 0;
	TSSymbol symbol = ts_language_symbol_for_name(grammar, text + start, *i - start, named);
	++*i;
	TSSymbolType want = named ? TSSymbolTypeRegular : TSSymbolTypeAnonymous;
	if (symbol == 0 || symbol >= ts_language_symbol_count(grammar) ||
	    ts_language_symbol_type(grammar, symbol) != want)
		return 0;
	return symbol;
}

// "(comment) @comment", "\"if\" @keyword" or "[(true) (false)] @boolean":
// node types alone, without field, parent, quantifier or predicate, and one
// capture; their symbols and the capture's class. Anything else is left to
// the query cursor.
static bool pattern_names_types(const TSLanguage *grammar, const char *text, uint32_t length,
				std::vector<TSSymbol> *symbols, unsigned char *kind)
{
	symbols->clear();
	uint32_t i = 0;
	blank_skip(text, length, &i);
	bool list = i < length && text[i] == '[';
	if (list)
		i++;
	for (;;) {
		blank_skip(text, length, &i);
		if (i == length)
			return false;
		if (list && text[i] == ']' && !symbols->empty()) {
			i++;
			break;
		}
		TSSymbol symbol = named_node(grammar, text, length, &i);
		if (!symbol)
			return false;
		symbols->push_back(symbol);
		if (!list)
			break;
	}
	blank_skip(text, length, &i);
	if (i == length || text[i] != '@')
		return false;
	uint32_t start = ++i;
	while (i < length && (isalnum(static_cast<unsigned char>(text[i])) || strchr("_.-", text[i])))
		i++;
	if (i == start)
		return false;
	*kind = capture_name_class(text + start, i - start);
	blank_skip(text, length, &i);
	return i == length;
}

// A pattern that names node types alone leaves the query for the table.
// Its class goes to each symbol it names unless a pattern already there
// outranks it: the rule collect_captures applies to one node's captures.
static void symbol_classes_add(language_query *lq, uint32_t pattern, const std::vector<TSSymbol> &symbols,
			       unsigned char kind)
{
	ts_query_disable_pattern(lq->query, pattern);
	if (kind == CAPTURE_IGNORED)
		return;
	bool generic = lq->generic[pattern];
	for (TSSymbol symbol : symbols) {
		symbol_class *c = &lq->symbol_classes[symbol];
		if (c->kind == CAPTURE_IGNORED || generic <= c->generic)
			*c = {kind, generic, static_cast<uint16_t>(pattern)};
	}
}

// Compiles the language's query; on any failure (a grammar whose ABI the
// library does not read, a query the grammar rejects) the language stays
// without one and its pages are written plain.
static void language_query_make(language_query *lq, source_language language)
{
	const TSLanguage *grammar = language_grammar(language);
	if (!grammar)
		return;
	uint32_t abi = ts_language_abi_version(grammar);
	if (abi < TREE_SITTER_MIN_COMPATIBLE_LANGUAGE_VERSION || abi > TREE_SITTER_LANGUAGE_VERSION)
		return;
	uint32_t error_offset;
	TSQueryError error;
	lq->query = ts_query_new(grammar, highlight_query_text[language], highlight_query_size[language],
				 &error_offset, &error);
	if (!lq->query)
		return;
	uint32_t captures = ts_query_capture_count(lq->query);
	for (uint32_t i = 0; i < captures; i++) {
		uint32_t len;
		const char *name = ts_query_capture_name_for_id(lq->query, i, &len);
		lq->capture_class.push_back(capture_name_class(name, len));
	}
	uint32_t patterns = ts_query_pattern_count(lq->query);
	lq->predicates.resize(patterns);
	lq->symbol_classes.assign(ts_language_symbol_count(grammar), {CAPTURE_IGNORED, false, 0});
	const char *text = highlight_query_text[language];
	std::vector<TSSymbol> symbols;
	for (uint32_t i = 0; i < patterns; i++) {
		bool enabled = pattern_predicates_read(lq, i);
		uint32_t start = ts_query_start_byte_for_pattern(lq->query, i);
		uint32_t end = ts_query_end_byte_for_pattern(lq->query, i);
		lq->generic.push_back(pattern_generic(text + start, end - start));
		uint32_t predicate_steps;
		ts_query_predicates_for_pattern(lq->query, i, &predicate_steps);
		unsigned char kind;
		if (enabled && predicate_steps == 0 && i <= UINT16_MAX &&
		    pattern_names_types(grammar, text + start, end - start, &symbols, &kind))
			symbol_classes_add(lq, i, symbols, kind);
		else if (enabled)
			lq->cursor_patterns++;
	}
}

static const language_query *language_query_get(source_language language)
{
	if (language == LANG_NONE || language > LANG_MARKDOWN)
		return nullptr;
	language_query *lq = &language_queries[language];
	std::call_once(lq->once, language_query_make, lq, language);
	return lq->query ? lq : nullptr;
}

// What a parse or query of one call works on: the bytes, the deadline,
// and the progress calls since the clock was last read.
struct highlight_run {
	const char *content;
	size_t size;
	struct timespec deadline;
	unsigned calls;
};

// A node of the tree with text, as the walk from the root meets it: outer
// first, then by start, so that of two nodes with one range the later is
// the inner. Its class is the one its winning capture gave it.
struct walked_node {
	const void *id;
	uint32_t start;
	uint32_t end;
	uint16_t pattern;
	unsigned char kind; // CAPTURE_IGNORED: not captured
	bool generic;       // from a bare "(node) @name" pattern
};

// What a thread keeps between its calls: made on the first, reset after
// each, released by highlighter_free.
struct highlight_work {
	TSParser *parser;
	TSQueryCursor *cursor;
	std::vector<walked_node> nodes; // kept for its capacity
	std::vector<uint32_t> error_depths;
};

static bool run_expired(const highlight_run *run)
{
	struct timespec now;
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
	return now.tv_sec > run->deadline.tv_sec ||
	       (now.tv_sec == run->deadline.tv_sec && now.tv_nsec >= run->deadline.tv_nsec);
}

static bool run_progress(highlight_run *run)
{
	return ++run->calls % HIGHLIGHT_CLOCK_EVERY == 0 && run_expired(run);
}

static bool parse_progress(TSParseState *state)
{
	return run_progress(static_cast<highlight_run *>(state->payload));
}

static bool query_progress(TSQueryCursorState *state)
{
	return run_progress(static_cast<highlight_run *>(state->payload));
}

static const char *input_read(void *payload, uint32_t byte, TSPoint, uint32_t *bytes_read)
{
	const highlight_run *run = static_cast<const highlight_run *>(payload);
	if (byte >= run->size) {
		*bytes_read = 0;
		return "";
	}
	*bytes_read = static_cast<uint32_t>(run->size - byte);
	return run->content + byte;
}

// Null when the parse is given up (the deadline): the parser is then reset,
// or it would resume that parse on the next call.
static TSTree *parse(highlight_run *run, highlight_work *work, source_language language)
{
	const TSLanguage *grammar = language_grammar(language);
	if (ts_parser_language(work->parser) != grammar && !ts_parser_set_language(work->parser, grammar))
		return nullptr;
	TSInput input = {run, input_read, TSInputEncodingUTF8, nullptr};
	TSParseOptions options = {run, parse_progress};
	TSTree *tree = ts_parser_parse_with_options(work->parser, nullptr, input, options);
	if (!tree)
		ts_parser_reset(work->parser);
	return tree;
}

// Every node with text, each with the class the table gives its symbol,
// and the bytes of the tokens the parser could place nowhere: leaves right
// under an ERROR node but comments, or an ERROR node without children
// (a comment in a block the cut left open is in place). -1 when a path
// from the root is deeper than the limit (the walk goes by the cursor,
// without recursion).
static int tree_walk(const language_query *lq, TSTree *tree, highlight_work *work, uint32_t *stray_bytes)
{
	static const TSSymbol ERROR_SYMBOL = UINT16_MAX;
	TSTreeCursor cursor = ts_tree_cursor_new(ts_tree_root_node(tree));
	uint32_t depth = 0;
	int status = 0;
	work->nodes.clear();
	work->error_depths.clear(); // of the ERROR nodes the walk is in
	*stray_bytes = 0;
	for (;;) {
		TSNode node = ts_tree_cursor_current_node(&cursor);
		uint32_t start = ts_node_start_byte(node), end = ts_node_end_byte(node);
		TSSymbol symbol = ts_node_symbol(node);
		if (start < end) {
			symbol_class c = symbol < lq->symbol_classes.size() ? lq->symbol_classes[symbol]
									     : symbol_class{CAPTURE_IGNORED, false, 0};
			work->nodes.push_back({node.id, start, end, c.pattern, c.kind, c.generic});
		}
		if (symbol == ERROR_SYMBOL)
			work->error_depths.push_back(depth);
		if (ts_tree_cursor_goto_first_child(&cursor)) {
			if (++depth > HIGHLIGHT_MAX_DEPTH) {
				status = -1;
				break;
			}
			continue;
		}
		if (!work->error_depths.empty() && work->error_depths.back() + 1 >= depth && !ts_node_is_extra(node))
			*stray_bytes += end - start;
		while (!ts_tree_cursor_goto_next_sibling(&cursor)) {
			if (!ts_tree_cursor_goto_parent(&cursor))
				goto done;
			depth--;
		}
		while (!work->error_depths.empty() && work->error_depths.back() >= depth)
			work->error_depths.pop_back();
	}
done:
	ts_tree_cursor_delete(&cursor);
	return status;
}

static const TSNode *match_capture(const TSQueryMatch *match, uint32_t capture)
{
	for (uint16_t i = 0; i < match->capture_count; i++)
		if (match->captures[i].index == capture)
			return &match->captures[i].node;
	return nullptr;
}

static bool node_text_is(const char *content, TSNode node, const char *text, size_t length)
{
	uint32_t start = ts_node_start_byte(node), end = ts_node_end_byte(node);
	return end - start == length && memcmp(content + start, text, length) == 0;
}

// A capture the match does not hold (an optional one) passes.
static bool predicate_holds(const language_query *lq, const query_predicate *p, const TSQueryMatch *match,
			    const char *content)
{
	const TSNode *node = match_capture(match, p->capture);
	if (!node)
		return true;
	uint32_t start = ts_node_start_byte(*node), end = ts_node_end_byte(*node);
	bool holds = false;
	if (p->kind == PREDICATE_MATCH) {
		// A copy, not REG_STARTEND: glibc's ^ does not match at its start.
		std::string text(content + start, end - start);
		holds = regexec(&lq->regexes[p->regex], text.c_str(), 0, nullptr, 0) == 0;
	} else if (p->other_capture != UINT32_MAX) {
		const TSNode *other = match_capture(match, p->other_capture);
		holds = !other || node_text_is(content, *other, content + start, end - start);
	} else {
		for (const std::string &w : p->words)
			holds = holds || node_text_is(content, *node, w.data(), w.size());
	}
	return holds != p->negated;
}

static bool match_holds(const language_query *lq, const TSQueryMatch *match, const char *content)
{
	for (const query_predicate &p : lq->predicates[match->pattern_index])
		if (!predicate_holds(lq, &p, match, content))
			return false;
	return true;
}

// The walked node a capture names: among those that start where it does.
static walked_node *walked_find(std::vector<walked_node> *nodes, uint32_t start, const void *id)
{
	auto at = std::lower_bound(nodes->begin(), nodes->end(), start,
				   [](const walked_node &n, uint32_t s) { return n.start < s; });
	for (; at != nodes->end() && at->start == start; ++at)
		if (at->id == id)
			return &*at;
	return nullptr;
}

// The captures of the patterns the table does not hold, each given to its
// node. The query hands a node's captures in pattern order and, as
// tree-sitter's own highlighter does, the last pattern wins (queries put
// the refinements after the defaults); but a bare pattern never wins over
// one with more to say, whatever their order.
static int collect_captures(highlight_run *run, const language_query *lq, TSQueryCursor *cursor, TSTree *tree,
			    std::vector<walked_node> *nodes)
{
	TSQueryCursorOptions options = {run, query_progress};
	ts_query_cursor_exec_with_options(cursor, lq->query, ts_tree_root_node(tree), &options);
	TSQueryMatch match;
	uint32_t index;
	while (ts_query_cursor_next_capture(cursor, &match, &index)) {
		if (!match_holds(lq, &match, run->content)) {
			ts_query_cursor_remove_match(cursor, match.id);
			continue;
		}
		TSNode node = match.captures[index].node;
		unsigned char kind = lq->capture_class[match.captures[index].index];
		uint32_t start = ts_node_start_byte(node), end = ts_node_end_byte(node);
		if (kind == CAPTURE_IGNORED || start >= end)
			continue;
		walked_node *n = walked_find(nodes, start, node.id);
		if (!n)
			continue;
		bool generic = lq->generic[match.pattern_index];
		if (n->kind == CAPTURE_IGNORED || generic < n->generic ||
		    (generic == n->generic && match.pattern_index >= n->pattern)) {
			n->kind = kind;
			n->generic = generic;
			n->pattern = static_cast<uint16_t>(match.pattern_index);
		}
	}
	return run_expired(run) ? -1 : 0;
}

// Appends [start, end) of kind, merged with the last span when they touch
// and agree.
static void span_emit(std::vector<highlight_span> *spans, uint32_t start, uint32_t end, unsigned char kind)
{
	if (start >= end || kind == HL_NONE)
		return;
	if (!spans->empty() && spans->back().end == start && spans->back().kind == kind) {
		spans->back().end = end;
		return;
	}
	spans->push_back({start, end, static_cast<highlight_class>(kind)});
}

// One node whose class is in force, and where it ends.
struct open_node {
	uint32_t end;
	unsigned char kind;
};

// Flattens the nested nodes: every byte takes the class of the innermost
// captured node over it. The walk's order is outer first, then by start; a
// stack holds the open nodes.
static void flatten(const std::vector<walked_node> &nodes, std::vector<highlight_span> *spans)
{
	std::vector<open_node> open;
	uint32_t pos = 0;
	for (const walked_node &n : nodes) {
		if (n.kind == CAPTURE_IGNORED)
			continue;
		while (!open.empty() && open.back().end <= n.start) {
			span_emit(spans, pos, open.back().end, open.back().kind);
			pos = open.back().end;
			open.pop_back();
		}
		uint32_t end = n.end;
		if (!open.empty()) {
			span_emit(spans, pos, n.start, open.back().kind);
			end = std::min(end, open.back().end);
		}
		pos = n.start;
		open.push_back({end, n.kind});
	}
	while (!open.empty()) {
		span_emit(spans, pos, open.back().end, open.back().kind);
		pos = open.back().end;
		open.pop_back();
	}
}

static int spans_copy(const std::vector<highlight_span> &list, highlight_span **spans, size_t *count)
{
	*spans = static_cast<highlight_span *>(malloc((list.size() ? list.size() : 1) * sizeof **spans));
	if (!*spans)
		return -1;
	if (!list.empty())
		memcpy(*spans, list.data(), list.size() * sizeof **spans);
	*count = list.size();
	return 0;
}

static highlight_work *highlighter_work(highlighter *h)
{
	if (!h->work) {
		h->work = new highlight_work{};
		h->work->parser = ts_parser_new();
		h->work->cursor = ts_query_cursor_new();
		ts_query_cursor_set_match_limit(h->work->cursor, HIGHLIGHT_MATCH_LIMIT);
	}
	return h->work;
}

void highlighter_free(highlighter *h)
{
	if (!h->work)
		return;
	ts_query_cursor_delete(h->work->cursor);
	ts_parser_delete(h->work->parser);
	delete h->work;
	h->work = nullptr;
}

// Where a scan for prose blocks stands: a triple-quoted string (Python's
// docstrings) or a "/*" comment, whose text would parse as errors. Other
// strings and comments are not told apart: a quote or a comment mark
// inside them may mislead this, and only moves the cut.
struct prose_scan {
	size_t at; // the next byte to look at
	enum { CODE, DOUBLE, SINGLE, COMMENT } in;
};

// Whether [0, end) leaves a prose block open, the scan going on from where
// the last call left it: the cuts are tried in order, and each is a line's
// start, so no mark straddles the previous end.
static bool prose_open(prose_scan *scan, const char *content, size_t end)
{
	size_t i = scan->at;
	for (; i + 1 < end; i++) {
		char c = content[i], next = content[i + 1];
		bool triple = i + 2 < end && next == c && content[i + 2] == c;
		if (scan->in == prose_scan::CODE && c == '/' && next == '*')
			scan->in = prose_scan::COMMENT;
		else if (scan->in == prose_scan::COMMENT && c == '*' && next == '/')
			scan->in = prose_scan::CODE;
		else if (triple && c == '"' && (scan->in == prose_scan::CODE || scan->in == prose_scan::DOUBLE))
			scan->in = scan->in == prose_scan::CODE ? prose_scan::DOUBLE : prose_scan::CODE, i++;
		else if (triple && c == '\'' && (scan->in == prose_scan::CODE || scan->in == prose_scan::SINGLE))
			scan->in = scan->in == prose_scan::CODE ? prose_scan::SINGLE : prose_scan::CODE, i++;
		else
			continue;
		i++;
	}
	scan->at = i;
	return scan->in != prose_scan::CODE;
}

// The first bytes a file is judged by: the slice, then up to the next line
// that starts with a letter, outside a prose block. Such a line is most
// often at the top level (a declaration, a statement), so the cut seldom
// leaves a comment, a string or a block open, which would read as errors.
// The whole file when there is none.
static size_t slice_size(const char *content, size_t size)
{
	prose_scan scan = {0, prose_scan::CODE};
	size_t at = HIGHLIGHT_SLICE;
	while (at < size && at < HIGHLIGHT_SLICE_MAX) {
		const char *eol = static_cast<const char *>(memchr(content + at, '\n', size - at));
		if (!eol)
			break;
		at = static_cast<size_t>(eol - content) + 1;
		if (at < size && isalpha(static_cast<unsigned char>(content[at])) && !prose_open(&scan, content, at))
			return at;
	}
	return size;
}

// The tree of the first `length` bytes, walked; null when it cannot be
// made or walked, or, for a file, when its bytes are mostly errors.
static TSTree *parse_walked(highlight_run *run, highlight_work *work, const language_query *lq,
			    source_language language, highlight_text text, size_t length)
{
	highlight_run part = *run;
	part.size = length;
	TSTree *tree = parse(&part, work, language);
	run->calls = part.calls;
	uint32_t stray_bytes;
	if (tree && (tree_walk(lq, tree, work, &stray_bytes) != 0 ||
		     (text == HIGHLIGHT_FILE && stray_bytes > length / 4))) {
		ts_tree_delete(tree);
		tree = nullptr;
	}
	return tree;
}

int highlight_spans(highlighter *h, source_language language, const char *content, size_t size,
		    highlight_text text, highlight_span **spans, size_t *count)
{
	*spans = nullptr;
	*count = 0;
	if (size > HIGHLIGHT_MAX_SIZE)
		return -1;
	const language_query *lq = language_query_get(language);
	if (!lq)
		return -1;
	highlight_work *work = highlighter_work(h);
	highlight_run run = {content, size, {}, 0};
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &run.deadline);
	run.deadline.tv_sec += HIGHLIGHT_MAX_MILLISECONDS / 1000;
	run.deadline.tv_nsec += HIGHLIGHT_MAX_MILLISECONDS % 1000 * 1000000;
	if (run.deadline.tv_nsec >= 1000000000) {
		run.deadline.tv_sec++;
		run.deadline.tv_nsec -= 1000000000;
	}
	size_t judged = text == HIGHLIGHT_FILE ? slice_size(content, size) : size;
	TSTree *tree = parse_walked(&run, work, lq, language, text, judged);
	if (tree && judged < size) {
		ts_tree_delete(tree);
		tree = parse_walked(&run, work, lq, language, HIGHLIGHT_FRAGMENT, size);
	}
	if (!tree)
		return -1;
	int status = lq->cursor_patterns ? collect_captures(&run, lq, work->cursor, tree, &work->nodes) : 0;
	ts_tree_delete(tree);
	if (status != 0)
		return -1;
	std::vector<highlight_span> list;
	flatten(work->nodes, &list);
	return spans_copy(list, spans, count);
}
