# Commit diffs that open only the subtrees whose ids differ: diffcheck
# (tests/tools) makes every commit's diff both ways, through tree_diff and
# over the whole trees, and compares every delta, hunk and line, and every
# patch file with libgit2's own mail of the commit; `git am` of the patch
# files gives back each commit's tree. Run over a fixture of the hard cases,
# crafted trees that must take the whole-tree way, a missing subtree,
# generated histories and this repository's own.
. ./lib.sh

: "${DIFFCHECK:=$here/../../build/tests/diffcheck}"
: "${GEN_HISTORY:=$here/../../bench/gen-history.sh}"
: "${SOURCE_DIR:=$here/../..}"

# check_diffs WHAT REPO: both ways give the same diffs for every commit.
check_diffs() {
	checks=$((checks + 1))
	"$DIFFCHECK" "$2" >"$SCRATCH/diffcheck.out" 2>&1 ||
		fail "$1: $(cat "$SCRATCH/diffcheck.out")"
	echo "$1: $(cat "$SCRATCH/diffcheck.out")"
}

# check_am WHAT REPO: REPO rendered with its patches on, then every commit
# with one parent applied by `git am` from its patch file onto its parent,
# in a clone: each gives the commit's own tree. Runs of commits that follow
# one another go to one `git am` each. An empty commit's patch has no diff
# for `git am` to apply (git's own format-patch writes none): it is only
# looked for.
check_am() {
	checks=$((checks + 1))
	git -C "$2" config repopage.patch true
	run_site "am-site-$2" "$SCRATCH/$2"
	[ "$status" -eq 0 ] || fail "$1: render: $(cat "$SCRATCH/stderr")"
	rm -rf am-work
	git clone -q "$SCRATCH/$2" am-work
	am_base= am_run= am_last= am_count=0
	git -C "$2" log --reverse --topo-order --format='%H %T %P' HEAD |
		awk '{ tree[$1] = $2 } NF == 3 { print $1, $3, (tree[$3] == $2 ? "empty" : "") }' >am-commits
	while read -r c p empty; do
		if [ -n "$empty" ]; then
			[ -f "am-site-$2/commit/$c.patch" ] || fail "$1: no patch for the empty $c"
			continue
		fi
		if [ "$p" != "$am_last" ]; then
			am_apply "$1" "$2"
			am_base=$p am_run=
		fi
		am_run="$am_run $c" am_last=$c
	done <am-commits
	am_apply "$1" "$2"
	echo "$1: $am_count patches applied by git am"
}

# am_apply WHAT REPO: the run of commits $am_run onto $am_base.
am_apply() {
	[ -n "$am_run" ] || return 0
	set -- "$1" "$2" "$SCRATCH/am-site-$2/commit"
	files=
	for am_c in $am_run; do
		files="$files $3/$am_c.patch"
		am_count=$((am_count + 1))
	done
	git -C am-work checkout -q --detach "$am_base" || fail "$1: checkout $am_base"
	# shellcheck disable=SC2086 # the patch paths are plain
	if ! timeout 60 git -C am-work am -q --keep-cr $files >am-out 2>&1; then
		fail "$1: git am onto $am_base: $(grep -m 3 -e error -e fatal am-out)"
		git -C am-work am --abort >/dev/null 2>&1
		return
	fi
	# shellcheck disable=SC2086
	expected=$(git -C "$2" log --no-walk=unsorted --format=%T $am_run)
	actual=$(git -C am-work log --reverse --format=%T "$am_base..HEAD")
	[ "$expected" = "$actual" ] || fail "$1: trees after git am differ from those of$am_run"
}

# gitlink REPO PATH ID: a submodule entry in the index, with no checkout.
gitlink() {
	git -C "$1" update-index --add --cacheinfo "160000,$3,$2"
}

# write REPO PATH CONTENT: the file, staged.
write() {
	mkdir -p "$(dirname "$1/$2")"
	printf '%s' "$3" >"$1/$2"
	git -C "$1" add -- "$2"
}

# --- The hard cases, one commit each --------------------------------------
new_repo f
t=1700000000
next() {
	t=$((t + 100))
	commit_all f "$1" "$t"
}
printf '*.bin binary\n*.nodiff -diff\n' >f/.gitattributes
git -C f add .gitattributes
for p in a.txt b.txt dir/x.c dir/sub/y.c l m.sh x t-a t-b u/in.txt u-x u.y; do
	write f "$p" "$p one
