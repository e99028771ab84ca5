# The file listing and the file pages: rows in stored order with mode, link
# and size, page contents, directories under "file/", pages of earlier runs,
# a directory that cannot be made, and crafted trees whose entry names would
# lead outside "file/". One page is compared with a golden file.
. ./lib.sh

# row MODE PAGE NAME SIZE: one row of the files table (PAGE as linked).
row() {
	printf '<tr><td>%s</td><td><a href="file/%s.html">%s</a></td><td class="num" align="right">%s</td></tr>\n' \
		"$1" "$2" "$3" "$4"
}

table_head() {
	printf '<table id="files"><thead>\n<tr><td><b>Mode</b></td><td><b>Name</b></td><td class="num" align="right"><b>Size</b></td></tr>\n</thead><tbody>\n'
}

table_end() {
	printf '</tbody></table></div>\n</body>\n</html>\n'
}

# raw_tree REPO MODE NAME ID...: writes a tree object holding exactly these
# entries, in this order and unchecked, as git would never write it (perl
# packs the binary ids; perl-base is on every Debian system).
raw_tree() {
	repo=$1
	shift
	perl -e 'while (@ARGV) { my ($m, $n, $h) = splice(@ARGV, 0, 3);
		print "$m $n\0", pack("H*", $h) }' "$@" |
		git -C "$repo" hash-object -t tree --literally -w --stdin
}

# point_head REPO TREE: a root commit of TREE becomes master.
point_head() {
	git -C "$1" update-ref refs/heads/master "$(git -C "$1" commit-tree -m crafted "$2")"
}

# --- The listing: order, modes, sizes, names, pages; earlier pages stay ---
new_repo demo
printf 'files & pages\n' >demo/.git/description
printf 'old\n' >demo/old.c
printf 'first\n' >demo/README
git -C demo add -A
commit_all demo "First"
run_site out ../demo
check_eq "first run status" 0 "$status"
cp out/file/old.c.html "$SCRATCH/old.c.html"
check_contains "README page of the first run" out/file/README.html "> first"

git -C demo rm -q old.c
printf '[submodule "sub"]\n\tpath = sub\n\turl = ../sub\n' >demo/.gitmodules
printf 'one\ntwo\nthree\n' >demo/README
head -c 2048 /dev/zero >demo/bin.dat
printf 'a\r\nb\r\n' >demo/crlf.txt
: >demo/empty.txt
ln -s target/path demo/link
printf 'x\n' >"demo/my file#1.txt"
printf 'a\nb' >demo/nonl.txt
printf 'q\n' >"demo/q&<>.txt"
printf '#!/bin/sh\n' >demo/run.sh
chmod 755 demo/run.sh
mkdir -p demo/src/lib
printf 'int a;\n' >demo/src/a.c
printf 'int b(void)\n{\n\treturn 1 < 2 && "x";\n}\n' >demo/src/lib/b.c
printf 'z\n' >demo/z.txt
git -C demo add -A
git -C demo update-index --add --cacheinfo 160000,1234567890abcdef1234567890abcdef12345678,sub
commit_all demo "Everything"
run_site out ../demo
check_eq "second run status" 0 "$status"

{
	table_head
	row -rw-r--r-- .gitmodules .gitmodules 3L
	row -rw-r--r-- README README 3L
	row -rw-r--r-- bin.dat bin.dat 2048B
	row -rw-r--r-- crlf.txt crlf.txt 2L
	row -rw-r--r-- empty.txt empty.txt 0B
	row l--------- link link 1L
	row -rw-r--r-- my%20file%231.txt "my file#1.txt" 1L
	row -rw-r--r-- nonl.txt nonl.txt 2L
	row -rw-r--r-- q%26%3C%3E.txt 'q&amp;&lt;&gt;.txt' 1L
	row -rwxr-xr-x run.sh run.sh 1L
	row -rw-r--r-- src/a.c src/a.c 1L
	row -rw-r--r-- src/lib/b.c src/lib/b.c 4L
	printf '<tr><td>m---------</td><td><a href="file/.gitmodules.html">sub</a> @ 1234567</td><td class="num" align="right"></td></tr>\n'
	row -rw-r--r-- z.txt z.txt 1L
	table_end
} >"$SCRATCH/want"
check_content "files table" out/files.html <"$SCRATCH/want"

check_files_eq "page of a file no longer in HEAD" "$SCRATCH/old.c.html" out/file/old.c.html
check_contains "page rewritten with the new content" out/file/README.html '      3</a> three'
check_files_eq "page two directories deep" "$GOLDEN/files-blob.html" out/file/src/lib/b.c.html
check_contains "one level deep: prefix" out/file/src/a.c.html '<link rel="stylesheet" type="text/css" href="../../style.css" />'
check_contains "top level: prefix" out/file/README.html '<a href="../../"><img src="../logo.png"'
check_exists "page of a name with a blank and #" "out/file/my file#1.txt.html"
check_contains "its title" "out/file/my file#1.txt.html" '<title>my file#1.txt - demo - files &amp; pages'
check_exists "page of a name with markup" "out/file/q&<>.txt.html"
check_contains "its name line" "out/file/q&<>.txt.html" '<p> q&amp;&lt;&gt;.txt (2B)</p>'
check_missing "no page for a submodule" out/file/sub.html
check_missing "no page for a directory" out/file/src.html

check_content "binary file" out/file/bin.dat.html <<'EOF'
<p> bin.dat (2048B)</p><hr/><p>Binary file.</p>
</div>
</body>
</html>
EOF
check_content "empty file" out/file/empty.txt.html <<'EOF'
<p> empty.txt (0B)</p><hr/><pre id="blob">
</pre>
</div>
</body>
</html>
EOF
check_content "CRLF lines" out/file/crlf.txt.html <<'EOF'
<p> crlf.txt (6B)</p><hr/><pre id="blob">
<a href="#l1" class="line" id="l1">      1</a> a
<a href="#l2" class="line" id="l2">      2</a> b
</pre>
</div>
</body>
</html>
EOF
check_content "no final newline" out/file/nonl.txt.html <<'EOF'
<p> nonl.txt (3B)</p><hr/><pre id="blob">
<a href="#l1" class="line" id="l1">      1</a> a
<a href="#l2" class="line" id="l2">      2</a> b</pre>
</div>
</body>
</html>
EOF
check_content "symbolic link shows its target" out/file/link.html <<'EOF'
<p> link (11B)</p><hr/><pre id="blob">
<a href="#l1" class="line" id="l1">      1</a> target/path</pre>
</div>
</body>
</html>
EOF

