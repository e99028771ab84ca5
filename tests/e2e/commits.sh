# Commit records and commit pages: what a commit's diff holds (statuses,
# renames, binary files, type changes, line counts), the header block, the
# diffstat bar, the size limit, escaping, and one whole page byte for byte.
. ./lib.sh

# page OUT REPO REV: the path of REV's commit page in OUT.
page() {
	echo "$1/commit/$(git -C "$2" rev-parse "$3").html"
}

# rep CHAR N: CHAR written N times.
rep() {
	awk -v c="$1" -v n="$2" 'BEGIN { while (n-- > 0) printf "%s", c }'
}

# header ID [PARENT]: the header block up to the date line, as the pinned
# identity and date of lib.sh give it on a commit page.
header() {
	printf '<pre><b>commit</b> <a href="../commit/%s.html">%s</a>\n' "$1" "$1"
	[ -z "${2:-}" ] || printf '<b>parent</b> <a href="../commit/%s.html">%s</a>\n' "$2" "$2"
	printf '<b>Author:</b> Ann Author &lt;<a href="mailto:ann@example.org">ann@example.org</a>&gt;\n'
	printf '<b>Date:</b>   Tue, 14 Nov 2023 17:13:20 -0500\n'
}

footer() {
	printf '</pre>\n</div>\n</body>\n</html>\n'
}

# row I STATUS PATH COUNT PLUS MINUS: one diffstat row (without the
# "<table>" the first row follows).
row() {
	printf '<tr><td class="%s">%s</td><td><a href="#h%s">%s</a></td><td> | </td><td class="num">%s</td><td><span class="i">%s</span><span class="d">%s</span></td></tr>' \
		"$2" "$2" "$1" "$3" "$4" "$(rep + "$5")" "$(rep - "$6")"
}

# diff_head I OLD NEW: the first line of a file's diff section.
diff_head() {
	printf '<b>diff --git a/<a id="h%s" href="../file/%s.html">%s</a> b/<a href="../file/%s.html">%s</a></b>' \
		"$1" "$2" "$2" "$3" "$3"
}

# --- One whole page, against a golden file written by hand ---------------
new_repo gold
printf 'golden test\n' >gold/.git/description
printf 'one\ntwo & <b>\nthree\n' >gold/hello.txt
printf 'other\n' >gold/other.txt
git -C gold add hello.txt other.txt
commit_all gold "Start"
printf 'one\n2 & <b>\nthree\n' >gold/hello.txt
git -C gold add hello.txt
commit_file gold notes.txt 'a note
' "Tweak greeting & add notes

Body <line> \"quoted\" it's."
run_site out-gold ../gold
check_eq "golden run status" 0 "$status"
sed -e "s/@ID@/$(git -C gold rev-parse HEAD)/g" -e "s/@PARENT@/$(git -C gold rev-parse HEAD~)/g" \
	"$GOLDEN/commit-page.html" >expected-gold.html
check_files_eq "golden commit page" expected-gold.html "$(page out-gold gold HEAD)"

# Markup and "%" in the repository's folder name, its clone URL, a
# changed file's name and a submodule path: every spot where they reach a
# page, escaped for HTML or percent-encoded for a link.
odd=$(printf 'm"&<%s%%' "'")
new_repo "$odd.git"
printf 'markup\n' >"$odd.git/.git/description"
printf 'https://example.org/q"&<%s%%20.git\n' "'" >"$odd.git/.git/url"
printf 'x\n' >"$odd.git/$(printf 'f"&<%s%%.txt' "'")"
git -C "$odd.git" add -A
git -C "$odd.git" update-index --add \
	--cacheinfo "160000,1234567890123456789012345678901234567890,$(printf 's"&<%s%%' "'")"
commit_all "$odd.git" "markup"
run_site out-odd "../$odd.git"
check_success "markup in names"
id=$(git -C "$odd.git" rev-parse HEAD)
sed "s/@ID@/$id/g" "$GOLDEN/commits-markup-page.html" >expected-odd.html
check_files_eq "markup in names: commit page" expected-odd.html "out-odd/commit/$id.html"
check_files_eq "markup in names: files.html" "$GOLDEN/commits-markup-files.html" out-odd/files.html

