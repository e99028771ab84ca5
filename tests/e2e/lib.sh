# Shared by the end-to-end families: pinned identities, dates and time zone,
# repository builders, and checks that count failures instead of stopping.
# Run a family by hand from tests/e2e: sh commits.sh (after `make`).
set -u

here=$(pwd)
: "${REPOPAGE:=$here/../../build/repopage}"
: "${REPOPAGE_INDEX:=$here/../../build/repopage-index}"
: "${GOLDEN:=$here/../golden}"
: "${SCRATCH:=$here/../../build/tests/scratch/$(basename "$0" .sh)}"

export TZ=UTC LC_ALL=C
export HOME="$SCRATCH/home" XDG_CONFIG_HOME="$SCRATCH/home/.config"
export GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null
export GIT_AUTHOR_NAME="Ann Author" GIT_AUTHOR_EMAIL="ann@example.org"
export GIT_COMMITTER_NAME="Cid Committer" GIT_COMMITTER_EMAIL="cid@example.org"
export GIT_AUTHOR_DATE="@1700000000 -0500" GIT_COMMITTER_DATE="@1700000100 +0100"

rm -rf "$SCRATCH"
mkdir -p "$SCRATCH/home"
cd "$SCRATCH" || exit 1

failures=0
checks=0

fail() {
	echo "FAIL: $*"
	failures=$((failures + 1))
}

# check_eq WHAT EXPECTED ACTUAL
check_eq() {
	checks=$((checks + 1))
	[ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"
}

# check_files_eq WHAT EXPECTED_FILE ACTUAL_FILE: byte for byte, diff shown.
check_files_eq() {
	checks=$((checks + 1))
	if ! cmp -s "$2" "$3"; then
		fail "$1: $3 differs from $2"
		diff -u "$2" "$3" | head -n 40
	fi
}

# check_contains WHAT FILE TEXT: TEXT, which may span lines, occurs in FILE.
check_contains() {
	checks=$((checks + 1))
	file_has "$2" "$3" || fail "$1: [$3] not in $2"
}

check_absent() {
	checks=$((checks + 1))
	! file_has "$2" "$3" || fail "$1: [$3] unexpectedly in $2"
}

# file_has FILE TEXT: a substring search over the whole file (grep -F would
# take each line of TEXT as a pattern of its own).
file_has() {
	[ -f "$1" ] || return 1
	content=$(cat "$1"; echo .)
	case $content in
	*"$2"*) return 0 ;;
	esac
	return 1
}

# check_success WHAT / check_failure WHAT MESSAGE: the last run_site ended
# with status 0 and nothing on standard error, or status 1 and exactly
# MESSAGE.
check_success() {
	check_eq "$1: status" 0 "$status"
	check_eq "$1: stderr" "" "$(cat "$SCRATCH/stderr")"
}

check_failure() {
	check_eq "$1: status" 1 "$status"
	check_eq "$1: message" "$2" "$(cat "$SCRATCH/stderr")"
}

# content PAGE: the page after its frame (from the line after the one that
# opens the content block).
content() {
	awk 'f; /^<div id="content">$/ { f = 1 }' "$1"
}

# check_content WHAT PAGE: the content of PAGE equals standard input.
check_content() {
	cat >"$SCRATCH/expected"
	content "$2" >"$SCRATCH/actual"
	check_files_eq "$1" "$SCRATCH/expected" "$SCRATCH/actual"
}

check_exists() {
	checks=$((checks + 1))
	[ -e "$2" ] || fail "$1: $2 does not exist"
}

check_missing() {
	checks=$((checks + 1))
	[ ! -e "$2" ] || fail "$1: $2 exists"
}

# new_repo DIR: an empty repository with a pinned description.
new_repo() {
	git init -q "$1" && git -C "$1" symbolic-ref HEAD refs/heads/master
}

# commit_file REPO PATH CONTENT MESSAGE [EPOCH]: writes, adds and commits;
# the author date is EPOCH (default 1700000000) with offset -0500.
commit_file() {
	mkdir -p "$(dirname "$1/$2")"
	printf '%s' "$3" >"$1/$2"
	git -C "$1" add -- "$2"
	commit_all "$1" "$4" "${5:-1700000000}"
}

# commit_all REPO MESSAGE [EPOCH]: commits whatever is staged (or nothing).
commit_all() {
	GIT_AUTHOR_DATE="@${3:-1700000000} -0500" \
		git -C "$1" commit -q --allow-empty --allow-empty-message -m "$2"
}

# Objects written as given, with no checks, through git's --literally.
# literal_tree REPO: "mode<TAB>name<TAB>id" lines on stdin, in the order
# given; "\xHH" in a name stands for that byte. Prints the tree's id.
literal_tree() {
	perl -ne 'chomp; my ($m, $n, $i) = split /\t/;
		$n =~ s/\\x([0-9a-f]{2})/chr(hex($1))/ge;
		print "$m $n\0", pack("H*", $i)' |
		git -C "$1" hash-object -t tree -w --literally --stdin
}

# literal_commit REPO TREE PARENT AUTHOR MESSAGE: prints the commit's id;
# PARENT may be empty, AUTHOR is "name <email> time offset"; "\xHH" in
# AUTHOR and MESSAGE stands for that byte.
literal_commit() {
	{
		printf 'tree %s\n' "$2"
		[ -n "$3" ] && printf 'parent %s\n' "$3"
		printf 'author %s\n' "$4"
		printf 'committer Cid Committer <cid@example.org> 1700000100 +0100\n\n'
		printf '%s\n' "$5"
	} | perl -pe 's/\\x([0-9a-f]{2})/chr(hex($1))/ge' |
		git -C "$1" hash-object -t commit -w --literally --stdin
}

# run_site OUTDIR ARGS...: runs repopage inside OUTDIR (made if needed);
# leaves $status, $SCRATCH/stdout and $SCRATCH/stderr.
run_site() {
	out=$1
	shift
	mkdir -p "$out"
	(cd "$out" && "$REPOPAGE" "$@" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	status=$?
}

# finish: the family's result for CTest.
finish() {
	echo "$checks checks, $failures failures"
	[ "$failures" -eq 0 ]
	exit $?
}

# check_links DIR... [--allow-missing-commits]: every relative link of the
# rendered sites resolves, in-page anchors exist, pages end in "</html>\n"
# (tests/tools/linkcheck says which links may point at missing pages).
check_links() {
	checks=$((checks + 1))
	if ! /usr/bin/python3 "$here/../tools/linkcheck" "$@" >"$SCRATCH/linkcheck.out" 2>&1; then
		fail "links of $*"
		head -n 20 "$SCRATCH/linkcheck.out"
	fi
}
