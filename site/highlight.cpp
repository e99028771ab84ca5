// The coloured spans of a file page: tree-sitter parses the blob with its
// language's grammar and the grammar's highlight query names the nodes;
// the names become the page's classes, innermost node first.
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

// A language's compiled query; made once, on first use, then only read.
struct language_query {
	std::once_flag once;
	TSQuery *query;                          // null: the language cannot be highlighted
	std::vector<unsigned char> capture_class; // by capture id
	std::vector<std::vector<query_predicate>> predicates; // by pattern
	std::vector<bool> generic;               // by pattern: a bare "(node) @name"
	std::vector<regex_t> regexes;
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

static void pattern_predicates_read(language_query *lq, uint32_t pattern)
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
			return;
		}
		start = i + 1;
	}
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
	const char *text = highlight_query_text[language];
	for (uint32_t i = 0; i < patterns; i++) {
		pattern_predicates_read(lq, i);
		uint32_t start = ts_query_start_byte_for_pattern(lq->query, i);
		uint32_t end = ts_query_end_byte_for_pattern(lq->query, i);
		lq->generic.push_back(pattern_generic(text + start, end - start));
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

// What a parse or query of one call works on: the bytes and the deadline.
struct highlight_run {
	const char *content;
	size_t size;
	struct timespec deadline;
};

static bool run_expired(const highlight_run *run)
{
	struct timespec now;
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
	return now.tv_sec > run->deadline.tv_sec ||
	       (now.tv_sec == run->deadline.tv_sec && now.tv_nsec >= run->deadline.tv_nsec);
}

static bool parse_progress(TSParseState *state)
{
	return run_expired(static_cast<const highlight_run *>(state->payload));
}

static bool query_progress(TSQueryCursorState *state)
{
	return run_expired(static_cast<const highlight_run *>(state->payload));
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

// True when no path from the root is deeper than the limit; the walk goes
// by the cursor, without recursion.
static bool tree_depth_within(TSTree *tree, uint32_t limit)
{
	TSTreeCursor cursor = ts_tree_cursor_new(ts_tree_root_node(tree));
	uint32_t depth = 0;
	bool within = true;
	for (;;) {
		if (ts_tree_cursor_goto_first_child(&cursor)) {
			if (++depth > limit) {
				within = false;
				break;
			}
			continue;
		}
		while (!ts_tree_cursor_goto_next_sibling(&cursor)) {
			if (!ts_tree_cursor_goto_parent(&cursor))
				goto done;
			depth--;
		}
	}
done:
	ts_tree_cursor_delete(&cursor);
	return within;
}

static TSTree *parse(const highlight_run *run, source_language language)
{
	TSParser *parser = ts_parser_new();
	TSTree *tree = nullptr;
	if (ts_parser_set_language(parser, language_grammar(language))) {
		TSInput input = {const_cast<highlight_run *>(run), input_read, TSInputEncodingUTF8, nullptr};
		TSParseOptions options = {const_cast<highlight_run *>(run), parse_progress};
		tree = ts_parser_parse_with_options(parser, nullptr, input, options);
	}
	ts_parser_delete(parser);
	if (tree && !tree_depth_within(tree, HIGHLIGHT_MAX_DEPTH)) {
		ts_tree_delete(tree);
		tree = nullptr;
	}
	return tree;
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

// One node's class, as the pattern that won it gave it.
struct node_class {
	uint32_t start;
	uint32_t end;
	uint32_t order; // arrival: of two nodes with one range, the later is the inner
	unsigned char kind;
	bool generic;   // from a bare "(node) @name" pattern
};

// A node claimed at the current start byte, and where its class is.
struct claimed_node {
	const void *id;
	size_t index;
};

// The captured nodes, each once. The query hands a node's captures in
// pattern order and, as tree-sitter's own highlighter does, the last
// pattern wins (queries put the refinements after the defaults); but a bare
// pattern never wins over one with more to say, whatever their order.
static int collect_captures(const highlight_run *run, const language_query *lq, TSTree *tree,
			    std::vector<node_class> *nodes)
{
	TSQueryCursor *cursor = ts_query_cursor_new();
	ts_query_cursor_set_match_limit(cursor, HIGHLIGHT_MATCH_LIMIT);
	TSQueryCursorOptions options = {const_cast<highlight_run *>(run), query_progress};
	ts_query_cursor_exec_with_options(cursor, lq->query, ts_tree_root_node(tree), &options);
	std::vector<claimed_node> seen;
	uint32_t seen_at = UINT32_MAX;
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
		if (start != seen_at) {
			seen.clear();
			seen_at = start;
		}
		bool generic = lq->generic[match.pattern_index];
		auto claimed = std::find_if(seen.begin(), seen.end(),
					    [&](const claimed_node &c) { return c.id == node.id; });
		if (claimed == seen.end()) {
			seen.push_back({node.id, nodes->size()});
			nodes->push_back({start, end, static_cast<uint32_t>(nodes->size()), kind, generic});
		} else if (generic <= (*nodes)[claimed->index].generic) {
			(*nodes)[claimed->index].kind = kind;
			(*nodes)[claimed->index].generic = generic;
		}
	}
	int status = run_expired(run) ? -1 : 0;
	ts_query_cursor_delete(cursor);
	return status;
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

// Flattens the nested nodes: every byte takes the class of the innermost
// node over it. Nodes come outer first; a stack holds the open ones.
static void flatten(std::vector<node_class> *nodes, std::vector<highlight_span> *spans)
{
	std::sort(nodes->begin(), nodes->end(), [](const node_class &a, const node_class &b) {
		if (a.start != b.start)
			return a.start < b.start;
		if (a.end != b.end)
			return a.end > b.end;
		return a.order < b.order;
	});
	std::vector<node_class> open;
	uint32_t pos = 0;
	for (node_class n : *nodes) {
		while (!open.empty() && open.back().end <= n.start) {
			span_emit(spans, pos, open.back().end, open.back().kind);
			pos = open.back().end;
			open.pop_back();
		}
		if (!open.empty()) {
			span_emit(spans, pos, n.start, open.back().kind);
			n.end = std::min(n.end, open.back().end);
		}
		pos = n.start;
		open.push_back(n);
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

int highlight_spans(source_language language, const char *content, size_t size,
		    highlight_span **spans, size_t *count)
{
	*spans = nullptr;
	*count = 0;
	if (size > HIGHLIGHT_MAX_SIZE)
		return -1;
	const language_query *lq = language_query_get(language);
	if (!lq)
		return -1;
	highlight_run run = {content, size, {}};
	clock_gettime(CLOCK_THREAD_CPUTIME_ID, &run.deadline);
	run.deadline.tv_sec += HIGHLIGHT_MAX_MILLISECONDS / 1000;
	run.deadline.tv_nsec += HIGHLIGHT_MAX_MILLISECONDS % 1000 * 1000000;
	if (run.deadline.tv_nsec >= 1000000000) {
		run.deadline.tv_sec++;
		run.deadline.tv_nsec -= 1000000000;
	}
	TSTree *tree = parse(&run, language);
	if (!tree)
		return -1;
	std::vector<node_class> nodes;
	int status = collect_captures(&run, lq, tree, &nodes);
	ts_tree_delete(tree);
	if (status != 0)
		return -1;
	std::vector<highlight_span> list;
	flatten(&nodes, &list);
	return spans_copy(list, spans, count);
}