# The root commit: no parent line, every file added.
root=$(git -C gold rev-parse HEAD~)
{
	header "$root"
	printf '\nStart\n\n<b>Diffstat:</b>\n<table>'
	row 0 A hello.txt 3 3 0
	printf '\n'
	row 1 A other.txt 1 1 0
	printf '\n</table></pre><pre>2 files changed, 4 insertions(+), 0 deletions(-)\n'
} >expected-root
content "$(page out-gold gold HEAD~)" | head -n 10 >actual-root
check_files_eq "root commit header and diffstat" expected-root actual-root

# --- Statuses, paths and counts of one mixed commit ----------------------
new_repo mix
printf 'alpha\n' >mix/a.txt
printf 'beta\n' >mix/b.txt
printf 'e1\ne2\n' >mix/e.txt
printf 'g\n' >mix/g.txt
printf 'abc' >mix/nonl.txt
git -C mix add .
commit_all mix "Files"
(
	cd mix || exit 1
	printf 'alpha2\n' >a.txt           # M, and the source of the copy
	printf 'alpha\n' >c.txt            # C a.txt -> c.txt
	git mv b.txt d.txt                 # R b.txt -> d.txt
	git rm -q e.txt                    # moved and edited: D e.txt ...
	printf 'e1\ne3\n' >f.txt           # ... and A f.txt
	rm g.txt && ln -s a.txt g.txt      # T g.txt
	printf 'x\r\ny\r\n' >crlf.txt      # carriage returns
	printf 'a\0b\n' >bin.dat           # binary
	printf 'abd' >nonl.txt             # no final newline on either side
	git add -A
)
commit_all mix "Mixed"
commit_all mix "Empty tree"
commit_all mix ""
tree=$(git -C mix rev-parse 'HEAD^{tree}')
bare=$(printf 'tree %s\nparent %s\nauthor Ann Author <ann@example.org> 1700000000 -0500\ncommitter Cid Committer <cid@example.org> 1700000100 +0100\n\nNo final newline' \
	"$tree" "$(git -C mix rev-parse HEAD)" | git -C mix hash-object -t commit -w --stdin)
git -C mix update-ref refs/heads/master "$bare"
run_site out-mix ../mix
check_eq "mixed run status" 0 "$status"

mixed=$(page out-mix mix HEAD~3)
content "$mixed" >mixed
{
	printf '<b>Diffstat:</b>\n<table>'
	row 0 M a.txt 2 1 1; printf '\n'
	row 1 A bin.dat 0 0 0; printf '\n'
	row 2 C 'a.txt -&gt; c.txt' 0 0 0; printf '\n'
	row 3 A crlf.txt 2 2 0; printf '\n'
	row 4 R 'b.txt -&gt; d.txt' 0 0 0; printf '\n'
	row 5 D e.txt 2 0 2; printf '\n'
	row 6 A f.txt 2 2 0; printf '\n'
	row 7 T g.txt 0 0 0; printf '\n'
	row 8 M nonl.txt 4 2 2; printf '\n'
	printf '</table></pre><pre>9 files changed, 7 insertions(+), 5 deletions(-)\n'
} >expected-stat
sed -n '/^<b>Diffstat:/,/^<\/table>/p' mixed >actual-stat
check_files_eq "mixed diffstat" expected-stat actual-stat
# Copies and renames link the old path after a/ and the new one after b/;
# identical content means no hunk at all.
check_contains "copy section" mixed "$(diff_head 2 a.txt c.txt)
$(diff_head 3 crlf.txt crlf.txt)"
check_contains "rename section" mixed "$(diff_head 4 b.txt d.txt)
$(diff_head 5 e.txt e.txt)"
check_contains "binary section" mixed "$(diff_head 1 bin.dat bin.dat)
Binary files differ.
$(diff_head 2 a.txt c.txt)"
check_eq "type change is one section" 1 "$(grep -c 'a/<a id="h[0-9]*" href="../file/g.txt.html"' mixed)"
check_eq "no carriage return" 0 "$(tr -dc '\r' <"$mixed" | wc -c)"
check_contains "crlf lines" mixed '<a href="#h3-0-0" id="h3-0-0" class="i">+x
</a><a href="#h3-0-1" id="h3-0-1" class="i">+y
</a>'
# The marker lines of a missing final newline follow their line numbers.
check_contains "no final newline" mixed '<a href="#h8-0" id="h8-0" class="h">@@ -1 +1 @@
</a><a href="#h8-0-0" id="h8-0-0" class="d">-abc
</a><a href="#h8-0-1" id="h8-0-1" class="d">-\ No newline at end of file
</a><a href="#h8-0-2" id="h8-0-2" class="i">+abd
</a><a href="#h8-0-3" id="h8-0-3" class="i">+\ No newline at end of file
</a></pre>'
check_contains "mixed log row" out-mix/log.html "Mixed</a></td><td>Ann Author</td><td class=\"num\" align=\"right\">9</td><td class=\"num\" align=\"right\">+7</td><td class=\"num\" align=\"right\">-5</td></tr>"

