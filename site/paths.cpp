// Directories for the pages kept by path (file, raw and tree pages), and
// the way back from such a page to the site's root.
#include "site.h"

#include <cerrno>
#include <cstring>
#include <err.h>
#include <sys/stat.h>

static int make_dir(const char *path)
{
	return (mkdir(path, 0777) == 0 || errno == EEXIST) ? 0 : -1;
}

int make_dirs(const char *path)
{
	char buffer[1024];
	if (snprintf(buffer, sizeof buffer, "%s", path) >= static_cast<int>(sizeof buffer))
		errx(1, "path truncated: '%s'", path);
	for (char *p = buffer + (buffer[0] == '/'); *p; p++) {
		if (*p != '/')
			continue;
		*p = '\0';
		int result = make_dir(buffer);
		*p = '/';
		if (result != 0)
			return -1;
	}
	return make_dir(buffer);
}

int prefix_make(char (&prefix)[1024], const char *page_path)
{
	size_t len = 0;
	prefix[0] = '\0';
	for (const char *p = page_path; *p; p++) {
		if (*p != '/')
			continue;
		if (len + 3 >= sizeof prefix)
			return -1;
		memcpy(prefix + len, "../", 4);
		len += 3;
	}
	return 0;
}

void build_prefix(char (&prefix)[1024], const char *page_path)
{
	if (prefix_make(prefix, page_path) != 0)
		errx(1, "path truncated: '../%s'", prefix);
}

// The directories are made only when the temporary file finds them
// missing: a run over an existing site then costs no mkdir per page.
int page_open_in_dirs(page_output *page, const char *path)
{
	if (page_alloc(page) != 0)
		err(1, "malloc");
	int opened = page_open(page, path, PAGE_COMPARE_LAZY);
	if (opened != 0 && errno == ENOENT) {
		char dir[1024];
		snprintf(dir, sizeof dir, "%s", path);
		char *slash = strrchr(dir, '/');
		if (slash)
			*slash = '\0';
		if (!slash || make_dirs(dir) != 0)
			return -1;
		opened = page_open(page, path, PAGE_COMPARE_LAZY);
	}
	if (opened != 0 && errno == ENOTDIR)
		return -1;
	if (opened != 0)
		err(1, "fopen: '%s'", path);
	return 0;
}
