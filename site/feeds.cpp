// The two Atom feeds: the newest commits of HEAD, and the tags. Text from
// the repository goes through xml_escape so a feed stays well-formed XML
// whatever bytes a commit carries.
#include "site.h"

#include <cstring>

static void put_xml(FILE *fp, const char *text)
{
	xml_escape(fp, text, strlen(text));
}

static void entry_content(FILE *fp, const commit_record *r)
{
	fputs("<content type=\"text\">commit ", fp);
	fputs(r->id_text, fp);
	putc('\n', fp);
	if (r->parent_id_text[0]) {
		fputs("parent ", fp);
		fputs(r->parent_id_text, fp);
		putc('\n', fp);
	}
	if (r->author) {
		fputs("Author: ", fp);
		put_xml(fp, r->author->name);
		fputs(" &lt;", fp);
		put_xml(fp, r->author->email);
		fputs("&gt;\nDate:   ", fp);
		print_time_full(fp, r->author->when);
		putc('\n', fp);
	}
	if (r->message) {
		putc('\n', fp);
		put_xml(fp, r->message);
	}
	fputs("\n</content>\n</entry>\n", fp);
}

static void atom_entry(FILE *fp, const commit_record *r, const char *tag)
{
	fputs("<entry>\n<id>", fp);
	fputs(r->id_text, fp);
	fputs("</id>\n", fp);
	if (r->author) {
		fputs("<published>", fp);
		print_time_iso(fp, r->author->when);
		fputs("</published>\n", fp);
	}
	if (r->committer) {
		fputs("<updated>", fp);
		print_time_iso(fp, r->committer->when);
		fputs("</updated>\n", fp);
	}
	if (r->summary) {
		fputs("<title type=\"text\">", fp);
		if (tag && tag[0]) {
			putc('[', fp);
			put_xml(fp, tag);
			fputs("] ", fp);
		}
		put_xml(fp, r->summary);
		fputs("</title>\n", fp);
	}
	fputs("<link rel=\"alternate\" type=\"text/html\" href=\"", fp);
	fputs(baseurl, fp);
	fputs("commit/", fp);
	fputs(r->id_text, fp);
	fputs(".html\" />\n", fp);
	if (r->author) {
		fputs("<author>\n<name>", fp);
		put_xml(fp, r->author->name);
		fputs("</name>\n<email>", fp);
		put_xml(fp, r->author->email);
		fputs("</email>\n</author>\n", fp);
	}
	entry_content(fp, r);
}

// At most the first 100 commits of the walk from HEAD, without diffs.
static void head_entries(FILE *fp)
{
	git_revwalk *walk = nullptr;
	if (git_revwalk_new(&walk, repository) != 0)
		return;
	git_oid id;
	if (git_revwalk_push_head(walk) == 0) {
		for (int remaining = 100; remaining > 0 && git_revwalk_next(&id, walk) == 0; remaining--) {
			commit_record *r = commit_record_load(repository, &id);
			if (!r)
				break;
			atom_entry(fp, r, "");
			commit_record_free(r);
		}
	}
	git_revwalk_free(walk);
}

static void tag_entries(FILE *fp)
{
	ref_entry *entries;
	size_t count;
	if (collect_refs(&entries, &count) != 0)
		return;
	for (size_t i = 0; i < count; i++)
		if (git_reference_is_tag(entries[i].ref))
			atom_entry(fp, entries[i].record, git_reference_shorthand(entries[i].ref));
	ref_entries_free(entries, count);
}

int atom_feed(FILE *fp, int all)
{
	fputs("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
	      "<feed xmlns=\"http://www.w3.org/2005/Atom\">\n<title>", fp);
	put_xml(fp, short_name);
	fputs(", branch HEAD</title>\n<subtitle>", fp);
	put_xml(fp, description);
	fputs("</subtitle>\n", fp);
	if (all)
		head_entries(fp);
	else
		tag_entries(fp);
	fputs("</feed>\n", fp);
	return 0;
}