# Same tree as the parent: the header block alone.
{ header "$(git -C mix rev-parse HEAD~2)" "$(git -C mix rev-parse HEAD~3)"; printf '\nEmpty tree\n\n'; footer; } >expected
content "$(page out-mix mix HEAD~2)" >actual
check_files_eq "tree equal to parent" expected actual
check_contains "no change in the row" out-mix/log.html "Empty tree</a></td><td>Ann Author</td><td class=\"num\" align=\"right\">0</td><td class=\"num\" align=\"right\">+0</td><td class=\"num\" align=\"right\">-0</td></tr>"

# An empty message still gets its empty line; the title has no summary.
empty=$(git -C mix rev-parse HEAD~)
{ header "$empty" "$(git -C mix rev-parse HEAD~2)"; printf '\n\n'; footer; } >expected
content "$(page out-mix mix HEAD~)" >actual
check_files_eq "empty message" expected actual
check_contains "empty message title" "$(page out-mix mix HEAD~)" "<title>mix - Unnamed"
check_contains "empty message row" out-mix/log.html "<td><a href=\"commit/$empty.html\"></a></td><td>Ann Author</td>"

{ header "$bare" "$empty"; printf '\nNo final newline\n'; footer; } >expected
content "$(page out-mix mix HEAD)" >actual
check_files_eq "message without final newline" expected actual

# --- A merge: one row, diffed against its first parent alone -------------
new_repo merge
commit_file merge base.txt 'base
' "Base"
git -C merge branch side
commit_file merge main.txt 'm1
m2
m3
' "Main"
git -C merge checkout -q side
commit_file merge side.txt 's1
s2
' "Side"
git -C merge checkout -q master
git -C merge merge -q --no-ff -m "Merge side" side
run_site out-merge ../merge
check_eq "merge run status" 0 "$status"
merge_id=$(git -C merge rev-parse HEAD)
check_eq "merge has one row" 1 "$(grep -c "commit/$merge_id.html" out-merge/log.html)"
check_contains "merge row counts" out-merge/log.html "Merge side</a></td><td>Ann Author</td><td class=\"num\" align=\"right\">1</td><td class=\"num\" align=\"right\">+2</td><td class=\"num\" align=\"right\">-0</td></tr>"
{
	header "$merge_id" "$(git -C merge rev-parse HEAD^1)"
	printf '\nMerge side\n\n<b>Diffstat:</b>\n<table>'
	row 0 A side.txt 2 2 0
	printf '\n</table></pre><pre>1 file changed, 2 insertions(+), 0 deletions(-)\n'
} >expected
content "$(page out-merge merge HEAD)" | head -n 10 >actual
check_files_eq "merge page" expected actual
git -C merge config repopage.patch true
run_site out-merge-patch ../merge
check_eq "merge: patches of the one-parent commits alone" \
	"$(git -C merge rev-list --min-parents=1 --max-parents=1 HEAD | sed 's/$/.patch/' | sort)" \
	"$(cd out-merge-patch/commit && ls ./*.patch | sed 's|^\./||')"
check_absent "merge: no patch link" "$(page out-merge-patch merge HEAD)" ".patch"
check_absent "root: no patch link" "$(page out-merge-patch merge HEAD~2)" ".patch"

# --- Patch files ----------------------------------------------------------
# With repopage.patch, a commit with one parent gets commit/<id>.patch, which
# its page links to; a root commit and a merge get neither. The page is
# otherwise the page without the key.
new_repo pat
printf 'one\ntwo\nthree\n' >pat/text.txt
printf 'bin\0ary\n' >pat/blob.bin
git -C pat add .
commit_all pat "Root"
printf 'one\n2\nthree\n' >pat/text.txt
printf 'new\n' >pat/added.txt
printf 'bin\0ary, changed\n' >pat/blob.bin
git -C pat add .
commit_all pat "Change text, add a file, change a binary

