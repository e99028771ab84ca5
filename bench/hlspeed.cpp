// hlspeed LANGUAGE FILE...: the files highlighted one after another, as
// a run colours its pages (highlight_spans alone: no page written), until
// a second of processor time has passed; prints the bytes, the spans and
// the speed in MB/s of processor time. A file that is written plain (too
// large, mostly errors) counts with its bytes. LANGUAGE is the number of a source_language (1 C, 2 C++,
// ...).
#include "site.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <err.h>
#include <string>
#include <vector>

static double seconds_now()
{
	struct timespec t;
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
	return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

static void file_append(std::string *text, const char *path)
{
	FILE *fp = fopen(path, "rb");
	if (!fp)
		err(1, "%s", path);
	char buf[65536];
	size_t n;
	while ((n = fread(buf, 1, sizeof buf, fp)) > 0)
		text->append(buf, n);
	fclose(fp);
}

int main(int argc, char **argv)
{
	if (argc < 3)
		errx(2, "usage: hlspeed LANGUAGE FILE...");
	source_language language = static_cast<source_language>(atoi(argv[1]));
	std::vector<std::string> texts(static_cast<size_t>(argc - 2));
	size_t bytes = 0;
	for (int i = 2; i < argc; i++) {
		file_append(&texts[static_cast<size_t>(i - 2)], argv[i]);
		bytes += texts[static_cast<size_t>(i - 2)].size();
	}
	size_t runs = 0, count = 0, plain = 0;
	highlighter highlighter = {};
	double start = seconds_now(), elapsed;
	do {
		count = plain = 0;
		for (const std::string &text : texts) {
			highlight_span *spans;
			size_t n;
			if (highlight_spans(&highlighter, language, text.data(), text.size(), HIGHLIGHT_FILE, &spans,
					    &n) != 0) {
				plain++;
				continue;
			}
			count += n;
			free(spans);
		}
		runs++;
	} while ((elapsed = seconds_now() - start) < 1.0);
	highlighter_free(&highlighter);
	printf("%zu bytes in %zu files (%zu plain), %zu spans, %.1f MB/s\n", bytes, texts.size(), plain, count,
	       static_cast<double>(bytes) * static_cast<double>(runs) / elapsed / 1e6);
	return 0;
}
