// The frame of every HTML page: head, banner, navigation, content block.
#include "site.h"

#include <cstring>

// Writes "<before>" prefix "<after>".
static void put_link(FILE *fp, const char *before, const char *prefix, const char *after)
{
	fputs(before, fp);
	fputs(prefix, fp);
	fputs(after, fp);
}

static void write_head(FILE *fp, const char *prefix, const char *title)
{
	write_head_start(fp);
	put_html(fp, title);
	if (title[0] && short_name[0])
		fputs(" - ", fp);
	put_html(fp, short_name);
	if (description[0])
		fputs(" - ", fp);
	put_html(fp, description);
	put_link(fp, "</title>\n<link rel=\"icon\" type=\"image/png\" href=\"", prefix, "favicon.png\" />\n");
	fputs("<link rel=\"alternate\" type=\"application/atom+xml\" title=\"", fp);
	put_html(fp, repo_name);
	put_link(fp, " Atom Feed\" href=\"", prefix, "atom.xml\" />\n");
	fputs("<link rel=\"alternate\" type=\"application/atom+xml\" title=\"", fp);
	put_html(fp, repo_name);
	put_link(fp, " Atom Feed (tags)\" href=\"", prefix, "tags.xml\" />\n");
	put_link(fp, "<link rel=\"stylesheet\" type=\"text/css\" href=\"", prefix, "style.css\" />\n");
	fputs("</head>\n<body>\n<table><tr><td>", fp);
}

// The logo links one level above the site root, where the index lives.
static void write_banner(FILE *fp, const char *prefix)
{
	put_link(fp, "<a href=\"../", prefix, "\"><img src=\"");
	fputs(prefix, fp);
	fputs("logo.png\" alt=\"\" width=\"32\" height=\"32\" /></a>", fp);
	fputs("</td><td><h1>", fp);
	put_html(fp, short_name);
	fputs("</h1><span class=\"desc\">", fp);
	put_html(fp, description);
	fputs("</span></td></tr>", fp);
	if (clone_url[0]) {
		fputs("<tr class=\"url\"><td></td><td>git clone <a href=\"", fp);
		put_html(fp, clone_url);
		fputs("\">", fp);
		put_html(fp, clone_url);
		fputs("</a></td></tr>", fp);
	}
}

// A link of the navigation to the page of a file of HEAD.
static void put_nav_file_link(FILE *fp, const char *prefix, const char *path, const char *label)
{
	put_link(fp, " | <a href=\"", prefix, "file/");
	fputs(path, fp);
	fputs(".html\">", fp);
	fputs(label, fp);
	fputs("</a>", fp);
}

static void write_navigation(FILE *fp, const char *prefix)
{
	fputs("<tr><td></td><td>\n", fp);
	if (about_readme)
		put_link(fp, "<a href=\"", prefix, "about.html\">About</a> | ");
	put_link(fp, "<a href=\"", prefix, "log.html\">Log</a> | ");
	put_link(fp, "<a href=\"", prefix, "files.html\">Files</a> | ");
	if (rich_tree)
		put_link(fp, "<a href=\"", prefix, "tree/index.html\">Tree</a> | ");
	put_link(fp, "<a href=\"", prefix, "refs.html\">Refs</a>");
	if (submodules_path)
		put_nav_file_link(fp, prefix, submodules_path, "Submodules");
	if (readme_path)
		put_nav_file_link(fp, prefix, readme_path, "README");
	if (license_path)
		put_nav_file_link(fp, prefix, license_path, "LICENSE");
	fputs("</td></tr></table>\n<hr/>\n<div id=\"content\">\n", fp);
}

void write_page_header(FILE *fp, const char *prefix, const char *title)
{
	write_head(fp, prefix, title);
	write_banner(fp, prefix);
	write_navigation(fp, prefix);
}

void write_page_footer(FILE *fp)
{
	fputs("</div>\n</body>\n</html>\n", fp);
}
