// "raw/": files of HEAD byte for byte, for download and for the images the
// about page shows. A symbolic link's blob is its target's text, so a link
// becomes a file holding that text and never a link on the web server.
#include "site.h"

#include <cerrno>
#include <cstring>
#include <err.h>
#include <sys/stat.h>

// raw/ keeps what earlier runs wrote: a path that was a directory of an
// earlier HEAD and is a file now finds a directory in its place, and the
// other way round a file where a directory goes. The copy is then left out,
// as when its directory cannot be made, rather than the run ended.
static bool blocked(const char *raw_path)
{
	struct stat st;
	return lstat(raw_path, &st) == 0 ? S_ISDIR(st.st_mode) : errno == ENOTDIR;
}

int raw_file_write(page_output *page, const char *path, const char *bytes, size_t size)
{
	char raw_path[1024];
	int n = snprintf(raw_path, sizeof raw_path, "raw/%s", path);
	if (n < 0 || static_cast<size_t>(n) >= sizeof raw_path)
		errx(1, "path truncated: 'raw/%s'", path);
	char *slash = strrchr(raw_path, '/');
	*slash = '\0';
	int made = make_dirs(raw_path);
	*slash = '/';
	if (made != 0 || blocked(raw_path))
		return -1;
	page_open_or_die(page, raw_path, PAGE_COMPARE_LAZY);
	if (size > 0)
		fwrite(bytes, 1, size, page->stream);
	page_close_or_die(page);
	return 0;
}