# --- Pages are replaced only when their bytes change ---------------------
# stamps DIR: every file under DIR with its inode and modification time.
stamps() {
	(cd "$1" && find . -type f -printf '%p|%i %T@\n' | sort)
}
# changed BEFORE AFTER: the files whose inode or time differ, or that are new.
changed() {
	awk -F'|' 'NR == FNR { old[$1] = $2; next } old[$1] != $2 { print $1 }' "$1" "$2" |
		tr '\n' ' '
}
sleep 1 # a new modification time would differ from the old one
stamps out >"$SCRATCH/stamps1"
run_site out ../demo
check_eq "unchanged run: status" 0 "$status"
stamps out >"$SCRATCH/stamps2"
check_eq "unchanged run: no page touched" "" "$(changed "$SCRATCH/stamps1" "$SCRATCH/stamps2")"
check_eq "unchanged run: no temporary file" "" \
	"$(find out -regextype posix-extended -regex '.*\.(html|xml)\.[A-Za-z0-9]{6}')"

printf 'int a = 1;\n' >demo/src/a.c
git -C demo add -A
commit_all demo "Change a.c" 1700000500
run_site out -c ../demo.cache ../demo
stamps out >"$SCRATCH/stamps3"
new=$(git -C demo rev-parse HEAD)
check_eq "one file changed: pages touched" \
	"./atom.xml ./commit/$new.html ./file/src/a.c.html ./files.html ./log.html ./refs.html " \
	"$(changed "$SCRATCH/stamps2" "$SCRATCH/stamps3")"

# A page cut short by hand, as a killed run would once leave it, is whole
# again after the next run; so is one replaced by a link.
cp out/file/README.html "$SCRATCH/README.html"
head -c 50 "$SCRATCH/README.html" >out/file/README.html
cp out/file/z.txt.html "$SCRATCH/z.txt.html"
echo keep >"$SCRATCH/target.txt"
ln -sf "$SCRATCH/target.txt" out/file/z.txt.html
run_site out -c ../demo.cache ../demo
check_files_eq "page cut short: repaired" "$SCRATCH/README.html" out/file/README.html
check_files_eq "page made a link: replaced" "$SCRATCH/z.txt.html" out/file/z.txt.html
check_eq "page made a link: a regular file" "regular file" "$(stat -c %F out/file/z.txt.html)"
check_eq "page made a link: its target untouched" keep "$(cat "$SCRATCH/target.txt")"

# --- Pages compared with the page in place, piece by piece -----------------
# The page in place is read in pieces of 64 KiB; from the first piece that
# differs on, the new page is written under its temporary name, starting with
# the part that matched. Each page in place below is made from a fresh render
# of the same commit, and the run over it must leave exactly the fresh bytes.
new_repo big
awk 'BEGIN { for (i = 1; i <= 2000; i++) printf "line %d of a page of three pieces\n", i }' >big/big.txt
git -C big add -A
commit_all big "big"
run_site big-fresh ../big
fresh=$SCRATCH/big-fresh/file/big.txt.html
checks=$((checks + 1))
[ "$(wc -c <"$fresh")" -gt 140000 ] || fail "big page: not over two pieces"
cp -R big-fresh big-site

# over_old WHAT PERL: the page in place is the fresh page as PERL edits it
# (its bytes in $_).
over_old() {
	perl -0777 -pe "$2" "$fresh" >big-site/file/big.txt.html
	run_site big-site ../big
	check_success "$1"
	check_files_eq "$1" "$fresh" big-site/file/big.txt.html
}
over_old "a byte after the first piece" 'substr($_, 100000, 1) ^= "\x01"'
over_old "one byte more after the first piece" 'substr($_, 100000, 0) = "x"'
over_old "one byte less after the first piece" 'substr($_, 100000, 1) = ""'
over_old "last byte of the first piece" 'substr($_, 65535, 1) ^= "\x01"'
over_old "last byte of the second piece" 'substr($_, 131071, 1) ^= "\x01"'
over_old "new page a prefix of the old" '$_ .= "more\n"'
over_old "old page longer, changed after the first piece" 'substr($_, 70000, 1) ^= "\x01"; $_ .= "x" x 70000'
over_old "old page cut short after the first piece" '$_ = substr($_, 0, 100000)'

# A link to a file of the very same bytes is replaced all the same.
cp "$fresh" "$SCRATCH/same.html"
ln -sf "$SCRATCH/same.html" big-site/file/big.txt.html
run_site big-site ../big
check_eq "link to the same bytes: a regular file" "regular file" "$(stat -c %F big-site/file/big.txt.html)"
check_files_eq "link to the same bytes: page" "$fresh" big-site/file/big.txt.html
check_files_eq "link to the same bytes: target untouched" "$fresh" "$SCRATCH/same.html"

