#!/bin/sh
# Runs both programs under valgrind's memcheck over a few repositories:
# renames, a binary file, a submodule, tags, a merge, an empty repository,
# an about page and this project's own history; plain runs, runs with the cache (first and
# incremental), a limited log, and the index of all of them. Every run must
# end with status 0, no memcheck error and nothing definitely or indirectly
# lost.
# usage: tools/valgrind.sh REPOPAGE REPOPAGE_INDEX
set -eu

[ $# -eq 2 ] || { echo "usage: $0 repopage repopage-index" >&2; exit 2; }
repopage=$(realpath "$1")
index=$(realpath "$2")
top=$(cd "$(dirname "$0")/.." && pwd)

command -v valgrind >/dev/null || { echo "valgrind: not installed (make deps)" >&2; exit 1; }
# A sanitized build brings its own checks and cannot run under valgrind.
if grep -q __asan_init "$repopage"; then
	echo "valgrind: skipped for a sanitized build"
	exit 0
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

export TZ=UTC LC_ALL=C HOME="$tmp" GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null
export GIT_AUTHOR_NAME="Ann Author" GIT_AUTHOR_EMAIL="ann@example.org"
export GIT_COMMITTER_NAME="Cid Committer" GIT_COMMITTER_EMAIL="cid@example.org"
export GIT_AUTHOR_DATE="@1700000000 -0500" GIT_COMMITTER_DATE="@1700000100 +0100"

commit() {
	git -C "$1" add -A
	git -C "$1" commit -q --allow-empty -m "$2"
}

# A small history with the features that take distinct code paths.
git init -q r
git -C r symbolic-ref HEAD refs/heads/master
printf 'read me\n' >r/README
printf 'MIT\n' >r/LICENSE
mkdir r/src
printf 'int a;\nint b;\n' >r/src/a.c
commit r 'first'
printf 'GIF89a\0\001\002' >r/logo.gif
printf 'crlf\r\nline\r\n' >r/dos.txt
printf 'no newline' >r/end.txt
commit r 'binary <and> "text"'
git -C r mv src/a.c src/b.c
ln -s src/b.c r/link
commit r 'rename and link'
git -C r tag -a -m 'release' v1
git -C r checkout -q -b side
printf 'side\n' >r/side.txt
commit r 'side'
git -C r checkout -q master
printf 'int a;\nint c;\n' >r/src/b.c
git -C r rm -q end.txt
commit r 'edit and delete'
git -C r merge -q --no-ff -m 'merge side' side
printf '[submodule "lib"]\n\tpath = lib\n\turl = ../lib\n' >r/.gitmodules
git -C r update-index --add --cacheinfo 160000,1111111111111111111111111111111111111111,lib
git -C r add .gitmodules
git -C r commit -q -m 'submodule'
git -C r tag light
printf 'A small repository\n' >r/.git/description
printf 'owner\n' >r/.git/owner
printf 'https://example.org/r.git\n' >r/.git/url

git init -q empty

# The about page: Markdown whose headings, links and raw HTML are reworked
# before it is rendered, and an image copied under raw/.
git init -q about
git -C about symbolic-ref HEAD refs/heads/master
git -C about config repopage.about true
mkdir about/img
printf 'GIF89a\0' >about/img/a.gif
printf '# Title *one* <b>x</b> `code`\n\n## Title one\n\n[a](img/) [b](javascript:x) ![c](img/a.gif) <https://example.org>\n\n<p>html</p>\n\n| a |\n|---|\n| ~~b~~ |\n' >about/README.md
commit about 'about'

repos="$tmp/r $tmp/empty $tmp/about"
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
	repos="$repos $top"
fi

vg() {
	log=$1
	shift
	valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
		--show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
		--log-file="$tmp/$log.log" "$@" >"$tmp/$log.out" 2>"$tmp/$log.err"
}

failures=0
runs=0
# check LOG STATUS: status 0, an empty standard error, and a log with no
# error and no definite or indirect loss.
check() {
	runs=$((runs + 1))
	if [ "$2" -ne 0 ] || [ -s "$tmp/$1.err" ] ||
		! grep -q 'ERROR SUMMARY: 0 errors' "$tmp/$1.log" ||
		grep -Eq '(definitely|indirectly) lost: [1-9]' "$tmp/$1.log"; then
		failures=$((failures + 1))
		echo "FAIL: $1 (status $2)"
		cat "$tmp/$1.err"
		grep -v '^==[0-9]*== *$' "$tmp/$1.log" | head -n 60
	fi
}

n=0
for repo in $repos; do
	n=$((n + 1))
	mkdir -p "site$n" "cached$n" "limited$n"
	status=0; (cd "site$n" && vg "site$n" "$repopage" "$repo") || status=$?
	check "site$n" $status
	# The rest needs a history: a second run over existing pages, a
	# limited log, and the cache: a first run over all but the newest
	# commit, then the incremental run that reuses the cached rows.
	if git -C "$repo" rev-parse -q --verify HEAD~1 >/dev/null; then
		status=0; (cd "site$n" && vg "again$n" "$repopage" "$repo") || status=$?
		check "again$n" $status
		status=0; (cd "limited$n" && vg "limited$n" "$repopage" -l 2 "$repo") || status=$?
		check "limited$n" $status
		git clone -q --no-local "$repo" "clone$n" 2>/dev/null
		git -C "clone$n" reset -q --hard HEAD~1
		status=0; (cd "cached$n" && vg "cache-first$n" "$repopage" -c ../cache$n -u https://example.org/ "$tmp/clone$n") || status=$?
		check "cache-first$n" $status
		git -C "clone$n" pull -q --ff-only 2>/dev/null
		status=0; (cd "cached$n" && vg "cache-next$n" "$repopage" -c ../cache$n "$tmp/clone$n") || status=$?
		check "cache-next$n" $status
	fi
done
status=0; vg index "$index" $repos || status=$?
check index $status

echo "valgrind: $runs runs, $failures failures"
[ "$failures" -eq 0 ]
