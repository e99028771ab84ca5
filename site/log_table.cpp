// The table of "log.html": a row per commit, which the cache keeps as it
// is written here, and the row that counts the commits past the -l limit.
#include "site.h"

static const char LOG_TABLE_HEAD[] =
	"<table id=\"log\"><thead>\n<tr><td><b>Date</b></td>"
	"<td><b>Commit message</b></td><td><b>Author</b></td>"
	"<td class=\"num\" align=\"right\"><b>Files</b></td>"
	"<td class=\"num\" align=\"right\"><b>+</b></td>"
	"<td class=\"num\" align=\"right\"><b>-</b></td></tr>\n</thead><tbody>\n";

void log_table_head(FILE *fp)
{
	fputs(LOG_TABLE_HEAD, fp);
}

void log_row(FILE *fp, const commit_record *r)
{
	fputs("<tr><td>", fp);
	if (r->author)
		print_time_short(fp, r->author->when);
	fputs("</td><td>", fp);
	// Rows stand on the top-level log: their links have no prefix.
	if (r->summary) {
		fputs("<a href=\"commit/", fp);
		fputs(r->id_text, fp);
		fputs(".html\">", fp);
		put_html(fp, r->summary);
		fputs("</a>", fp);
	}
	fputs("</td><td>", fp);
	if (r->author)
		put_html(fp, r->author->name);
	fputs("</td><td class=\"num\" align=\"right\">", fp);
	put_size(fp, r->file_count);
	fputs("</td><td class=\"num\" align=\"right\">+", fp);
	put_size(fp, r->added_lines);
	fputs("</td><td class=\"num\" align=\"right\">-", fp);
	put_size(fp, r->deleted_lines);
	fputs("</td></tr>\n", fp);
}

void log_remaining_row(FILE *fp, size_t remaining)
{
	fputs("<tr><td></td><td colspan=\"5\">", fp);
	put_size(fp, remaining);
	fputs(" more commits remaining, fetch the repository</td></tr>\n", fp);
}

void log_table_end(FILE *fp)
{
	fputs("</tbody></table>", fp);
}
