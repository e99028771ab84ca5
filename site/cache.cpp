// The log cache: HEAD's id of the last run and its finished log rows, so a
// run renders only the commits that arrived since.
#include "site.h"

#include <cstdlib>
#include <err.h>
#include <sys/stat.h>
#include <unistd.h>

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
// no previous cache, and the cached id then stays all zero.
static FILE *open_old_cache(log_cache *cache)
{
	FILE *old_cache = fopen(cachefile, "r");
	if (!old_cache)
		return nullptr;
	int head = read_cache_head(old_cache, &cache->cached_id);
	if (head == -1)
		errx(1, "%s: no object id", cachefile);
	if (head == -2)
		errx(1, "%s: invalid object id", cachefile);
	return old_cache;
}

static void open_new_cache(log_cache *cache, const git_oid *head)
{
	snprintf(cache->temp_path, sizeof cache->temp_path, "cache.XXXXXXXXXXXX");
	int fd = temp_file_make(cache->temp_path);
	if (fd < 0)
		err(1, "mkstemp");
	cache->new_cache = fdopen(fd, "w");
	if (!cache->new_cache)
		err(1, "fdopen: '%s'", cache->temp_path);
	cache->buffer = static_cast<char *>(malloc(PAGE_BUFFER));
	if (!cache->buffer)
		err(1, "malloc");
	use_buffer(cache->new_cache, cache->buffer, PAGE_BUFFER);
	char buffer[1024];
	git_oid_tostr(buffer, sizeof buffer, head);
	fprintf(cache->new_cache, "%s\n", buffer);
}

// The cached rows go unparsed after the new ones, to the log and the cache.
static void copy_old_rows(FILE *old_cache, FILE *log, FILE *new_cache)
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

void cached_log_body(log_walk *walk, log_cache *cache, const git_oid *head)
{
	FILE *old_cache = open_old_cache(cache);
	open_new_cache(cache, head);
	walk->cached_id = &cache->cached_id;
	walk->new_cache = cache->new_cache;
	walk_log(walk, head);
	// A walk to the end of the history never met the cached commit (the
	// history was rewritten, or the cache is another repository's): its
	// rows are all there is, and the cached ones would repeat them.
	if (old_cache && walk->report.end == WALK_HISTORY_END)
		fclose(old_cache);
	else if (old_cache)
		copy_old_rows(old_cache, walk->log, cache->new_cache);
	stream_close(cache->new_cache, cache->temp_path);
	cache->new_cache = walk->new_cache = nullptr;
	free(cache->buffer);
	cache->buffer = nullptr;
}

void cache_install(const log_cache *cache)
{
	if (temp_file_rename(cache->temp_path, cachefile) != 0)
		err(1, "rename: '%s' to '%s'", cache->temp_path, cachefile);
	if (chmod(cachefile, new_file_mode) != 0)
		err(1, "chmod: '%s'", cachefile);
}

// A run that could not render every new commit keeps the old cache, so the
// next run walks over those commits again.
void cache_discard(const log_cache *cache)
{
	temp_file_remove(cache->temp_path);
}
