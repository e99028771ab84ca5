// The command line: "[-c cachefile | -l commits] [-u baseurl] repodir".
#include "site.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sched.h>

// strtoll's own leniency stays: leading blanks and a "+" are accepted.
static int parse_limit(const char *value)
{
	char *end;
	errno = 0;
	long long n = strtoll(value, &end, 10);
	if (value[0] == '\0' || *end != '\0' || n < 1 || errno != 0)
		return -1;
	log_limit = n;
	return 0;
}

// Options and repodir come in any order; only an option's second character
// counts, and its value is the next argument whatever it looks like.
int scan_arguments(int argc, char *argv[])
{
	for (int i = 1; i < argc; i++) {
		const char *arg = argv[i];
		if (arg[0] != '-') {
			if (repodir)
				return -1;
			repodir = arg;
			continue;
		}
		char option = arg[1];
		if ((option == 'l' && cachefile) || (option == 'c' && log_limit > 0))
			return -1;
		if (option != 'u' && option != 'l' && option != 'c')
			continue;
		if (i + 1 >= argc)
			return -1;
		const char *value = argv[++i];
		if (option == 'u')
			baseurl = value;
		else if (option == 'c')
			cachefile = value;
		else if (parse_limit(value) != 0)
			return -1;
	}
	return repodir ? 0 : -1;
}

// Threads for the commits: REPOPAGE_JOBS, else every processor the process
// may run on, at most 16 (the walk's own share in one thread keeps more from
// paying off). A value is digits only, and at most 256 threads are made.
int choose_jobs()
{
	const char *value = getenv("REPOPAGE_JOBS");
	if (!value) {
		cpu_set_t set;
		int count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
		jobs = static_cast<unsigned>(count < 1 ? 1 : count > 16 ? 16 : count);
		return 0;
	}
	size_t digits = strspn(value, "0123456789");
	if (digits == 0 || value[digits] != '\0' || strspn(value, "0") == digits)
		return -1;
	errno = 0;
	unsigned long n = strtoul(value, nullptr, 10);
	jobs = errno == ERANGE || n > 256 ? 256 : static_cast<unsigned>(n);
	return 0;
}