$p two
$p three
"
done
write f img.bin 'text, but marked binary
'
write f notes.nodiff 'no diff for me
'
next "root commit"
sub1=$(git -C f rev-parse HEAD)

git -C f mv a.txt a2.txt
next "rename, identical content"
cp f/b.txt f/b-copy.txt
printf 'b.txt changed\n' >>f/b.txt
git -C f add b.txt b-copy.txt
next "copy from a modified file"
cp f/dir/x.c f/d.txt
git -C f add d.txt
next "copy from an unmodified file: added, not copied"
mkdir -p f/other
git -C f mv dir/sub/y.c other/y.c
printf 'edited after the move\n' >>f/other/y.c
git -C f add other/y.c
next "moved and edited"
git -C f rm -q l
ln -s a2.txt f/l
git -C f add l
next "file to symbolic link"
git -C f rm -q l
write f l 'a file again
'
next "symbolic link to file"
git -C f rm -q x
write f x/inside.txt 'x is a directory now
'
next "file to directory"
git -C f rm -q -r x
write f x 'x is a file again
'
next "directory to file"
chmod 755 f/m.sh
git -C f add m.sh
next "mode 644 to 755"
chmod 644 f/m.sh
git -C f add m.sh
next "mode 755 to 644"
gitlink f mod "$sub1"
gitlink f deep/er/mod "$sub1"
next "submodules added"
gitlink f mod "$(git -C f rev-parse HEAD~1)"
next "submodule changed"
git -C f rm -q --cached mod
write f deep/er/mod 'a submodule became a file
'
next "submodule removed, another turned into a file"
write f img.bin 'still marked binary, changed
'
write f notes.nodiff 'no diff, changed
'
next "files binary by their attributes"
write f n1/n2/n3/n4/n5/n6/f1 'deep one
'
write f n1/n2/n3/n4/n5/n6/f2 'deep two
'
write f n1/n2/n3/other 'less deep
'
next "whole subtrees added"
git -C f rm -q -r n1
next "whole subtrees removed"
git -C f mv dir dir-moved
next "a directory moved"
# Names that sort between a directory and its '/' go with changes of the
# directory itself: "t" added beside "t-a" and "t-b", "u" a file beside
# "u-x" and "u.y".
write f t/new.txt 't is a new directory
'
printf 'more\n' >>f/t-a
printf 'more\n' >>f/t-b
git -C f add t-a t-b
next "directory added beside names that sort before it"
git -C f rm -q -r u
write f u 'u is a file now
'
printf 'more\n' >>f/u-x
printf 'more\n' >>f/u.y
git -C f add u-x u.y
next "directory to file beside names that sort before it"
next "empty commit"
git -C f read-tree --empty
next "empty tree"
git -C f read-tree HEAD~2
next "everything back"
base=$(git -C f rev-parse HEAD)
git -C f checkout -q -b side
write f side.txt 'on the side
'
printf 'side edit\n' >>f/b.txt
git -C f add b.txt
t=$((t + 100))
commit_all f "side" "$t"
git -C f checkout -q master
write f master.txt 'on master
'
next "master meanwhile"
git -C f merge -q --no-ff -m "merge side" side
# Submodules whose paths libgit2 would read as other patterns, each beside
# a changed file: a comment, a negation, an escaped blank, a trailing
# blank; and a file whose name is the negation of a submodule's.
for p in '#hash' '!bang' 'back\ slash' 'trail '; do
	gitlink f "$p" "$sub1"
	printf '%s\n' "$p" >>f/a2.txt
	git -C f add a2.txt
	next "submodule named $p"
done
write f '!mod' 'a negation
'
gitlink f mod "$sub1"
next "a file named like the negation of a submodule"
check_diffs "hard cases" f
check_am "hard cases" f

# The cases are what the fixture means them to be, as the commit pages
# show them.
run_site out-f ../f
check_success "hard cases: render"
page() {
	echo "out-f/commit/$(git -C f log --format=%H --grep="^$1\$").html"
}
check_contains "rename" "$(page "rename, identical content")" '<td class="R">R</td>'
check_contains "directory moved" "$(page "a directory moved")" 'dir-moved/x.c'
check_contains "copy" "$(page "copy from a modified file")" '<td class="C">C</td>'
check_absent "no copy from unmodified" "$(page "copy from an unmodified file: added, not copied")" \
	'<td class="C">'