A body line." 1700000500
git -C pat config repopage.patch true
run_site out-pat ../pat
check_success "patch: render"
pat_id=$(git -C pat rev-parse HEAD)
pat_root=$(git -C pat rev-parse HEAD~)
# The trailer names the libgit2 that wrote the patch.
sed "s/^libgit2 [0-9][0-9.]*\$/libgit2 @VERSION@/" "out-pat/commit/$pat_id.patch" >actual-patch
sed "s/@ID@/$pat_id/g" "$GOLDEN/commit-patch.patch" >expected-patch
check_files_eq "patch: golden" expected-patch actual-patch
check_contains "patch: link" "$(page out-pat pat HEAD)" \
	"<b>commit</b> <a href=\"../commit/$pat_id.html\">$pat_id</a> (<a href=\"../commit/$pat_id.patch\">patch</a>)
<b>parent</b>"
check_missing "patch: none for the root" "out-pat/commit/$pat_root.patch"
check_links out-pat out-merge-patch
git -C pat config repopage.patch false
run_site out-pat-off ../pat
for id in "$pat_id" "$pat_root"; do
	sed 's| (<a href="../commit/[0-9a-f]*\.patch">patch</a>)||' "out-pat/commit/$id.html" >without-link
	check_files_eq "patch: the page but for the link" "out-pat-off/commit/$id.html" without-link
done
check_eq "patch: none with the key off" "" "$(find out-pat-off out-gold -name '*.patch')"
# A patch that cannot be put in place ends the run before its page is: a
# page in place stands for a commit complete with its patch.
git -C pat config repopage.patch true
mkdir -p "out-patfail/commit/$pat_id.patch"
run_site out-patfail ../pat
check_eq "patch not in place: status" 1 "$status"
checks=$((checks + 1))
grep -qx "repopage: rename: 'commit/$pat_id\.patch\.[A-Za-z0-9]\{6\}' to 'commit/$pat_id\.patch': Is a directory" \
	"$SCRATCH/stderr" || fail "patch not in place: message [$(cat "$SCRATCH/stderr")]"
check_missing "patch not in place: no page" "out-patfail/commit/$pat_id.html"
check_eq "patch not in place: no temporary file" "" "$(find out-patfail -name '*.??????')"
rmdir "out-patfail/commit/$pat_id.patch"
run_site out-patfail ../pat
check_success "patch in place again"
check_files_eq "patch in place again: patch" "out-pat/commit/$pat_id.patch" \
	"out-patfail/commit/$pat_id.patch"
# Workers put pages in place in walk order: one whose patch cannot be put
# in place ends the run where one thread ends it, with the pages of the
# commits before it in place and none of those after it.
new_repo patmid
for n in 1 2 3 4 5 6 7 8 9; do
	commit_file patmid "f$n.txt" "$n
" "c$n" $((1700000000 + n))
done
git -C patmid config repopage.patch true
mid_id=$(git -C patmid rev-parse HEAD~3)
for j in 1 4; do
	mkdir -p "out-patmid$j/commit/$mid_id.patch"
	REPOPAGE_JOBS=$j run_site "out-patmid$j" ../patmid
	check_eq "patch not in place, $j threads: status" 1 "$status"
	checks=$((checks + 1))
	grep -qx "repopage: rename: 'commit/$mid_id\.patch\.[A-Za-z0-9]\{6\}' to 'commit/$mid_id\.patch': Is a directory" \
		"$SCRATCH/stderr" || fail "patch not in place, $j threads: message [$(cat "$SCRATCH/stderr")]"
	check_eq "patch not in place, $j threads: pages" 3 "$(find "out-patmid$j/commit" -name '*.html' | wc -l)"
	check_eq "patch not in place, $j threads: no temporary file" "" "$(find "out-patmid$j" -name '*.??????')"
done
checks=$((checks + 1))
diff -r out-patmid1 out-patmid4 >diff.out 2>&1 || { fail "patch not in place: files left differ"; head diff.out; }


new_repo esc
GIT_AUTHOR_NAME="Ann \"A&B\" O'Neil" GIT_AUTHOR_EMAIL="ann&\"x'@example.org" \
	commit_file esc x.txt 'x
' "Fix <a> & \"b\" 'c'

