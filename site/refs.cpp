// Branches and tags with the commit each designates, sorted for
// "refs.html" and the tags feed.
#include "site.h"

#include <cstdlib>
#include <cstring>
#include <err.h>

static const char *const ref_table_titles[] = {"Branches", "Tags"};
static const char *const ref_table_ids[] = {"branches", "tags"};

void ref_entries_free(ref_entry *entries, size_t count)
{
	for (size_t i = 0; i < count; i++) {
		commit_record_free(entries[i].record);
		git_reference_free(entries[i].ref);
	}
	free(entries);
}

static int64_t author_time(const ref_entry *e)
{
	return e->record->author ? e->record->author->when.time : 0;
}

static int ref_order(const ref_entry *a, const ref_entry *b)
{
	int kind = git_reference_is_tag(a->ref) - git_reference_is_tag(b->ref);
	if (kind != 0)
		return kind;
	int64_t ta = author_time(a), tb = author_time(b);
	if (ta != tb)
		return ta > tb ? -1 : 1;
	return strcmp(git_reference_shorthand(a->ref), git_reference_shorthand(b->ref));
}

static int compare_entries(const void *a, const void *b)
{
	return ref_order(static_cast<const ref_entry *>(a), static_cast<const ref_entry *>(b));
}

// The direct reference behind `ref` (which it takes over), or none when a
// symbolic one does not resolve; *skip is set for other kinds.
static int direct_reference(git_reference **ref, bool *skip)
{
	*skip = false;
	switch (git_reference_type(*ref)) {
	case GIT_REFERENCE_DIRECT:
		return 0;
	case GIT_REFERENCE_SYMBOLIC: {
		git_reference *resolved;
		if (git_reference_resolve(&resolved, *ref) != 0)
			return -1;
		git_reference_free(*ref);
		*ref = resolved;
		return 0;
	}
	default:
		*skip = true;
		return 0;
	}
}

// The commit the reference finally designates: 1 with *record set, 0 when
// the target is no commit, -1 when it cannot be peeled at all.
static int peeled_record(git_reference *ref, commit_record **record)
{
	git_object *peeled = nullptr;
	*record = nullptr;
	if (!git_reference_target(ref) || git_reference_peel(&peeled, ref, GIT_OBJECT_ANY) != 0)
		return -1;
	const git_oid *id = git_object_id(peeled);
	if (!id) {
		git_object_free(peeled);
		return -1;
	}
	*record = commit_record_load(repository, id);
	git_object_free(peeled);
	return *record ? 1 : 0;
}

static void append_entry(ref_entry **entries, size_t *count, git_reference *ref, commit_record *record)
{
	ref_entry *grown = static_cast<ref_entry *>(reallocarray(*entries, *count + 1, sizeof **entries));
	if (!grown)
		err(1, "realloc");
	*entries = grown;
	grown[*count].ref = ref;
	grown[*count].record = record;
	(*count)++;
}

// Gathers the list; a target that is no commit ends the gathering there.
static int gather(git_reference_iterator *it, ref_entry **entries, size_t *count)
{
	git_reference *ref;
	while (git_reference_next(&ref, it) == 0) {
		bool skip = !git_reference_is_branch(ref) && !git_reference_is_tag(ref);
		if (!skip && direct_reference(&ref, &skip) != 0) {
			git_reference_free(ref);
			return -1;
		}
		if (skip) {
			git_reference_free(ref);
			continue;
		}
		commit_record *record;
		int found = peeled_record(ref, &record);
		if (found <= 0) {
			git_reference_free(ref);
			return found;
		}
		append_entry(entries, count, ref, record);
	}
	return 0;
}

int collect_refs(ref_entry **entries, size_t *count)
{
	*entries = nullptr;
	*count = 0;
	git_reference_iterator *it;
	if (git_reference_iterator_new(&it, repository) != 0)
		return -1;
	ref_entry *list = nullptr;
	size_t n = 0;
	int result = gather(it, &list, &n);
	git_reference_iterator_free(it);
	if (result < 0) {
		ref_entries_free(list, n);
		return -1;
	}
	if (n > 1)
		qsort(list, n, sizeof *list, compare_entries);
	*entries = list;
	*count = n;
	return 0;
}

static void open_ref_table(FILE *fp, int kind)
{
	fprintf(fp, "<h2>%s</h2><table id=\"%s\"><thead>\n<tr><td><b>Name</b></td>"
		    "<td><b>Last commit date</b></td><td><b>Author</b></td>\n</tr>\n</thead><tbody>\n",
		ref_table_titles[kind], ref_table_ids[kind]);
}

static void ref_row(FILE *fp, const ref_entry *e)
{
	const char *name = git_reference_shorthand(e->ref);
	const git_signature *author = e->record->author;
	fputs("<tr><td>", fp);
	put_html(fp, name);
	fputs("</td><td>", fp);
	if (author)
		print_time_short(fp, author->when);
	fputs("</td><td>", fp);
	if (author)
		put_html(fp, author->name);
	fputs("</td></tr>\n", fp);
}

int refs_page_body(FILE *fp)
{
	ref_entry *entries;
	size_t count;
	if (collect_refs(&entries, &count) != 0)
		return -1;
	bool open = false, tags_open = false;
	for (size_t i = 0; i < count; i++) {
		if (!tags_open && git_reference_is_tag(entries[i].ref)) {
			if (open)
				fputs("</tbody></table><br/>\n", fp);
			open_ref_table(fp, 1);
			open = tags_open = true;
		} else if (!open) {
			open_ref_table(fp, 0);
			open = true;
		}
		ref_row(fp, &entries[i]);
	}
	if (open)
		fputs("</tbody></table><br/>\n", fp);
	ref_entries_free(entries, count);
	return 0;
}
