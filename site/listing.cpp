// The table that lists files, on "files.html" and on the tree pages: its
// head, a row per file or directory with its mode, link, name and size, and
// the rows of submodules.
#include "site.h"

#include <cstring>

static const char LISTING_HEAD[] =
	"<table id=\"files\"><thead>\n<tr><td><b>Mode</b></td><td><b>Name</b></td>"
	"<td class=\"num\" align=\"right\"><b>Size</b></td></tr>\n</thead><tbody>\n";

void listing_head(FILE *fp)
{
	fputs(LISTING_HEAD, fp);
}

void listing_end(FILE *fp)
{
	fputs("</tbody></table>", fp);
}

static const char *mode_string(git_filemode_t filemode, char (&text)[11])
{
	unsigned mode = static_cast<unsigned>(filemode);
	static const char TYPE_LETTERS[] = "?pc?d?b?-?l?s???"; // by (mode >> 12)
	memcpy(text, "----------", 11);
	text[0] = TYPE_LETTERS[(mode & 0170000) >> 12];
	static const char RWX[] = "rwxrwxrwx";
	for (int bit = 0; bit < 9; bit++)
		if (mode & (0400u >> bit))
			text[1 + bit] = RWX[bit];
	if (mode & 04000)
		text[3] = (mode & 0100) ? 's' : 'S';
	if (mode & 02000)
		text[6] = (mode & 0010) ? 's' : 'S';
	if (mode & 01000)
		text[9] = (mode & 0001) ? 't' : 'T';
	return text;
}

void listing_row_start(FILE *fp, const git_tree_entry *entry)
{
	char mode[11];
	fputs("<tr><td>", fp);
	fputs(mode_string(git_tree_entry_filemode(entry), mode), fp);
	fputs("</td><td><a href=\"", fp);
}

// The size cell shows a file's line count, else its byte size; also the
// byte size when its page's directory could not be made (lines is -1). A
// directory's is empty.
void listing_row_end(FILE *fp, const char *label, const listed_entry *listed)
{
	fputs("\">", fp);
	put_html(fp, label);
	fputs("</a></td><td class=\"num\" align=\"right\">", fp);
	if (listed->kind == LISTED_FILE && listed->lines > 0)
		fprintf(fp, "%zuL", static_cast<size_t>(listed->lines));
	else if (listed->kind == LISTED_FILE)
		fprintf(fp, "%zuB", listed->size);
	fputs("</td></tr>\n", fp);
}

// Its commit is in another repository: the row links to ".gitmodules".
void listing_submodule_row(FILE *fp, const git_tree_entry *entry, const char *prefix,
			   const char *label)
{
	char short_id[8];
	git_oid_tostr(short_id, sizeof short_id, git_tree_entry_id(entry));
	fputs("<tr><td>m---------</td><td><a href=\"", fp);
	fputs(prefix, fp);
	fputs("file/.gitmodules.html\">", fp);
	put_html(fp, label);
	fputs("</a> @ ", fp);
	put_html(fp, short_id);
	fputs("</td><td class=\"num\" align=\"right\"></td></tr>\n", fp);
}
