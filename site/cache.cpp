// The log cache: HEAD's id of the last run and its finished log rows, so a
// run renders only the commits that arrived since.
#include "site.h"

#include <cstdlib>
#include <err.h>
#include <sys/stat.h>
#include <unistd.h>

git_oid cached_id;
FILE *new_cache;
char temp_cache_path[64] = "cache.XXXXXXXXXXXX";

// The previous cache's first line, at most 41 characters (40 digits and a
// newline); anything after the 40th character is ignored. 0, or -1 when
// there is no line, -2 when it holds no object id.
int read_cache_head(FILE *old_cache, git_oid *id)
{
	char line[42];
	if (!fgets(line, sizeof line, old_cache))
		return -1;
	return git_oid_fromstr(id, line) == 0 ? 0 : -2;
}

// The previous cache, positioned after its first line; none when there is
// no previous cache, and cached_id then stays all zero.
static FILE *open_old_cache()
{
	FILE *old_cache = fopen(cachefile, "r");
	if (!old_cache)
		return nullptr;
	int head = read_cache_head(old_cache, &cached_id);
	if (head == -1)
		errx(1, "%s: no object id", cachefile);
	if (head == -2)
		errx(1, "%s: invalid object id", cachefile);
	return old_cache;
}

static void open_new_cache(const git_oid *head)
{
	int fd = mkstemp(temp_cache_path);
	if (fd < 0)
		err(1, "mkstemp");
	new_cache = fdopen(fd, "w");
	if (!new_cache)
		err(1, "fdopen: '%s'", temp_cache_path);
	static char stream_buffer[PAGE_BUFFER];
	use_buffer(new_cache, stream_buffer, sizeof stream_buffer);
	char buffer[1024];
	git_oid_tostr(buffer, sizeof buffer, head);
	fprintf(new_cache, "%s\n", buffer);
}

// The cached rows go unparsed after the new ones, to the log and the cache.
static void copy_old_rows(FILE *old_cache, FILE *log)
{
	char buffer[1024];
	while (!feof(old_cache)) {
		size_t n = fread(buffer, 1, sizeof buffer, old_cache);
		if (ferror(old_cache))
			break;
		if (fwrite(buffer, 1, n, log) != n)
			break;
		if (fwrite(buffer, 1, n, new_cache) != n)
			break;
	}
	if (ferror(old_cache))
		errx(1, "read error: %s", cachefile);
	fclose(old_cache);
}

void cached_log_body(FILE *log, const git_oid *head, walk_report *report)
{
	FILE *old_cache = open_old_cache();
	open_new_cache(head);
	walk_log(log, head, report);
	// A walk to the end of the history never met the cached commit (the
	// history was rewritten, or the cache is another repository's): its
	// rows are all there is, and the cached ones would repeat them.
	if (old_cache && report->end == WALK_HISTORY_END)
		fclose(old_cache);
	else if (old_cache)
		copy_old_rows(old_cache, log);
	stream_close(new_cache, temp_cache_path);
	new_cache = nullptr;
}

void cache_install()
{
	if (rename(temp_cache_path, cachefile) != 0)
		err(1, "rename: '%s' to '%s'", temp_cache_path, cachefile);
	if (chmod(cachefile, file_creation_mode()) != 0)
		err(1, "chmod: '%s'", cachefile);
}

// A run that could not render every new commit keeps the old cache, so the
// next run walks over those commits again.
void cache_discard()
{
	unlink(temp_cache_path);
}
