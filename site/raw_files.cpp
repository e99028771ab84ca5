// "raw/": files of HEAD byte for byte, for download and for the images the
// about page shows. A symbolic link's blob is its target's text, so a link
// becomes a file holding that text and never a link on the web server.
#include "site.h"

#include <cstring>
#include <err.h>
#include <sys/stat.h>

// raw/ keeps what earlier runs wrote: a path that was a directory of an
// earlier HEAD and is a file now finds a directory in its place, and the
// other way round a file where a directory goes. The copy is then left out,
// as when its directory cannot be made, rather than the run ended. Only a
// copy with no file in place is looked at.
static bool directory_in_place(const page_output *page)
{
	struct stat st;
	return page->old_fd < 0 && lstat(page->path, &st) == 0 && S_ISDIR(st.st_mode);
}

int raw_file_write(page_output *page, const char *path, const char *bytes, size_t size)
{
	char raw_path[1024];
	int n = snprintf(raw_path, sizeof raw_path, "raw/%s", path);
	if (n < 0 || static_cast<size_t>(n) >= sizeof raw_path)
		errx(1, "path truncated: 'raw/%s'", path);
	if (page_open_in_dirs(page, raw_path) != 0)
		return -1;
	if (directory_in_place(page)) {
		page_discard(page);
		return -1;
	}
	if (size > 0)
		fwrite(bytes, 1, size, page->stream);
	page_close_or_die(page);
	return 0;
}