check_contains "moved and edited" "$(page "moved and edited")" '<td class="D">D</td>'
check_contains "file to link" "$(page "file to symbolic link")" '<td class="T">T</td>'
check_contains "file to directory" "$(page "file to directory")" '<td class="D">D</td>'
check_contains "mode change" "$(page "mode 644 to 755")" '<td class="M">M</td>'
check_contains "submodules added" "$(page "submodules added")" 'deep/er/mod'
check_contains "attribute binary" "$(page "files binary by their attributes")" 'Binary files differ'
check_contains "directory beside names" "$(page "directory added beside names that sort before it")" \
	't/new.txt'
check_contains "directory to file beside names" \
	"$(page "directory to file beside names that sort before it")" 'u/in.txt'

# --- Trees libgit2's path list would read differently ---------------------
# Out of order, a name twice, a '/' in a name, a file and a directory of
# one name: each commit changes a file beside them, and tree_diff must
# diff the whole trees as libgit2 does (which cannot diff a name that
# starts with '/' at all).
new_repo h
ANN="Ann Author <ann@example.org>"
one=$(printf 'one\n' | git -C h hash-object -w --stdin)
two=$(printf 'two\n' | git -C h hash-object -w --stdin)
sub=$(printf '100644\tinner\t%s\n' "$one" | literal_tree h)
sub2=$(printf '100644\tinner\t%s\n' "$two" | literal_tree h)
parent=
# crafted MESSAGE ENTRY...: a commit after the last one of a tree of the
# entries, each "mode name id", in the order given.
crafted() {
	message=$1
	shift
	tree=$(printf '%s\n' "$@" | tr ' ' '\t' | literal_tree h)
	t=$((t + 100))
	parent=$(literal_commit h "$tree" "$parent" "$ANN $t +0000" "$message")
}
crafted "sorted" "100644 a $one" "40000 b $sub" "100644 c $one"
crafted "out of order" "100644 c $one" "100644 a $two" "40000 b $sub2"
crafted "a name twice" "100644 a $one" "100644 a $two" "40000 b $sub"
crafted "slash in a name" "100644 a $two" "40000 b $sub" "100644 b/inner $two"
crafted "file and directory of one name" \
	"100644 b $one" "100644 b-1 $one" "100644 b.2 $one" "40000 b $sub"
crafted "file of a directory's name removed" "40000 b $sub"
crafted "a name ending in '/'" \
	"100644 c $one" "100644 c-0 $one" "100644 c-1 $one" "100644 c/ $one"
crafted "the others beside it removed" "100644 c/ $one"
crafted "leading slash" "40000 /abs $sub" "100644 good $one"
crafted "leading slash, beside a change" "40000 /abs $sub" "100644 good $two"
git -C h update-ref refs/heads/master "$parent"
check_diffs "crafted trees" h

# --- A subtree both sides share, missing -----------------------------------
# As git does, the diff never opens a subtree both sides share: c2 is diffed
# without it (libgit2's walk over the whole trees read it, and failed), while
# c1, which adds it, cannot be diffed.
new_repo m
write m a.txt 'one
'
write m sub/t.txt 'tee
'
commit_all m "c1" 1700000000
write m a.txt 'two
'
commit_all m "c2" 1700000100
tree=$(git -C m rev-parse HEAD:sub)
c1=$(git -C m rev-parse HEAD~)
rm "m/.git/objects/$(echo "$tree" | cut -c1-2)/$(echo "$tree" | cut -c3-)"
run_site m-site "$SCRATCH/m"
check_failure "missing shared subtree" \
	"$REPOPAGE: cannot diff commit $c1: object not found - no match for id ($tree)"
check_contains "missing shared subtree: c2 diffed" m-site/log.html '>c2</a>'

# --- A generated history -------------------------------------------------
# Long enough for a large commit, an added directory, renames and merges
# of the wide profile.
"$GEN_HISTORY" wide 1000 wide
check_diffs "generated wide history" wide
# The default profile's binary files, renames with edits and merges, for the
# patch files.
"$GEN_HISTORY" gen 300 >/dev/null
check_diffs "generated history" gen
check_am "generated history" gen

# --- This repository's own history ----------------------------------------
if git -C "$SOURCE_DIR" rev-parse -q --verify HEAD >/dev/null 2>&1; then
	check_diffs "own history" "$SOURCE_DIR"
	git clone -q --bare "$SOURCE_DIR" own.git
	# Every rich page on: the links of the whole site resolve, the
	# README's own relative links and images included.
	for key in about raw tree; do
		git -C own.git config "repopage.$key" true
	done
	check_am "own history" own.git
	check_links am-site-own.git
else
	echo "own history: skipped, $SOURCE_DIR is no git repository"
fi

finish
