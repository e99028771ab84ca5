# The Atom feeds: one whole feed against a golden file, the tags feed, the
# limit of 100 entries, links with and without a base URL, empty messages,
# and bytes no XML reader accepts (controls, invalid UTF-8), which the feeds
# must drop or replace while the HTML pages keep them.
. ./lib.sh

# well_formed WHAT FILE: FILE parses as XML.
well_formed() {
	checks=$((checks + 1))
	xmllint --noout "$2" 2>"$SCRATCH/xmllint" || fail "$1: $(head -n 1 "$SCRATCH/xmllint")"
}

# feed_head NAME SUBTITLE: a feed up to its first entry.
feed_head() {
	printf '<?xml version="1.0" encoding="UTF-8"?>\n<feed xmlns="http://www.w3.org/2005/Atom">\n'
	printf '<title>%s, branch HEAD</title>\n<subtitle>%s</subtitle>\n' "$1" "$2"
}

# --- Golden feed, links, tags feed ------------------------------------------
new_repo gold.git
g=gold.git
printf 'Feeds <&> "test"\n' >$g/.git/description
GIT_AUTHOR_DATE="@1700000000 -0500" git -C $g commit -q --allow-empty -m "first <commit>" -m "body & 'quoted'"
GIT_AUTHOR_NAME="Bob & Co" GIT_AUTHOR_EMAIL="bob@example.org" GIT_AUTHOR_DATE="@1700003600 +0530" \
	git -C $g commit -q --allow-empty -m 'second "one"'
c1=$(git -C $g rev-parse HEAD~1)
c2=$(git -C $g rev-parse HEAD)
GIT_COMMITTER_NAME="Tom Tagger" GIT_COMMITTER_DATE="@1710000000 +0000" \
	git -C $g tag -a -m "release one" v1 "$c1"
git -C $g tag v2 "$c2"
git -C $g tag "a&b" "$c2"

run_site out-gold -u https://example.org/gold/ ../$g
check_eq "gold: status" 0 "$status"
sed -e "s/@C1@/$c1/g" -e "s/@C2@/$c2/g" "$GOLDEN/feeds-atom.xml" >"$SCRATCH/expected"
check_files_eq "whole HEAD feed" "$SCRATCH/expected" out-gold/atom.xml
well_formed "HEAD feed" out-gold/atom.xml
well_formed "tags feed" out-gold/tags.xml

grep '^<title\|^<id>\|^<published>' out-gold/tags.xml >"$SCRATCH/actual"
cat >"$SCRATCH/expected" <<EOF
<title>gold, branch HEAD</title>
<id>$c2</id>
<published>2023-11-14T23:13:20Z</published>
<title type="text">[a&amp;b] second &quot;one&quot;</title>
<id>$c2</id>
<published>2023-11-14T23:13:20Z</published>
<title type="text">[v2] second &quot;one&quot;</title>
<id>$c1</id>
<published>2023-11-14T22:13:20Z</published>
<title type="text">[v1] first &lt;commit&gt;</title>
EOF
check_files_eq "tags feed: titles, order, commits of annotated tags" "$SCRATCH/expected" "$SCRATCH/actual"
check_contains "tags feed: subtitle" out-gold/tags.xml '<subtitle>Feeds &lt;&amp;&gt; &quot;test&quot;'
check_absent "tags feed: no tagger" out-gold/tags.xml "Tom Tagger"

run_site out-rel ../$g
check_contains "no base URL: relative link" out-rel/atom.xml \
	"<link rel=\"alternate\" type=\"text/html\" href=\"commit/$c2.html\" />"
run_site out-noslash -u https://example.org/gold ../$g
check_contains "base URL without a slash: put in front as is" out-noslash/atom.xml \
	"<link rel=\"alternate\" type=\"text/html\" href=\"https://example.org/goldcommit/$c1.html\" />"

# --- No commits; a history without tags --------------------------------------
new_repo empty
rm -f empty/.git/description
run_site out-empty ../empty
{ feed_head empty ""; printf '</feed>\n'; } >"$SCRATCH/expected"
check_files_eq "no commits: HEAD feed" "$SCRATCH/expected" out-empty/atom.xml
check_files_eq "no commits: tags feed" "$SCRATCH/expected" out-empty/tags.xml

# --- 100 entries at most --------------------------------------------------------
new_repo many
i=1
while [ $i -le 101 ]; do
	printf 'commit refs/heads/master\ncommitter Cid Committer <cid@example.org> %d +0000\ndata 4\nc%03d\n' \
		$((1700000000 + i)) $i
	i=$((i + 1))
done | git -C many fast-import --quiet
rm -f many/.git/description
root=$(git -C many rev-parse master~100)
newest=$(git -C many rev-parse master)
git -C many update-ref refs/heads/master master~1
run_site out-100 ../many
check_eq "100 commits: entries" 100 "$(grep -c '^<entry>$' out-100/atom.xml)"
check_eq "100 commits: parent lines" 99 "$(grep -c '^parent ' out-100/atom.xml)"
check_eq "root commit: no parent line" "Author: Cid Committer &lt;cid@example.org&gt;" \
	"$(grep -A1 "^<content type=\"text\">commit $root$" out-100/atom.xml | sed -n 2p)"
{ feed_head many ""; printf '</feed>\n'; } >"$SCRATCH/expected"
check_files_eq "no tags: tags feed" "$SCRATCH/expected" out-100/tags.xml