Then <x> & \"y\" 'z'."
run_site out-esc ../esc
esc_id=$(git -C esc rev-parse HEAD)
esc_page=$(page out-esc esc HEAD)
summary="Fix &lt;a&gt; &amp; &quot;b&quot; &#39;c&#39;"
name="Ann &quot;A&amp;B&quot; O&#39;Neil"
email="ann&amp;&quot;x&#39;@example.org"
check_contains "escaped title" "$esc_page" "<title>$summary - esc - "
check_contains "escaped row" out-esc/log.html "<a href=\"commit/$esc_id.html\">$summary</a></td><td>$name</td>"
check_contains "escaped author" "$esc_page" "<b>Author:</b> $name &lt;<a href=\"mailto:$email\">$email</a>&gt;
<b>Date:</b>   Tue, 14 Nov 2023 17:13:20 -0500

$summary

Then &lt;x&gt; &amp; &quot;y&quot; &#39;z&#39;.

<b>Diffstat:</b>"

# --- The bar: unscaled up to 78 lines, scaled in single precision above ---
new_repo bars
seq 1000 >bars/o1000
seq 200 >bars/o200
seq 50 >bars/o50
seq 79 >bars/o79
git -C bars add .
commit_all bars "Old"
printf 'x\n' >bars/o1000
printf 'a\nb\nc\n' >bars/o200
seq 51 100 >bars/o50
rm bars/o79
seq 100 >bars/n100
seq 78 >bars/n78
seq 2 80 >bars/n79   # not o79 moved
git -C bars add -A
commit_all bars "Bars"
run_site out-bars ../bars
content "$(page out-bars bars HEAD)" >bars-page
for r in "0 A n100 100 79 0" "1 A n78 78 78 0" "2 A n79 79 79 0" "3 M o1000 1001 1 78" \
	"4 M o200 203 2 77" "5 M o50 100 40 40" "6 D o79 79 0 79"; do
	check_contains "bar $r" bars-page "$(row $r)"
done
check_contains "bars summary" bars-page "7 files changed, 311 insertions(+), 1329 deletions(-)"

# --- The size limit: 1000 files and 100000 lines are still shown ----------
new_repo big
(
	cd big || exit 1
	mkdir d
	awk 'BEGIN { for (i = 1; i <= 1000; i++) { f = "d/f" i; print i > f; close(f) } }'
	git add d
	commit_all . "Thousand"
	awk 'BEGIN { for (i = 1; i <= 1001; i++) { f = "d/f" i; print "v" i > f; close(f) } }'
	git add d
	commit_all . "Thousand and one"
	seq 100000 >lines
	git add lines
	commit_all . "Lines"
	seq 100001 >more
	git add more
	commit_all . "More lines"
	git rm -q lines
	commit_all . "Drop lines"
	git rm -q more
	commit_all . "Drop more"
)
run_site out-big ../big
check_eq "big run status" 0 "$status"
# too_large REV PARENT MESSAGE: the page of a commit over the limit.
too_large() {
	{ header "$(git -C big rev-parse "$1")" "$(git -C big rev-parse "$2")"; printf '\n%s\n\nDiff is too large, output suppressed.\n' "$3"; footer; } >expected
	content "$(page out-big big "$1")" >actual
	check_files_eq "over the limit: $3" expected actual
}
content "$(page out-big big HEAD~5)" >thousand
check_eq "1000 files: rows" 1000 "$(grep -c '<tr><td class="A">A</td>' thousand)"
check_eq "1000 files: sections" 1000 "$(grep -c '<b>diff --git' thousand)"
check_contains "1000 files: summary" thousand "<pre>1000 files changed, 1000 insertions(+), 0 deletions(-)"
too_large HEAD~4 HEAD~5 "Thousand and one"
content "$(page out-big big HEAD~3)" >lines
check_contains "100000 added: summary" lines "<pre>1 file changed, 100000 insertions(+), 0 deletions(-)"
check_contains "100000 added: last line" lines '<a href="#h0-0-99999" id="h0-0-99999" class="i">+100000'
too_large HEAD~2 HEAD~3 "More lines"
content "$(page out-big big HEAD~1)" >lines
check_contains "100000 deleted: summary" lines "<pre>1 file changed, 0 insertions(+), 100000 deletions(-)"
too_large HEAD HEAD~1 "Drop more"
check_contains "over the limit still counts" out-big/log.html "Drop more</a></td><td>Ann Author</td><td class=\"num\" align=\"right\">1</td><td class=\"num\" align=\"right\">+0</td><td class=\"num\" align=\"right\">-100001</td></tr>"

finish
