// The argument scan against a model of its rules. The input is split at NUL
// bytes into the arguments after the program name; each argument lives in
// a buffer of its exact size, so a read past its end is caught.
#include "site.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

struct model {
	const char *repodir = nullptr;
	const char *cachefile = nullptr;
	const char *baseurl = "";
	int64_t log_limit = -1;
};

// A decimal of at least 1, after optional white space and sign, with
// nothing after its digits and within the signed 64-bit range.
static bool parse_count(const char *s, int64_t *value)
{
	while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
		s++;
	bool negative = *s == '-';
	if (*s == '+' || *s == '-')
		s++;
	if (*s < '0' || *s > '9')
		return false;
	uint64_t n = 0;
	bool too_large = false;
	for (; *s >= '0' && *s <= '9'; s++) {
		if (n > (UINT64_MAX - 9) / 10)
			too_large = true;
		else
			n = n * 10 + static_cast<uint64_t>(*s - '0');
	}
	if (*s != '\0' || negative || too_large || n > INT64_MAX || n < 1)
		return false;
	*value = static_cast<int64_t>(n);
	return true;
}

// 0 with `m` filled, or -1 where the usage message is due.
static int model_scan(int argc, char **argv, model *m)
{
	for (int i = 1; i < argc; i++) {
		const char *arg = argv[i];
		if (arg[0] != '-') {
			if (m->repodir)
				return -1;
			m->repodir = arg;
			continue;
		}
		switch (arg[1]) {
		case 'u':
			if (i + 1 == argc)
				return -1;
			m->baseurl = argv[++i];
			break;
		case 'l':
			if (m->cachefile || i + 1 == argc || !parse_count(argv[i + 1], &m->log_limit))
				return -1;
			i++;
			break;
		case 'c':
			if (m->log_limit > 0 || i + 1 == argc)
				return -1;
			m->cachefile = argv[++i];
			break;
		default:
			break;
		}
	}
	return m->repodir ? 0 : -1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<char *> argv;
	argv.push_back(strdup("repopage"));
	size_t start = 0;
	for (size_t i = 0; i <= size && argv.size() < 64; i++) {
		if (i < size && data[i] != 0)
			continue;
		char *arg = static_cast<char *>(malloc(i - start + 1));
		memcpy(arg, data + start, i - start);
		arg[i - start] = '\0';
		argv.push_back(arg);
		start = i + 1;
	}
	int argc = static_cast<int>(argv.size());
	argv.push_back(nullptr);

	repodir = nullptr;
	cachefile = nullptr;
	baseurl = "";
	log_limit = -1;
	int result = scan_arguments(argc, argv.data());
	model m;
	int expected = model_scan(argc, argv.data(), &m);
	if (result != expected)
		abort();
	if (result == 0) {
		if (repodir != m.repodir || cachefile != m.cachefile || baseurl != m.baseurl ||
		    log_limit != m.log_limit)
			abort();
		// -c and -l never both reach the run.
		if (cachefile && log_limit != -1)
			abort();
	}
	for (char *arg : argv)
		free(arg);
	return 0;
}