# A FIFO or a socket where a page goes is replaced like a link, and never
# opened: a FIFO opened for reading waits for a writer.
# run_timed OUTDIR ARGS...: run_site, for a run that could hang.
run_timed() {
	out=$1
	shift
	(cd "$out" && exec timeout 10 "$REPOPAGE" "$@" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	status=$?
}
rm big-site/log.html big-site/files.html big-site/file/big.txt.html
mkfifo big-site/log.html big-site/file/big.txt.html
/usr/bin/python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' \
	big-site/files.html
run_timed big-site ../big
check_success "FIFO and socket in place of pages"
for page in log.html files.html file/big.txt.html; do
	type=$(stat -c %F "big-site/$page")
	check_eq "$page was special: a regular file" "regular file" "$type"
	[ "$type" != "regular file" ] || check_files_eq "$page was special: page" "big-fresh/$page" "big-site/$page"
done

# --- A .gz beside a page follows the page ----------------------------------
# Servers send <page>.gz as it is to clients that take gzip. A page that is
# replaced takes its .gz along, with its own modification time, by which the
# hook knows a current .gz; where no .gz was, none is made. A .gz that is a
# link is replaced, never written through; a FIFO is left alone.
# gz_of PAGE: a .gz of PAGE, made as the hook makes it.
gz_of() {
	gzip -n -9 -c "$1" >"$1.gz" && touch -r "$1" "$1.gz"
}
gz_of big-site/log.html
gz_of big-site/file/big.txt.html
gz_of big-site/tags.xml
echo keep >"$SCRATCH/gz-target"
ln -s "$SCRATCH/gz-target" big-site/refs.html.gz
mkfifo big-site/atom.xml.gz
stamps big-site >"$SCRATCH/gz-stamps1"
perl -pi -e 's/^line 1999 of/LINE 1999 of/' big/big.txt
git -C big add -A
commit_all big "near the end" 1700000500
run_timed big-site ../big
check_success "pages with a .gz"
run_site big-fresh2 ../big
for page in log.html refs.html file/big.txt.html; do
	check_files_eq "$page beside a .gz" "big-fresh2/$page" "big-site/$page"
	gzip -dc "big-site/$page.gz" >"$SCRATCH/unzipped"
	check_files_eq "$page.gz follows its page" "big-site/$page" "$SCRATCH/unzipped"
	check_eq "$page.gz: the page's modification time" \
		"$(stat -c %y "big-site/$page")" "$(stat -c %y "big-site/$page.gz")"
done
check_eq "a .gz that was a link: a regular file" "regular file" "$(stat -c %F big-site/refs.html.gz)"
check_eq "a .gz that was a link: its target untouched" keep "$(cat "$SCRATCH/gz-target")"
check_eq "a FIFO .gz: left alone" fifo "$(stat -c %F big-site/atom.xml.gz)"
stamps big-site >"$SCRATCH/gz-stamps2"
check_eq "the .gz of an unchanged page: untouched" "" \
	"$(changed "$SCRATCH/gz-stamps1" "$SCRATCH/gz-stamps2" | tr ' ' '\n' | grep 'tags')"
check_eq "no .gz where none was" \
	"./atom.xml.gz ./file/big.txt.html.gz ./log.html.gz ./refs.html.gz ./tags.xml.gz" \
	"$(cd big-site && find . -name '*.gz' | sort | tr '\n' ' ' | sed 's/ $//')"

# --- File names of 244 to 250 bytes --------------------------------------
# Their pages' names are 249 to 255 bytes long: with ".XXXXXX" past
# NAME_MAX, they are made under a short temporary name in their directory,
# and so is the .gz beside those of names up to 247 bytes.
new_repo names
lengths="244 245 246 247 248 249 250"
for n in $lengths; do
	printf '%s\n' "$n" >"names/$(printf "%0${n}d" "$n")"
done
git -C names add -A
commit_all names "long names"
run_site names-site ../names
check_success "names of 244 to 250 bytes"
for n in 244 245 246 247; do
	gz_of "names-site/file/$(printf "%0${n}d" "$n").html"
done
for n in $lengths; do
	printf 'changed %s\n' "$n" >"names/$(printf "%0${n}d" "$n")"
done
git -C names add -A
commit_all names "long names changed" 1700000500
run_site names-site ../names
check_success "names of 244 to 250 bytes, changed"
run_site names-fresh ../names
for n in $lengths; do
	page=file/$(printf "%0${n}d" "$n").html
	check_files_eq "name of $n bytes: page" "names-fresh/$page" "names-site/$page"
	if [ "$n" -le 247 ]; then
		gzip -dc "names-site/$page.gz" >"$SCRATCH/unzipped"
		check_files_eq "name of $n bytes: its .gz" "names-site/$page" "$SCRATCH/unzipped"
	fi
done
(cd names-fresh && find . | sort) >"$SCRATCH/expected"
(cd names-site && find . ! -name '*.gz' | sort) >"$SCRATCH/actual"
check_files_eq "names of 244 to 250 bytes: no temporary file left" "$SCRATCH/expected" "$SCRATCH/actual"

# --- Empty tree, and no HEAD at all ---------------------------------------
new_repo bare-tree
commit_all bare-tree "Nothing"
run_site out-empty ../bare-tree
{ table_head; table_end; } >"$SCRATCH/want"
check_content "empty tree" out-empty/files.html <"$SCRATCH/want"
new_repo unborn
run_site out-unborn ../unborn
printf '</div>\n</body>\n</html>\n' >"$SCRATCH/want"
check_content "no HEAD: frame alone" out-unborn/files.html <"$SCRATCH/want"

# --- A directory that cannot be made: the row shows the byte size ---------
new_repo blocked
mkdir -p blocked/x/y
printf 'a\n' >blocked/a.txt
printf 'int z;\nint w;\n' >blocked/x/y/z.c
printf 'zz\n' >blocked/zz.txt
git -C blocked add -A
commit_all blocked "blocked"
mkdir -p out-blocked/file
printf 'not a directory\n' >out-blocked/file/x
run_site out-blocked ../blocked
check_eq "blocked directory: status" 0 "$status"
{
	table_head
	row -rw-r--r-- a.txt a.txt 1L
	row -rw-r--r-- x/y/z.c x/y/z.c 14B
	row -rw-r--r-- zz.txt zz.txt 1L
	table_end
} >"$SCRATCH/want"
check_content "blocked directory: rows" out-blocked/files.html <"$SCRATCH/want"
check_eq "blocking file untouched" "not a directory" "$(cat out-blocked/file/x)"
check_eq "blocked directory: stderr" "" "$(cat "$SCRATCH/stderr")"

# A page right under such a file cannot be opened: fatal.
printf 'int a;\n' >blocked/x/a.c
git -C blocked add -A
commit_all blocked "a.c"
run_site out-blocked ../blocked
check_eq "page under a file: status" 1 "$status"
check_eq "page under a file: message" \
	"repopage: fopen: 'file/x/a.c.html': Not a directory" "$(cat "$SCRATCH/stderr")"

# --- Page paths at the limit: 1023 characters fit, 1024 do not -------------
new_repo long
a=$(printf '%0250d' 0)
deep="$a/$a/$a/$a"
mkdir -p "long/$deep"
printf 'fits\n' >"long/$deep/123456789"   # entry path of 1013 characters
printf 'long\n' >"long/$deep/1234567890"  # one more
git -C long add -A
commit_all long "long paths"
run_site out-long ../long
check_eq "page path too long: status" 1 "$status"
check_eq "page path too long: message" \
	"repopage: path truncated: 'file/$deep/1234567890.html'" "$(cat "$SCRATCH/stderr")"
check_exists "page path of 1023 characters" "out-long/file/$deep/123456789.html"

# --- Crafted trees: names that would lead outside "file/" are skipped -----
# "..", "." and names with "/" get no row, no page and no descent; the rest
# is listed. A tree with an empty name does not parse at all, so the
# directory holding one is left out whole, and the commit's diff fails: the
# run names it and ends with status 1.
new_repo unsafe
blob=$(printf 'evil\n' | git -C unsafe hash-object -w --stdin)
good=$(printf 'good\n' | git -C unsafe hash-object -w --stdin)
up=$(raw_tree unsafe 100644 evil.txt "$blob")
dot=$(raw_tree unsafe 100644 dot.txt "$blob")
empty_name=$(raw_tree unsafe 100644 fine.txt "$good" 100644 "" "$blob")
inner=$(raw_tree unsafe 40000 .. "$up" 100644 inner.txt "$good")
root=$(raw_tree unsafe \
	40000 .. "$up" \
	40000 . "$dot" \
	100644 ../../marker/x "$blob" \
	100644 a/b "$blob" \
	100644 ... "$good" \
	40000 bad "$empty_name" \
	40000 d "$inner" \
	100644 ok.txt "$good")
point_head unsafe "$root"
mkdir -p crafted/marker
: >crafted/marker/keep
run_site crafted/site ../../unsafe
check_failure "crafted tree" \
	"$REPOPAGE: cannot diff commit $(git -C unsafe rev-parse HEAD): failed to parse tree: can't parse filename"
{
	table_head
	row -rw-r--r-- ... ... 1L
	row -rw-r--r-- d/inner.txt d/inner.txt 1L
	row -rw-r--r-- ok.txt ok.txt 1L
	table_end
} >"$SCRATCH/want"
check_content "crafted tree: rows" crafted/site/files.html <"$SCRATCH/want"
find crafted | grep -v '^crafted/site/commit/' | sort >"$SCRATCH/actual"
cat >"$SCRATCH/expected" <<'EOF'
crafted
crafted/marker
crafted/marker/keep
crafted/site
crafted/site/atom.xml
crafted/site/commit
crafted/site/file
crafted/site/file/....html
crafted/site/file/d
crafted/site/file/d/inner.txt.html
crafted/site/file/ok.txt.html
crafted/site/files.html
crafted/site/log.html
crafted/site/refs.html
crafted/site/tags.xml
EOF
check_files_eq "crafted tree: files written" "$SCRATCH/expected" "$SCRATCH/actual"

# --- Raw copies and tree pages: repopage.raw and repopage.tree -----------
# With the keys on, the demo gains a deep path and a directory named
# "index.html", whose page would need a directory where its parent's page
# is: it gets none, and links to it lead to files.html.
check_missing "keys off: no raw/" out/raw
check_missing "keys off: no tree/" out/tree
mkdir -p demo/deep/a/b/c "demo/d/index.html/x"
printf 'deep\n' >demo/deep/a/b/c/leaf.txt
printf 'e\n' >demo/d/e.txt
printf 'below index.html\n' >demo/d/index.html/x/f.txt
printf 'a\000b\n' >demo/src/nul.bin
git -C demo add -A
git -C demo update-index --add --cacheinfo 160000,1234567890abcdef1234567890abcdef12345678,sub
commit_all demo "Deep and colliding" 1700000600
git -C demo config repopage.raw true
git -C demo config repopage.tree true
run_site rich ../demo
check_success "raw and tree"

git -C demo ls-tree -r --format='%(objecttype) %(path)' HEAD | sed -n 's/^blob //p' | sort >"$SCRATCH/blobs"
while IFS= read -r f; do
	git -C demo cat-file blob "HEAD:$f" >"$SCRATCH/blob"
	check_files_eq "raw copy of $f" "$SCRATCH/blob" "rich/raw/$f"
done <"$SCRATCH/blobs"
check_eq "raw copies: one per file" "$(cat "$SCRATCH/blobs")" \
	"$(cd rich/raw && find . -type f | sed 's|^\./||' | sort)"
check_eq "a link's raw copy: a regular file" "regular file" "$(stat -c %F rich/raw/link)"
check_files_eq "tree page of a subdirectory" "$GOLDEN/tree-page.html" rich/tree/src/index.html
check_files_eq "file page with breadcrumb and raw link" "$GOLDEN/tree-file-page.html" \
	rich/file/src/lib/b.c.html

# sizes FILE...: "path size" of every file row, its link's "../" cut.
sizes() {
	sed -n 's|.*<a href="\(\.\./\)*file/\(.*\)\.html">.*</a></td><td class="num" align="right">\(.*\)</td></tr>$|\2 \3|p' "$@" | sort
}
sizes rich/files.html | grep -v '^d/index.html/' >"$SCRATCH/expected"
sizes $(find rich/tree -name index.html) >"$SCRATCH/actual"
check_files_eq "tree pages: the sizes of files.html" "$SCRATCH/expected" "$SCRATCH/actual"
for page in $(find rich/tree -name index.html); do
	check_eq "$page: directories, files, submodules" "" "$(awk -F'</?td>' '
		/^<tr><td>[^<]/ { rank = ($2 ~ /^d/) ? 0 : ($2 ~ /^m/) ? 2 : 1
			if (rank < last + 0) print; last = rank }' "$page")"
done
check_contains "root page: the submodule" rich/tree/index.html \
	'<a href="../file/.gitmodules.html">sub</a> @ 1234567'
check_eq "directory named index.html: its parent's page" "regular file" \
	"$(stat -c %F rich/tree/d/index.html)"
check_contains "directory named index.html: linked to files.html" rich/tree/d/index.html \
	'<a href="../../files.html">index.html</a>'
check_contains "below it: breadcrumb" rich/file/d/index.html/x/f.txt.html \
	'<p> <a href="../../../../tree/index.html">demo</a> / <a href="../../../../tree/d/index.html">d</a> / <a href="../../../../files.html">index.html</a> / <a href="../../../../files.html">x</a> / <a href="../../../../file/d/index.html/x/f.txt.html">f.txt</a> (17B)'
check_links rich

# A second run touches nothing; a changed file replaces its copy, its page
# and its directory's page. A link planted where a copy goes is replaced,
# its target untouched.
sleep 1
stamps rich >"$SCRATCH/rich1"
run_site rich ../demo
stamps rich >"$SCRATCH/rich2"
check_eq "raw and tree, unchanged run: nothing touched" "" "$(changed "$SCRATCH/rich1" "$SCRATCH/rich2")"
printf 'int a = 1;\nint b;\n' >demo/src/a.c
git -C demo add src/a.c
commit_all demo "a.c grows" 1700000700
echo keep >"$SCRATCH/raw-target"
rm rich/raw/z.txt
ln -s "$SCRATCH/raw-target" rich/raw/z.txt
run_site rich ../demo
check_success "one file changed"
stamps rich >"$SCRATCH/rich3"
check_eq "one file changed: raw and tree files touched" "./raw/src/a.c ./raw/z.txt ./tree/src/index.html " \
	"$(changed "$SCRATCH/rich2" "$SCRATCH/rich3" | tr ' ' '\n' | grep -E '^\./(raw|tree)/' | tr '\n' ' ')"
check_files_eq "changed copy" demo/src/a.c rich/raw/src/a.c
check_eq "planted link: a regular file" "regular file" "$(stat -c %F rich/raw/z.txt)"
check_files_eq "planted link: the file's bytes" demo/z.txt rich/raw/z.txt
check_eq "planted link: its target untouched" keep "$(cat "$SCRATCH/raw-target")"

# A path that was a directory and is a file now, or the other way round,
# finds the copies of the earlier HEAD in its way under raw/, which keeps
# them: its copy is left out, and the run goes on.
git -C demo rm -rq deep/a/b/c z.txt
mkdir -p demo/deep/a/b demo/z.txt
printf 'now a file\n' >demo/deep/a/b/c
printf 'now a directory\n' >demo/z.txt/inner
git -C demo add deep z.txt
commit_all demo "c and z.txt swap kinds" 1700000800
run_site rich ../demo
check_success "file and directory swapped"
check_absent "file where a directory was: no raw link" rich/file/deep/a/b/c.html 'raw</a>'
check_absent "directory where a file was: no raw link" rich/file/z.txt/inner.html 'raw</a>'
check_contains "the rest: raw links" rich/file/src/a.c.html '(18B) <a href="../../raw/src/a.c">raw</a></p>'
check_links rich

# Crafted trees: nothing is written outside raw/ or tree/ either.
git -C unsafe config repopage.raw true
git -C unsafe config repopage.tree true
mkdir -p crafted2/marker
: >crafted2/marker/keep
run_site crafted2/site ../../unsafe
(cd crafted2 && find . -path ./site/commit -prune -o -print | grep -E '^\./(marker|site/(raw|tree))' | sort) >"$SCRATCH/actual"
cat >"$SCRATCH/expected" <<'EOF2'
./marker
./marker/keep
./site/raw
./site/raw/...
./site/raw/d
./site/raw/d/inner.txt
./site/raw/ok.txt
./site/tree
./site/tree/d
./site/tree/d/index.html
./site/tree/index.html
EOF2
check_files_eq "crafted tree: raw and tree files written" "$SCRATCH/expected" "$SCRATCH/actual"

# The about page links a directory to its tree page, and one with no page
# (named index.html, or below one) to files.html.
printf '[d](d/), [below index.html](d/index.html/x/)\n' >demo/README.md
git -C demo add README.md
commit_all demo "README.md" 1700000900
git -C demo config repopage.about true
run_site rich ../demo
check_success "about with tree pages"
check_contains "about: directory links" rich/about.html \
	'<a href="tree/d/index.html">d</a>, <a href="files.html">below index.html</a>'
check_links rich

# --- The about page: the README of HEAD's root, with repopage.about ------
# Markdown with every extension, headings of the same name, and relative
# links to a file, a directory, an image and the top, compared with a
# golden file; the image is copied under raw/ though repopage.raw is off.
new_repo about
printf 'about page\n' >about/.git/description
git -C about config repopage.about true
mkdir -p about/src about/img
printf 'int main(void)\n{\n\treturn 0;\n}\n' >about/src/main.c
printf 'x\n' >"about/my file#1.txt"
printf '\211PNG\r\n\032\n\0\0\0\rIHDR' >about/img/logo.png
cat >about/README.md <<'EOF'
# Demo *project*

A line with ~~strike~~, a www.example.org autolink and <https://example.com/x?a=1&b=2>.

## Links

- [main.c at line 2](src/main.c#l2), [the same by ../ and ./](docs/../src/./main.c)
- [a name with a blank and #](my%20file%231.txt), [from the top](/src/main.c)
- [the sources](src/), [the top](./)
- [a heading](#usage), [the second of that name](#usage-1), [the frame's](#content-1)
- [absolute](https://example.org/a?b=1&c=2 "a \"quoted\" title"), [scheme-relative](//example.org/)
- ![logo](img/logo.png "The logo")

## Usage

| Option | Meaning |
|:-------|--------:|
| `-c`   | cache   |
| `-l`   | limit   |

## Usage

- [ ] to do
- [x] done

```sh
make && ./build/repopage ../repo
```

### Grüße & more!

## Content
EOF
git -C about add -A
commit_all about "About"
run_site about-site ../about
check_success "about page"
check_files_eq "about page: Markdown" "$GOLDEN/files-about.html" about-site/about.html
check_links about-site
check_files_eq "about page: the image's raw copy" about/img/logo.png about-site/raw/img/logo.png
check_eq "about page: the image alone under raw/" ./img/logo.png "$(cd about-site/raw && find . -type f)"
check_eq "about page: linked from every page" "" \
	"$(find about-site -name '*.html' ! -exec grep -q 'about.html">About</a> | <a href="[./]*log.html">' {} \; -print)"

# Directories lead to their tree pages once there are any.
git -C about config repopage.tree true
run_site about-tree ../about
check_contains "about page with tree pages: a directory" about-tree/about.html \
	'<a href="tree/src/index.html">the sources</a>, <a href="tree/index.html">the top</a>'

# Links to nothing of HEAD, or above the root, stay as written. A rerun
# that changes nothing leaves the page and the image copy alone.
git -C about config repopage.tree false
printf '[gone](nothing.md) [above](../outside.md) [deep above](src/../../x) ![a directory image](src)\n' \
	>>about/README.md
printf '\n[no path]() [a query alone](?tab=1)\n' >>about/README.md
git -C about add -A
commit_all about "Links to nothing" 1700000500
run_site about-site ../about
check_contains "about page: links to nothing kept" about-site/about.html \
	'<p><a href="nothing.md">gone</a> <a href="../outside.md">above</a> <a href="src/../../x">deep above</a>'
check_contains "about page: links with no path kept" about-site/about.html \
	'<p><a href="">no path</a> <a href="?tab=1">a query alone</a></p>'
check_contains "about page: an image of a directory kept" about-site/about.html '<img src="src" alt="a directory image" />'
sleep 1 # a new modification time would differ from the old one
stamps about-site >"$SCRATCH/about-stamps1"
run_site about-site ../about
stamps about-site >"$SCRATCH/about-stamps2"
check_eq "about page: rerun touches nothing" "" \
	"$(changed "$SCRATCH/about-stamps1" "$SCRATCH/about-stamps2")"

# With repopage.highlight, fenced code in a known language (the info
# string's first word) takes the file pages' spans, nested or not; other
# code stays as it was. Without the spans the page is the key-off page:
# the same escaping (apostrophes kept), the same class, and code that
# closes its block stays text.
new_repo hl-about
git -C hl-about config repopage.about true
cat >hl-about/README.md <<'EOF'
# Code

```c
int main(void) { return 'a' + "</code></pre><script>alert(1)</script>"[0]; }
```

- a list

  ```Python title="x.py"
  def f(x):
      return x  # "quoted" & <b>
  ```

```foo
if x then y
```
EOF
git -C hl-about add -A
commit_all hl-about "Code"
run_site hl-about-off ../hl-about
git -C hl-about config repopage.highlight true
run_site hl-about-site ../hl-about
check_success "about page, highlighted"
check_contains "about page, highlighted: C" hl-about-site/about.html \
	'<pre><code class="language-c"><span class="t">int</span> <span class="f">main</span>'
check_contains "about page, highlighted: Python, nested" hl-about-site/about.html \
	'<pre><code class="language-Python"><span class="k">def</span>'
check_contains "about page, highlighted: an unknown language plain" hl-about-site/about.html \
	'<pre><code class="language-foo">if x then y
</code></pre>'
check_absent "about page, highlighted: code stays text" hl-about-site/about.html '<script>'
sed '/<pre><code/,/<\/code><\/pre>/s/<\/*span[^>]*>//g' hl-about-site/about.html >"$SCRATCH/about-stripped"
check_files_eq "about page, highlighted: without its spans, the key-off page" \
	hl-about-off/about.html "$SCRATCH/about-stripped"

# Which README: README.md, README.markdown, README, else the first other
# "README..." of the tree; a directory or a symbolic link is none. Other
# READMEs are preformatted text.
new_repo choice
git -C choice config repopage.about true
mkdir -p choice/README.md
printf 'a directory\n' >choice/README.md/x
printf 'restructured\n' >choice/README.rst
printf 'text & <b>markup</b>\n' >choice/README.txt
git -C choice add -A
commit_all choice "Others"
run_site choice-site ../choice
check_content "README.rst chosen, as text" choice-site/about.html <<'EOF'
<div class="about">
<pre>
restructured
</pre>
</div>
</div>
</body>
</html>
EOF
printf 'plain & <b>"markup"</b>\n\n# no heading\n' >choice/README
git -C choice add -A
commit_all choice "README"
run_site choice-site ../choice
check_files_eq "README chosen, as text" "$GOLDEN/files-about-plain.html" choice-site/about.html
git -C choice rm -rq README.md
ln -s README.rst choice/README.md
printf '*markdown*\n' >choice/README.markdown
git -C choice add -A
commit_all choice "README.markdown"
run_site choice-site ../choice
check_contains "README.markdown chosen before README, a link README.md skipped" \
	choice-site/about.html '<div class="about">
<p><em>markdown</em></p>
</div>'

# No README, or the key off: no page and no link to it.
git -C choice rm -q README README.markdown README.md README.rst README.txt
commit_all choice "No README"
rm -rf choice-site
run_site choice-site ../choice
check_missing "no README: no about page" choice-site/about.html
check_absent "no README: no link" choice-site/log.html about.html
git -C about config repopage.about false
run_site about-off ../about
check_missing "key off: no about page" about-off/about.html
check_missing "key off: no raw copy" about-off/raw
check_absent "key off: no link" about-off/files.html about.html

# --- With repopage.highlight, a page's record keeps it: not made again ----
# A file page ends with "<!-- repopage VERSION FORMAT:HEAD BLOB HASH -->",
# HASH that of every byte before the record, whatever the pieces the hash
# took them in. The pages are those of the key off plus the record; a page
# whose record holds is kept as it is, even when its bytes were changed and
# the record made to match them: the record guards against accidents, and
# reseal shows that it alone decides.

# page_hash: the record's hash of standard input (64-bit words,
# little-endian, the last padded with zeros, then the length).
page_hash() {
	perl -e 'use integer; local $/; my $d = <STDIN>; my $n = length $d;
		my ($h, $k) = (0xcbf29ce484222325, 0x9e3779b97f4a7c15);
		for my $w ((unpack "Q<*", $d . "\0" x ((8 - $n % 8) % 8)), $n) {
			$h = ($h ^ $w) * $k; $h ^= ($h >> 32) & 0xffffffff }
		printf "%016x\n", $h'
}
# reseal PAGE: the record's hash made that of the page's bytes as they are.
reseal() {
	head -n -1 "$1" >"$SCRATCH/sealed"
	start=$(tail -n 1 "$1" | sed 's/ [0-9a-f]* -->$//')
	printf '%s %s -->\n' "$start" "$(page_hash <"$SCRATCH/sealed")" >>"$SCRATCH/sealed"
	cat "$SCRATCH/sealed" >"$1"
}
# hl_plain: the site of hl with the key off, in hl-plain.
hl_plain() {
	git -C hl config repopage.highlight false
	run_site hl-plain ../hl
	git -C hl config repopage.highlight true
}
# check_hl_pages WHAT: every file page is the plain one and a valid record,
# and files.html is the plain one.
check_hl_pages() {
	check_files_eq "$1: files.html" hl-plain/files.html hl-site/files.html
	for page in $(cd hl-plain && find file -type f); do
		head -n -1 "hl-site/$page" >"$SCRATCH/page"
		check_files_eq "$1: $page" "hl-plain/$page" "$SCRATCH/page"
		check_eq "$1: $page: record's hash" "$(page_hash <"$SCRATCH/page")" \
			"$(tail -n 1 "hl-site/$page" | sed -n 's/^<!-- repopage .* \([0-9a-f]\{16\}\) -->$/\1/p')"
	done
}
new_repo hl
printf 'highlighted\n' >hl/.git/description
mkdir -p hl/src
printf 'one\ntwo\n' >hl/a.txt
printf 'no newline\nat the end' >hl/b.txt
: >hl/empty.txt
printf 'a\000b\n' >hl/bin.dat
printf 'deep\n' >hl/src/c.txt
# Lines longer than the page's buffer reach the hash in pieces of any length.
perl -e 'print "x" x 70001, "\n", "y\n" x 3000, "z" x 65537' >hl/long.txt
git -C hl add -A
commit_all hl "First"
hl_plain
run_site hl-site -c ../hl.cache ../hl
check_success "highlight key"
check_hl_pages "highlight key"

sleep 1 # a new modification time would differ from the old one
stamps hl-site >"$SCRATCH/hl-stamps1"
printf 'one\ntwo\nthree\n' >hl/a.txt
git -C hl add -A
commit_all hl "a.txt grows" 1700000500
hl_plain
run_site hl-site -c ../hl.cache ../hl
check_success "highlight key, one file changed"
stamps hl-site >"$SCRATCH/hl-stamps2"
check_eq "highlight key, one file changed: file pages touched" "./file/a.txt.html" \
	"$(changed "$SCRATCH/hl-stamps1" "$SCRATCH/hl-stamps2" | tr ' ' '\n' | grep '^\./file/')"
check_hl_pages "highlight key, one file changed"

# Made again: a page changed without its record, cut short, or whose
# record names another version. Kept: a page changed with its record.
sed -i 's/> deep$/> DEEP/' hl-site/file/src/c.txt.html
head -c 300 hl-site/file/b.txt.html >"$SCRATCH/cut"
cat "$SCRATCH/cut" >hl-site/file/b.txt.html
sed -i '$ s/^<!-- repopage [^ ]*/<!-- repopage 0.0.0-other/' hl-site/file/empty.txt.html
cp hl-site/file/long.txt.html "$SCRATCH/long.txt.html"
sed -i 's/> y$/> Y/' hl-site/file/long.txt.html
reseal hl-site/file/long.txt.html
cp hl-site/file/long.txt.html "$SCRATCH/resealed"
run_site hl-site -c ../hl.cache ../hl
check_success "highlight key, pages edited"
check_files_eq "highlight key: a page changed with its record, kept" "$SCRATCH/resealed" \
	hl-site/file/long.txt.html
check_contains "highlight key: the change kept" hl-site/file/long.txt.html '> Y'
cp "$SCRATCH/long.txt.html" hl-site/file/long.txt.html
check_hl_pages "highlight key, pages edited"

# The frame is part of what the record holds: a new description makes every
# page again. With the key off, the pages are the plain ones again.
printf 'described anew\n' >hl/.git/description
hl_plain
run_site hl-site -c ../hl.cache ../hl
check_success "highlight key, description changed"
check_hl_pages "highlight key, description changed"
git -C hl config repopage.highlight false
run_site hl-site -c ../hl.cache ../hl
check_success "highlight key off again"
check_eq "highlight key off again: pages as plain ones" "" "$(diff -r hl-plain/file hl-site/file)"

# Highlighted pages hold the plain page's text: with the spans of the
# lines and the record taken out, every file page of a generated tree (C, headers, Python,
# Markdown, text, binary) and of this repository's own sources is byte for
# byte the page the key off writes.
spans_stripped_equal() { # WHAT PLAIN_SITE COLOURED_SITE
	/usr/bin/python3 - "$2/file" "$3/file" <<'PY' >spans.out 2>&1
import os, re, sys
plain, coloured = sys.argv[1].encode(), sys.argv[2].encode()
tag = re.compile(rb'<span class="[a-z]+">|</span>')
record = re.compile(rb'<!-- repopage [^\n]* -->\n\Z')
pages = spanned = 0
for d, _, names in os.walk(plain):
    for n in names:
        a = os.path.join(d, n)
        b = coloured + a[len(plain):]
        with open(a, 'rb') as f: want = f.read()
        with open(b, 'rb') as f: got = f.read()
        pages += 1
        head, pre, rest = record.sub(b'', got).partition(b'<pre id="blob">')
        body, end, tail = rest.partition(b'</pre>')
        spanned += tag.search(body) is not None
        if head + pre + tag.sub(b'', body) + end + tail != want:
            print('differs:', b.decode(errors='replace')); sys.exit(1)
print(pages, 'pages,', spanned, 'coloured')
PY
	check_eq "$1: coloured pages hold the plain text" 0 "$?"
	echo "$1: $(cat spans.out)"
	grep -q ' 0 coloured' spans.out && fail "$1: nothing was coloured"
}
timeout 120 "$here/../../bench/gen-history.sh" hl-gen 60 >/dev/null
run_site hl-gen-plain ../hl-gen
git -C hl-gen config repopage.highlight true
run_site hl-gen-coloured ../hl-gen
check_success "generated tree, coloured"
spans_stripped_equal "generated tree" hl-gen-plain hl-gen-coloured

# Text that only looks like the language (token soup, as the generated
# histories hold) is written plain, judged by its first lines; a real file
# with a syntax error is still coloured, whether it is judged whole or by
# its first lines.
new_repo hl-soup
soup_c=$(git -C hl-gen ls-tree -r --name-only HEAD | grep '\.c$' | head -n 1)
soup_py=$(git -C hl-gen ls-tree -r --name-only HEAD | grep '\.py$' | head -n 1)
git -C hl-gen show "HEAD:$soup_c" >hl-soup/soup.c
git -C hl-gen show "HEAD:$soup_py" >hl-soup/soup.py
broken='/* Sums the arguments. */
#include <stdio.h>

static int total(int n, char **v)
{
	int sum = 0;
	for (int i = 0; i < n; i++)
		sum += v[i][0] - '"'0'"';
	return sum;
}
'
printf '%s\n' "$broken" "int main(int argc, char **argv)" "{" \
	"	printf(\"%d\\n\", total(argc argv));" "	return 0;" "}" >hl-soup/broken.c
printf '%s\n' "$broken" | sed 's/return sum;/return sum/' >hl-soup/short-broken.c
git -C hl-soup add -A
commit_all hl-soup "Soup and a slip"
run_site hl-soup-plain ../hl-soup
git -C hl-soup config repopage.highlight true
run_site hl-soup-site ../hl-soup
check_success "token soup"
for page in soup.c soup.py; do
	head -n -1 "hl-soup-site/file/$page.html" >"$SCRATCH/page"
	check_files_eq "token soup: $page, plain" "hl-soup-plain/file/$page.html" "$SCRATCH/page"
done
check_contains "one syntax error: coloured" hl-soup-site/file/broken.c.html '<span class="k">return</span>'
check_contains "one syntax error, short: coloured" hl-soup-site/file/short-broken.c.html \
	'<span class="k">return</span>'
if git -C "$here/../.." rev-parse -q --verify HEAD >/dev/null 2>&1; then
	git clone -q --bare "$here/../.." hl-own.git
	run_site hl-own-plain ../hl-own.git
	git -C hl-own.git config repopage.highlight true
	run_site hl-own-coloured ../hl-own.git
	check_success "own sources, coloured"
	spans_stripped_equal "own sources" hl-own-plain hl-own-coloured
fi

# Coloured pages are made ready ahead of the walk on other threads, each
# file's record read assuming its raw copy: with one thread and with four,
# the same files, messages and status, on a tree that reads otherwise than
# it lists (a blob entry naming a tree, a tree entry naming a blob, a
# missing blob), a raw copy that cannot be written (the page then has no
# raw link and another record), and pages kept and made again.
new_repo ahead
git -C ahead config repopage.highlight true
git -C ahead config repopage.raw true
mkdir -p ahead/sub
printf 'int main(void)\n{\n\treturn 0;\n}\n' >ahead/a.c
printf 'def f():\n    return 1\n' >ahead/sub/b.py
printf 'static int x;\n' >ahead/lie.c
printf 'echo hi\n' >ahead/z.sh
git -C ahead add -A
commit_all ahead "Plain tree"
ahead_id() { git -C ahead rev-parse "HEAD:$1"; }
tree=$(printf '100644\ta.c\t%s\n100644\tblob-says-tree.py\t%s\n40000\tdir-is-blob\t%s\n' \
	"$(ahead_id a.c)" "$(ahead_id sub)" "$(ahead_id lie.c)"
	printf '100644\tgone.c\t%s\n40000\tsub\t%s\n100644\tz.sh\t%s\n' \
		1234567890123456789012345678901234567890 "$(ahead_id sub)" "$(ahead_id z.sh)")
tree=$(printf '%s\n' "$tree" | literal_tree ahead)
git -C ahead update-ref refs/heads/master "$(literal_commit ahead "$tree" "$(git -C ahead rev-parse HEAD)" \
	'Ann Author <ann@example.org> 1700000050 +0000' 'Lying tree')"
for j in 1 4; do
	mkdir -p ahead$j/raw/a.c/kept
	REPOPAGE_JOBS=$j run_site ahead$j -c ../ahead$j.cache ../ahead
	printf '%s\n' "$status" >"$SCRATCH/ahead$j.out"
	cat "$SCRATCH/stdout" "$SCRATCH/stderr" >>"$SCRATCH/ahead$j.out"
	rmdir ahead$j/raw/a.c/kept ahead$j/raw/a.c
	REPOPAGE_JOBS=$j run_site ahead$j -c ../ahead$j.cache ../ahead
	cat "$SCRATCH/stdout" "$SCRATCH/stderr" >>"$SCRATCH/ahead$j.out"
done
check_files_eq "coloured ahead: messages" "$SCRATCH/ahead1.out" "$SCRATCH/ahead4.out"
check_contains "coloured ahead: a blob entry naming a tree" ahead4/files.html 'blob-says-tree.py/b.py'
check_contains "coloured ahead: coloured" ahead4/file/a.c.html '<span class="k">return</span>'
checks=$((checks + 1))
diff -r ahead1 ahead4 >diff.out 2>&1 || { fail "coloured ahead: files differ"; head diff.out; }

finish
