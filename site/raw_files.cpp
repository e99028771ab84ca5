// "raw/": files of HEAD byte for byte, for download and for the images the
// about page shows. A symbolic link's blob is its target's text, so a link
// becomes a file holding that text and never a link on the web server.
#include "site.h"

#include <cstring>
#include <err.h>

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
	if (made != 0)
		return -1;
	page_open_or_die(page, raw_path, PAGE_COMPARE_LAZY);
	if (size > 0)
		fwrite(bytes, 1, size, page->stream);
	page_close_or_die(page);
	return 0;
}