git -C many update-ref refs/heads/master "$newest"
run_site out-101 ../many
check_eq "101 commits: entries" 100 "$(grep -c '^<entry>$' out-101/atom.xml)"
check_eq "101 commits: newest first" "<id>$newest</id>" "$(grep -m1 '^<id>' out-101/atom.xml)"
check_absent "101 commits: root left out" out-101/atom.xml "<id>$root</id>"
check_eq "101 commits: oldest entry" "<id>$(git -C many rev-parse master~99)</id>" \
	"$(grep '^<id>' out-101/atom.xml | tail -n 1)"
well_formed "101 commits" out-101/atom.xml

# --- An empty message: an empty title, an empty message ---------------------
new_repo quiet
commit_all quiet ""
run_site out-quiet ../quiet
check_contains "empty message: empty title" out-quiet/atom.xml '<title type="text"></title>'
sed -n '/^Date:/,$p' out-quiet/atom.xml >"$SCRATCH/actual"
printf 'Date:   Tue, 14 Nov 2023 17:13:20 -0500\n\n\n</content>\n</entry>\n</feed>\n' >"$SCRATCH/expected"
check_files_eq "empty message: content" "$SCRATCH/expected" "$SCRATCH/actual"

# --- Bytes XML forbids: dropped or replaced in the feeds only ----------------
# The summary holds controls, a Latin-1 e acute and U+FFFF; the body ill-formed
# sequences (each maximal subpart becomes one U+FFFD), valid UTF-8, a tab and
# a CR, and ends inside a sequence.
new_repo bytes
b=bytes
printf 'desc\001\351\n' >$b/.git/description
tree=$(git -C $b hash-object -t tree -w --stdin </dev/null)
printf 'tree %s\nauthor Eve\001\033 Caf\351 <eve@example.org> 1700000000 -0500\ncommitter Cid Committer <cid@example.org> 1700000100 +0100\n\nsum\001x\033y caf\351 \357\277\277!\n\nbad \340\200y \342\202z \355\240\200 ok \303\251 \360\237\230\200\tq\r\nend \303' "$tree" \
	>"$SCRATCH/commit"
cb=$(git -C $b hash-object -t commit --literally -w "$SCRATCH/commit")
git -C $b update-ref refs/heads/master "$cb"
git -C $b update-ref "refs/tags/caf$(printf '\351')" "$cb"
run_site out-bytes ../$b
check_eq "bad bytes: status" 0 "$status"
well_formed "bad bytes: HEAD feed" out-bytes/atom.xml
well_formed "bad bytes: tags feed" out-bytes/tags.xml
{
	feed_head bytes "$(printf 'desc\357\277\275')
"
	printf '<entry>\n<id>%s</id>\n<published>2023-11-14T22:13:20Z</published>\n<updated>2023-11-14T22:15:00Z</updated>\n' "$cb"
	printf '<title type="text">sumxy caf\357\277\275 !</title>\n'
	printf '<link rel="alternate" type="text/html" href="commit/%s.html" />\n' "$cb"
	printf '<author>\n<name>Eve Caf\357\277\275</name>\n<email>eve@example.org</email>\n</author>\n'
	printf '<content type="text">commit %s\nAuthor: Eve Caf\357\277\275 &lt;eve@example.org&gt;\n' "$cb"
	printf 'Date:   Tue, 14 Nov 2023 17:13:20 -0500\n\n'
	printf 'sumxy caf\357\277\275 !\n\nbad \357\277\275\357\277\275y \357\277\275z '
	printf '\357\277\275\357\277\275\357\277\275 ok \303\251 \360\237\230\200\tq\r\nend \357\277\275'
	printf '\n</content>\n</entry>\n</feed>\n'
} >"$SCRATCH/expected"
check_files_eq "bad bytes: HEAD feed" "$SCRATCH/expected" out-bytes/atom.xml
check_contains "bad bytes: tag title" out-bytes/tags.xml \
	"$(printf '<title type="text">[caf\357\277\275] sumxy caf\357\277\275 !</title>')"
check_contains "bad bytes: tag name raw in HTML" out-bytes/refs.html "$(printf '<tr><td>caf\351</td>')"
check_contains "bad bytes: author raw in HTML" out-bytes/refs.html "$(printf '<td>Eve\001\033 Caf\351</td>')"
check_contains "bad bytes: description raw in HTML" out-bytes/refs.html "$(printf '<span class="desc">desc\001\351')"
check_contains "bad bytes: summary raw in HTML" "out-bytes/commit/$cb.html" \
	"$(printf '<title>sum\001x\033y caf\351 \357\277\277! - bytes')"

finish
