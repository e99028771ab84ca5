# Faults of a real deployment: full disks and file-size limits on every kind
# of output file, unwritable output directories, unreadable metadata and
# repositories with missing objects. Each fatal fault gives status 1 and its
# exact message; once the fault is gone, the next run leaves the same site as
# a run that never failed.
. ./lib.sh

# check_same_site WHAT REFERENCE DIR: whole trees equal; the temporary cache
# files that a failed run leaves behind by design are not compared.
check_same_site() {
	checks=$((checks + 1))
	if ! diff -r -x 'cache.*' "$2" "$3" >"$SCRATCH/diff.out" 2>&1; then
		fail "$1: $3 differs from $2"
		head -n 20 "$SCRATCH/diff.out"
	fi
}

# check_feeds DIR: both feeds are well-formed XML.
check_feeds() {
	checks=$((checks + 1))
	xmllint --noout "$1/atom.xml" "$1/tags.xml" 2>"$SCRATCH/xmllint.out" ||
		{ fail "feeds of $1 are not well-formed"; head -n 5 "$SCRATCH/xmllint.out"; }
}

# Size limits are set in the shell's blocks: 512 bytes in most, 1024 in some.
block=$( (ulimit -f 4; trap '' XFSZ; head -c 8192 /dev/zero >probe) 2>/dev/null; wc -c <probe)
block=$((block / 4))
rm -f probe

# run_limited BYTES OUTDIR ARGS...: run_site with files limited to BYTES,
# SIGXFSZ ignored so that a write past the limit fails with EFBIG.
run_limited() {
	blocks=$(($1 / block))
	out=$2
	shift 2
	mkdir -p "$out"
	(trap '' XFSZ; ulimit -f "$blocks" && cd "$out" &&
		exec "$REPOPAGE" "$@" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	status=$?
}

# The main fixture: nested files, a binary, a rename, tags and a branch.
new_repo r
commit_file r README 'read me
' 'first' 1700000000
commit_file r src/a.c 'int a;
' 'add a.c' 1700000100
printf 'GIF89a\0\001\002\003' >r/bin.dat
git -C r add bin.dat
commit_all r 'binary' 1700000200
git -C r mv src/a.c src/b.c
commit_all r 'rename <a> & "b"' 1700000300
commit_file r README 'read me
twice
' 'more' 1700000400
git -C r tag -a -m 'release' v1 HEAD~1
git -C r tag light
git -C r branch side HEAD~2
run_site ref "$SCRATCH/r"
check_success "reference"
check_links ref
check_feeds ref

# A page that is a symbolic link, here to /dev/full or to a file of its
# own, is never written through: a regular page takes its place and what it
# pointed to is left alone.
echo keep >target
for name in log.html files.html refs.html atom.xml tags.xml file/README.html; do
	mkdir -p "links/$(dirname "$name")"
	ln -sf /dev/full "links/$name"
done
ln -sf ../../target links/file/README.html
run_site links "$SCRATCH/r"
check_success "pages that are links"
check_same_site "pages that are links: replaced" ref links
check_eq "pages that are links: regular files" "" "$(find links -type l)"
check_eq "pages that are links: target left alone" keep "$(cat target)"

# File-size limits, each fixture built so that one kind of file is the
# first to cross the limit.

# The log: sixty empty commits give a long log and small commit pages.
new_repo many
i=10
while [ $i -lt 70 ]; do
	commit_all many "commit $i" $((1700000000 + i * 60))
	i=$((i + 1))
done
run_site many-ref "$SCRATCH/many"
run_limited 6144 many-log "$SCRATCH/many"
check_failure "size limit, log" "repopage: write error: log.html"
check_eq "size limit, log: every commit page" 60 "$(ls many-log/commit | wc -l)"
run_site many-log "$SCRATCH/many"
check_same_site "size limit, log, lifted" many-ref many-log

# The new cache: it is written before the log is flushed. The old cache
# stays as it was and the temporary file stays behind.
run_site many-cache -c ../many.cache "$SCRATCH/many"
cp many.cache many.cache.old
commit_all many "one more" 1700009000
run_site many-ref2 "$SCRATCH/many"
run_limited 6144 many-cache -c ../many.cache "$SCRATCH/many"
check_eq "size limit, cache: status" 1 "$status"
checks=$((checks + 1))
grep -qx 'repopage: write error: cache\.[A-Za-z0-9]\{12\}' "$SCRATCH/stderr" ||
	fail "size limit, cache: message [$(cat "$SCRATCH/stderr")]"
check_files_eq "size limit, cache: old cache kept" many.cache.old many.cache
check_eq "size limit, cache: temporary file" 1 "$(ls many-cache | grep -c '^cache\.')"
run_site many-cache -c ../many.cache "$SCRATCH/many"
check_success "size limit, cache, lifted"
check_same_site "size limit, cache, lifted" many-ref2 many-cache
check_eq "size limit, cache, lifted: new head" "$(git -C many rev-parse HEAD)" "$(head -n 1 many.cache)"

# A commit page: the one with a 400-line file is cut short. It must not
# stay on disk, neither under its name nor as a temporary file, or later
# runs would never write it again.
new_repo big
commit_file big small.txt 'small
' 'small' 1700000000
i=0
while [ $i -lt 400 ]; do
	echo "line $i of a file long enough to need several kilobytes"
	i=$((i + 1))
done >big.txt
cp big.txt big/big.txt
git -C big add big.txt
commit_all big 'big' 1700000100
bigid=$(git -C big rev-parse HEAD)
run_site big-ref "$SCRATCH/big"
run_limited 8192 big-commit "$SCRATCH/big"
check_failure "size limit, commit page" "repopage: write error: commit/$bigid.html"
check_eq "size limit, commit page: nothing left in commit/" "" "$(ls -A big-commit/commit)"
run_site big-commit "$SCRATCH/big"
check_success "size limit, commit page, lifted"
check_same_site "size limit, commit page, lifted" big-ref big-commit

# A file page: the commit pages exist already, so the file page of the big
# file, cut short by hand as a killed run once left it, is the first to
# cross the limit. The page in place stays as it was, never partly new,
# and the next run repairs it.
head -c 100 big-ref/file/big.txt.html >big-commit/file/big.txt.html
cp big-commit/file/big.txt.html cut.html
run_limited 8192 big-commit "$SCRATCH/big"
check_failure "size limit, file page" "repopage: write error: file/big.txt.html"
check_files_eq "size limit, file page: log finished" big-ref/log.html big-commit/log.html
check_files_eq "size limit, file page: old page kept" cut.html big-commit/file/big.txt.html
run_site big-commit "$SCRATCH/big"
check_same_site "size limit, file page, lifted" big-ref big-commit

# files.html: eighty small files, commit pages from an earlier run.
new_repo wide
i=10
while [ $i -lt 90 ]; do
	echo "file $i" >wide/f$i.txt
	i=$((i + 1))
done
git -C wide add .
commit_all wide 'eighty files' 1700000000
run_site wide-ref "$SCRATCH/wide"
cp -r wide-ref wide-files
head -c 100 wide-ref/files.html >wide-files/files.html
cp wide-files/files.html cut.html
run_limited 6144 wide-files "$SCRATCH/wide"
check_failure "size limit, files" "repopage: write error: files.html"
check_files_eq "size limit, files: old page kept" cut.html wide-files/files.html
run_site wide-files "$SCRATCH/wide"
check_same_site "size limit, files, lifted" wide-ref wide-files

# refs.html: eighty branches.
new_repo refs
commit_file refs a 'a
' 'only' 1700000000
i=10
while [ $i -lt 90 ]; do
	git -C refs branch "branch-$i"
	i=$((i + 1))
done
run_site refs-ref "$SCRATCH/refs"
run_limited 4096 refs-limited "$SCRATCH/refs"
check_failure "size limit, refs" "repopage: write error: refs.html"
run_site refs-limited "$SCRATCH/refs"
check_same_site "size limit, refs, lifted" refs-ref refs-limited

# atom.xml: forty commits whose long bodies fill the feed but not the log.
body=$(head -c 1000 /dev/zero | tr '\0' 'w')
new_repo feed
i=10
while [ $i -lt 50 ]; do
	commit_all feed "summary $i

$body" $((1700000000 + i * 60))
	i=$((i + 1))
done
run_site feed-ref "$SCRATCH/feed"
run_limited 12288 feed-limited "$SCRATCH/feed"
check_failure "size limit, atom" "repopage: write error: atom.xml"
run_site feed-limited "$SCRATCH/feed"
check_same_site "size limit, atom, lifted" feed-ref feed-limited

# tags.xml: forty tags of one commit with a long body.
new_repo tags
commit_all tags "tagged

$body" 1700000000
i=10
while [ $i -lt 50 ]; do
	git -C tags tag "tag-$i"
	i=$((i + 1))
done
run_site tags-ref "$SCRATCH/tags"
run_limited 12288 tags-limited "$SCRATCH/tags"
check_failure "size limit, tags" "repopage: write error: tags.xml"
run_site tags-limited "$SCRATCH/tags"
check_same_site "size limit, tags, lifted" tags-ref tags-limited

# Write errors reported only when a file is closed, as NFS reports a full
# quota: write_error_at_close_reported_as_success. A preloaded fclose and
# close fail for the files whose path holds $FAIL_CLOSE.
cat >failclose.c <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int fails(int fd)
{
	const char *pattern = getenv("FAIL_CLOSE");
	char link[64], path[PATH_MAX];
	snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
	ssize_t n = pattern ? readlink(link, path, sizeof path - 1) : -1;
	if (n <= 0)
		return 0;
	path[n] = '\0';
	return strstr(path, pattern) != NULL;
}

int close(int fd)
{
	static int (*real_close)(int);
	if (!real_close)
		real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
	int failing = fails(fd);
	int result = real_close(fd);
	if (failing) {
		errno = EIO;
		return -1;
	}
	return result;
}

int fclose(FILE *stream)
{
	static int (*real_fclose)(FILE *);
	if (!real_fclose)
		real_fclose = (int (*)(FILE *))dlsym(RTLD_NEXT, "fclose");
	const char *pattern = getenv("FAIL_CLOSE");
	char link[64], path[PATH_MAX];
	ssize_t n = -1;
	if (pattern) {
		snprintf(link, sizeof link, "/proc/self/fd/%d", fileno(stream));
		n = readlink(link, path, sizeof path - 1);
	}
	int result = real_fclose(stream);
	if (n > 0) {
		path[n] = '\0';
		if (strstr(path, pattern)) {
			errno = EIO;
			return EOF;
		}
	}
	return result;
}
EOF
# run_preloaded LIB OUTDIR ARGS...: run_site, under a timeout, with the
# shim LIB (built in $SCRATCH) preloaded; its settings come from the
# environment the caller gives.
run_preloaded() {
	lib=$1
	out=$2
	shift 2
	mkdir -p "$out"
	(cd "$out" && LD_PRELOAD="$SCRATCH/$lib" \
		ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
		exec timeout 60 "$REPOPAGE" "$@" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	status=$?
}
# run_failing_close PATTERN OUTDIR ARGS...: run_site with that fclose.
run_failing_close() {
	pattern=$1
	shift
	FAIL_CLOSE=$pattern run_preloaded failclose.so "$@"
}
if cc -shared -fPIC -o failclose.so failclose.c -ldl 2>/dev/null; then
	head=$(git -C r rev-parse HEAD)
	run_failing_close /commit/ close-commit "$SCRATCH/r"
	check_failure "error at close, commit page" "repopage: write error: commit/$head.html"
	check_eq "error at close, commit page: not installed" "" "$(ls close-commit/commit)"
	run_site close-commit "$SCRATCH/r"
	check_same_site "error at close, commit page, then none" ref close-commit
	for name in log.html file/README.html tags.xml; do
		run_failing_close "/close-page/$name" close-page "$SCRATCH/r"
		check_failure "error at close, $name" "repopage: write error: $name"
	done
	run_site close-page "$SCRATCH/r"
	check_same_site "error at close, pages, then none" ref close-page
	run_failing_close /cache. close-cache -c ../close.cache "$SCRATCH/r"
	check_eq "error at close, cache: status" 1 "$status"
	check_missing "error at close, cache: not installed" close.cache
else
	echo "skipped: no C compiler for the fclose shim"
fi

# The index page on standard output: a full disk and a size limit.
"$REPOPAGE_INDEX" r >/dev/full 2>index.err
check_eq "index, full disk: status" 1 "$?"
check_eq "index, full disk: message" "repopage-index: write error: <stdout>" "$(cat index.err)"
(trap '' XFSZ; ulimit -f $((1024 / block)) &&
	exec "$REPOPAGE_INDEX" r r r r r r r r r r r r r r r r >index.html 2>index.err)
check_eq "index, size limit: status" 1 "$?"
check_eq "index, size limit: message" "repopage-index: write error: <stdout>" "$(cat index.err)"

# Output directories that cannot be written. Permissions do not stop root,
# so as root these runs drop to the user nobody when that is possible.
as_writer() {
	if [ "$(id -u)" -eq 0 ]; then
		setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
	else
		"$@"
	fi
}
# run_as_writer OUTDIR ARGS...: run_site as the writing user.
run_as_writer() {
	(cd "$1" && shift && as_writer "$REPOPAGE" "$@" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	status=$?
}
if as_writer test -r "$SCRATCH/r/.git/HEAD" 2>/dev/null && as_writer test -x "$REPOPAGE" 2>/dev/null; then
	mkdir ro
	chmod 555 ro
	run_as_writer ro "$SCRATCH/r"
	check_failure "read-only output" "repopage: fopen: 'log.html': Permission denied"
	check_eq "read-only output: nothing written" "" "$(ls ro)"

	mkdir -p ro-commit/commit
	chmod 777 ro-commit
	chmod 555 ro-commit/commit
	first=$(git -C r rev-parse HEAD)
	run_as_writer ro-commit "$SCRATCH/r"
	check_failure "read-only commit/" "repopage: fopen: 'commit/$first.html': Permission denied"
	chmod 755 ro-commit/commit
	run_site ro-commit "$SCRATCH/r"
	check_same_site "read-only commit/, made writable" ref ro-commit

	# A page whose directory exists but cannot be written is fatal; one
	# whose directory cannot be made is left out and its row stays.
	cp -r ref ro-file
	rm ro-file/file/src/b.c.html
	chmod -R 777 ro-file
	chmod 555 ro-file/file/src
	run_as_writer ro-file "$SCRATCH/r"
	check_failure "read-only file/src" "repopage: fopen: 'file/src/b.c.html': Permission denied"
	chmod 755 ro-file/file/src
	run_site ro-file "$SCRATCH/r"
	check_same_site "read-only file/src, made writable" ref ro-file

	# With every page in place and unchanged, a directory that cannot be
	# written is no error: no page needs a new file. A page there that
	# differs is fatal as above, and stays as it was.
	cp -r ref ro-same
	chmod -R 777 ro-same
	chmod 555 ro-same/file/src
	run_as_writer ro-same "$SCRATCH/r"
	check_success "read-only file/src, pages unchanged"
	echo stale >ro-same/file/src/b.c.html
	run_as_writer ro-same "$SCRATCH/r"
	check_failure "read-only file/src, a page changed" "repopage: fopen: 'file/src/b.c.html': Permission denied"
	check_eq "read-only file/src, a page changed: kept" stale "$(cat ro-same/file/src/b.c.html)"
	check_eq "read-only file/src, a page changed: no temporary file" "" "$(find ro-same -name '*.html.*')"

	# Its own fixture: a page beside them could not be replaced either.
	new_repo nested
	commit_file nested src/b.c 'int b;
' 'nested' 1700000000
	commit_file nested lib/c.c 'int c;
' 'more' 1700000100
	run_site nested-ref "$SCRATCH/nested"
	cp -r nested-ref ro-dirs
	rm -r ro-dirs/file/src
	chmod -R 777 ro-dirs
	chmod 555 ro-dirs/file
	run_as_writer ro-dirs "$SCRATCH/nested"
	check_success "read-only file/"
	check_missing "read-only file/: no page" ro-dirs/file/src
	check_contains "read-only file/: row with byte size" ro-dirs/files.html \
		'<a href="file/src/b.c.html">src/b.c</a></td><td class="num" align="right">7B</td>'
	chmod 755 ro-dirs/file
	run_site ro-dirs "$SCRATCH/nested"
	check_same_site "read-only file/, made writable" nested-ref ro-dirs
else
	echo "skipped: no unprivileged user to test unwritable directories with"
fi

# Names taken by plain files stop root as well.
mkdir notdir
echo x >notdir/commit
run_site notdir "$SCRATCH/r"
check_failure "commit is a file" "repopage: fopen: 'commit/$(git -C r rev-parse HEAD).html': Not a directory"
rm notdir/commit
echo x >notdir/file
run_site notdir "$SCRATCH/r"
check_failure "file is a file" "repopage: fopen: 'file/README.html': Not a directory"
rm notdir/file
run_site notdir "$SCRATCH/r"
check_same_site "names freed" ref notdir

# Metadata that cannot be read: a directory opens but does not read.
mkdir r/description
run_site meta "$SCRATCH/r"
check_failure "description is a directory" "repopage: read error: $SCRATCH/r/description"
check_eq "description is a directory: nothing written" "" "$(ls meta)"
"$REPOPAGE_INDEX" r >index.html 2>index.err
check_eq "index, description is a directory: status" 1 "$?"
check_eq "index, description is a directory: message" "repopage-index: read error: description" "$(cat index.err)"
rmdir r/description
mkdir r/url
run_site meta "$SCRATCH/r"
check_failure "url is a directory" "repopage: read error: $SCRATCH/r/url"
rmdir r/url
mkdir r/.git/owner
"$REPOPAGE_INDEX" r >index.html 2>index.err
check_eq "index, owner is a directory: status" 1 "$?"
check_eq "index, owner is a directory: message" "repopage-index: read error: owner" "$(cat index.err)"
rmdir r/.git/owner
mv r/.git/description description.saved
mkdir r/.git/description
run_site meta "$SCRATCH/r"
check_failure ".git/description is a directory" "repopage: read error: $SCRATCH/r/.git/description"
rmdir r/.git/description
mv description.saved r/.git/description
run_site meta "$SCRATCH/r"
check_same_site "metadata readable again" ref meta

# Missing and damaged objects. A commit the walk cannot read ends the walk,
# a commit whose diff cannot be made is skipped, a file that cannot be read
# is left out: every page is still complete, but the run names each such
# commit, ends with status 1 and keeps the old cache, so the commits come
# back once the objects are readable again. Every run is under a timeout:
# a damaged object once made libgit2 loop forever.
new_repo m
commit_file m a.txt 'one
' 'c1' 1700000000
commit_file m b.txt 'b one
' 'c2' 1700000100
commit_file m a.txt 'one
two
' 'c3' 1700000200
commit_file m sub/t.txt 'tee
' 'c4' 1700000300
commit_file m b.txt 'b two
' 'c5' 1700000400
git -C m tag old HEAD~3
run_site m-ref "$SCRATCH/m"
check_success "missing objects: reference"
for n in 1 2 3 4 5; do
	eval "c$n=\$(git -C m rev-parse HEAD~$((5 - n)))"
done

# object_file REPO ID: the loose object file of ID.
object_file() {
	echo "$1/.git/objects/$(echo "$2" | cut -c1-2)/$(echo "$2" | cut -c3-)"
}
# without_object REPO ID: moves the object aside, to put back later.
without_object() {
	mv "$(object_file "$1" "$2")" "$SCRATCH/object.saved"
}
put_back_object() {
	mv "$SCRATCH/object.saved" "$(object_file "$1" "$2")"
}
# truncate_object REPO ID BYTES: cuts BYTES off the end of the object's
# file, as a push cut short would leave it (the original is kept aside).
truncate_object() {
	f=$(object_file "$1" "$2")
	cp "$f" "$SCRATCH/object.saved"
	chmod u+w "$f"
	head -c $(($(wc -c <"$f") - $3)) "$SCRATCH/object.saved" >"$f"
}
# log_rows DIR: the summaries of the log rows, one line.
log_rows() {
	sed -n 's/.*\.html">\(c[0-9]\)<\/a>.*/\1/p' "$1/log.html" | tr '\n' ' '
}
# run_timed OUTDIR ARGS...: run_site that may not hang.
run_timed() {
	out=$1
	shift
	mkdir -p "$out"
	(cd "$out" && exec timeout 60 "$REPOPAGE" "$@" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	status=$?
}
missing() {
	echo "object not found - no match for id ($1)"
}

# The walk reads a commit's parents before it yields the commit, so it ends
# before c3, whose parent is gone; the message names c2, as git would.
without_object m "$c2"
run_timed m-commit "$SCRATCH/m"
check_failure "missing commit" "$REPOPAGE: cannot read commit $c2: $(missing "$c2")"
check_eq "missing commit: the walk ends" "c5 c4 " "$(log_rows m-commit)"
check_links m-commit --allow-missing-commits
check_feeds m-commit
check_absent "missing commit: no tag of it" m-commit/tags.xml '<entry>'
"$REPOPAGE_INDEX" m >index.html 2>index.err
check_eq "index, missing old commit: status" 0 "$?"
check_contains "index, missing old commit: row" index.html '<a href="m/log.html">m</a>'
put_back_object m "$c2"
run_site m-commit "$SCRATCH/m"
check_same_site "missing commit, put back" m-ref m-commit

# The first version of b.txt: the diffs of c2 and c5 cannot be made, and
# both are named in walk order.
blob=$(git -C m rev-parse HEAD~3:b.txt)
without_object m "$blob"
run_timed m-blob "$SCRATCH/m"
no_diff="$REPOPAGE: cannot diff commit $c5: object not found - cannot read header for ($blob)
$REPOPAGE: cannot diff commit $c2: object not found - cannot read header for ($blob)"
check_failure "missing old blob" "$no_diff"
check_eq "missing old blob: rows" "c4 c3 c1 " "$(log_rows m-blob)"
check_eq "missing old blob: pages" 3 "$(ls m-blob/commit | wc -l)"
check_links m-blob --allow-missing-commits
check_feeds m-blob
check_contains "missing old blob: feed keeps c5" m-blob/atom.xml '<title type="text">c5</title>'
# With -l, a commit left out takes up no row: c5 leaves both rows to c4 and
# c3, and c2, past the limit, is counted with c1 among the remaining.
run_timed m-blob-limit -l 2 "$SCRATCH/m"
check_failure "missing old blob, -l 2" "$no_diff"
check_eq "missing old blob, -l 2: rows" "c4 c3 " "$(log_rows m-blob-limit)"
check_contains "missing old blob, -l 2: remaining" m-blob-limit/log.html \
	'<tr><td></td><td colspan="5">2 more commits remaining, fetch the repository</td></tr>'
put_back_object m "$blob"
run_site m-blob "$SCRATCH/m"
check_same_site "missing old blob, put back" m-ref m-blob

# A blob of HEAD: its row and page are left out, its commit is skipped.
blob=$(git -C m rev-parse HEAD:sub/t.txt)
without_object m "$blob"
run_timed m-head-blob "$SCRATCH/m"
check_failure "missing blob of HEAD" "$REPOPAGE: cannot diff commit $c4: object not found - cannot read header for ($blob)"
check_eq "missing blob of HEAD: rows" "c5 c3 c2 c1 " "$(log_rows m-head-blob)"
check_absent "missing blob of HEAD: no row" m-head-blob/files.html 'sub/t.txt'
check_missing "missing blob of HEAD: no page" m-head-blob/file/sub/t.txt.html
check_contains "missing blob of HEAD: other rows" m-head-blob/files.html '>b.txt</a>'
check_links m-head-blob --allow-missing-commits
put_back_object m "$blob"
run_site m-head-blob "$SCRATCH/m"
check_same_site "missing blob of HEAD, put back" m-ref m-head-blob

# The tree of a directory of HEAD: the directory is left out, and c4, which
# adds it, cannot be diffed; c5 can, as its diff never opens a directory
# both sides share.
tree=$(git -C m rev-parse HEAD:sub)
without_object m "$tree"
run_timed m-tree "$SCRATCH/m"
check_failure "missing tree" "$REPOPAGE: cannot diff commit $c4: $(missing "$tree")"
check_eq "missing tree: rows" "c5 c3 c2 c1 " "$(log_rows m-tree)"
check_absent "missing tree: no rows for it" m-tree/files.html 'sub/'
check_contains "missing tree: other rows" m-tree/files.html '>a.txt</a>'
check_links m-tree --allow-missing-commits
check_feeds m-tree
put_back_object m "$tree"
run_site m-tree "$SCRATCH/m"
check_same_site "missing tree, put back" m-ref m-tree

# The root tree of c3: c3 cannot be diffed, nor can c4, whose first parent
# it is. Diffed against nothing, c4's page would show every file as added
# and, never written again, stay wrong after the repair.
tree=$(git -C m rev-parse "$c3^{tree}")
without_object m "$tree"
run_timed m-ptree "$SCRATCH/m"
check_failure "missing tree of the parent" "$REPOPAGE: cannot diff commit $c4: $(missing "$tree")
$REPOPAGE: cannot diff commit $c3: $(missing "$tree")"
check_eq "missing tree of the parent: rows" "c5 c2 c1 " "$(log_rows m-ptree)"
check_missing "missing tree of the parent: no page" "m-ptree/commit/$c4.html"
put_back_object m "$tree"
run_site m-ptree "$SCRATCH/m"
check_same_site "missing tree of the parent, put back" m-ref m-ptree

# Truncated objects: their zlib stream ends early. A commit ends the walk,
# a blob makes its diff fail; neither may hang, in either program.
truncate_object m "$c3" 12
run_timed m-cut "$SCRATCH/m"
check_failure "truncated commit" "$REPOPAGE: cannot read commit $c3: zlib stream is truncated or corrupt"
check_eq "truncated commit: the walk ends" "c5 " "$(log_rows m-cut)"
put_back_object m "$c3"
blob=$(git -C m rev-parse HEAD:b.txt)
truncate_object m "$blob" 6
run_timed m-cut "$SCRATCH/m"
check_failure "truncated blob" "$REPOPAGE: cannot diff commit $c5: zlib stream is truncated or corrupt"
put_back_object m "$blob"
truncate_object m "$c5" 12
timeout 60 "$REPOPAGE_INDEX" m >index.html 2>index.err
check_eq "index, truncated HEAD commit: status" 0 "$?"
check_absent "index, truncated HEAD commit: no row" index.html 'm/log.html'
put_back_object m "$c5"
run_site m-cut "$SCRATCH/m"
check_same_site "truncated objects, put back" m-ref m-cut

# A loose blob whose header declares fewer bytes than its body holds once
# made libgit2 write past the end of its buffer (the sanitizer run sees
# it): now the blob is corrupt, its commit is named and its file left out.
new_repo lie
commit_file lie ok.txt 'fine
' 'c1' 1700000000
liar=$(python3 -c '
import hashlib, os, sys, zlib
data = b"blob 12\0" + b"x" * 50
oid = hashlib.sha1(b"liar").hexdigest()
path = os.path.join(sys.argv[1], oid[:2], oid[2:])
os.makedirs(os.path.dirname(path), exist_ok=True)
open(path, "wb").write(zlib.compress(data))
print(oid)' lie/.git/objects)
tree=$(printf '100644 blob %s\tliar.txt\n100644 blob %s\tok.txt\n' "$liar" \
	"$(git -C lie rev-parse HEAD:ok.txt)" | git -C lie mktree --missing)
git -C lie update-ref refs/heads/master "$(git -C lie commit-tree -p HEAD -m c2 "$tree")"
run_timed lie-site "$SCRATCH/lie"
check_eq "blob longer than its header: status" 1 "$status"
check_contains "blob longer than its header: message" "$SCRATCH/stderr" \
	"$REPOPAGE: cannot diff commit $(git -C lie rev-parse HEAD): corrupt loose object"
check_contains "blob longer than its header: other file" lie-site/files.html '>ok.txt</a>'
check_absent "blob longer than its header: no row" lie-site/files.html 'liar.txt'

# With a cache: a commit that cannot be read or diffed keeps the old cache,
# and the run after the repair gives what a clean run gives.
git -C m update-ref refs/heads/master "$c2"
run_site m-cache -c ../m.cache "$SCRATCH/m"
check_success "cache at c2"
git -C m update-ref refs/heads/master "$c5"
cp m.cache m.cache.old
run_site m-fresh -c ../m-fresh.cache "$SCRATCH/m"
without_object m "$c4"
run_timed m-cache -c ../m.cache "$SCRATCH/m"
check_failure "missing commit, cache" "$REPOPAGE: cannot read commit $c4: $(missing "$c4")"
check_files_eq "missing commit, cache: old cache kept" m.cache.old m.cache
check_eq "missing commit, cache: no temporary cache" "" "$(ls m-cache | grep '^cache\.')"
put_back_object m "$c4"
blob=$(git -C m rev-parse "$c3:a.txt")
without_object m "$blob"
run_timed m-cache -c ../m.cache "$SCRATCH/m"
check_failure "missing blob, cache" "$REPOPAGE: cannot diff commit $c3: object not found - cannot read header for ($blob)"
check_files_eq "missing blob, cache: old cache kept" m.cache.old m.cache
put_back_object m "$blob"
run_site m-cache -c ../m.cache "$SCRATCH/m"
check_success "repaired, cache"
check_files_eq "repaired, cache: log" m-fresh/log.html m-cache/log.html
check_files_eq "repaired, cache: cache" m-fresh.cache m.cache

# With several threads: the same messages in the same order, the same
# status, the same files left behind, for damage and for a commit page in
# the middle of the walk that cannot be written (the pages before it in
# walk order are in place, none after it). Sixteen threads take the whole
# history at once: when the walk meets the page that cannot be written,
# every commit after it is being rendered or has its page written and
# waiting, and the run that ends there removes them all.
new_repo mid
for n in 1 2 3 4 5 6 7; do
	if [ $n -eq 4 ]; then
		seq 3000 >mid/big.txt
		git -C mid add big.txt
		commit_all mid "c$n" $((1700000000 + n))
	else
		commit_file mid "f$n" "$n
" "c$n" $((1700000000 + n))
	fi
done
blob=$(git -C m rev-parse "$c3:a.txt")
without_object m "$blob"
for j in 1 16; do
	(cd "$SCRATCH" && mkdir "threads$j" && cd "threads$j" &&
		REPOPAGE_JOBS=$j timeout 60 "$REPOPAGE" -c ../threads$j.cache "$SCRATCH/m" 2>../damage$j.err
		echo $? >../damage$j.status
		mkdir limit && cd limit && (trap '' XFSZ; ulimit -f $((16384 / block)) &&
			REPOPAGE_JOBS=$j exec timeout 60 "$REPOPAGE" "$SCRATCH/mid") 2>../../limit$j.err
		echo $? >../../limit$j.status)
done
put_back_object m "$blob"
check_eq "threads, damage: status" "$(cat damage1.status)" "$(cat damage16.status)"
check_files_eq "threads, damage: messages" damage1.err damage16.err
check_eq "threads, page too large: status" 1 "$(cat limit16.status)"
check_files_eq "threads, page too large: message" limit1.err limit16.err
check_eq "threads, page too large: pages before it only" 3 "$(ls threads16/limit/commit | wc -l)"
check_eq "threads, page too large: no temporary file" "" "$(find threads16/limit -name '*.??????')"
checks=$((checks + 1))
diff -r threads1 threads16 >diff.out 2>&1 || { fail "threads: files left differ"; head diff.out; }

# Threads that cannot be made (a limit on the user's processes, to which
# root is not held: as root the runs drop to nobody): the run goes on with
# those it has, down to the walk's own thread alone, and leaves the same
# site. LeakSanitizer would need a thread of its own at the end.
if as_writer test -x "$REPOPAGE" 2>/dev/null && as_writer test -r "$SCRATCH/many/.git/HEAD" 2>/dev/null &&
	command -v prlimit >/dev/null; then
	for n in 1 2 3; do
		mkdir nproc$n
		chmod 777 nproc$n
		(cd nproc$n && as_writer timeout 60 prlimit --nproc=$n env REPOPAGE_JOBS=4 \
			ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
			"$REPOPAGE" "$SCRATCH/many" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
		status=$?
		check_success "threads limited to $n processes"
		check_same_site "threads limited to $n processes" many-ref2 nproc$n
	done
else
	echo "skipped: threads that cannot be made (no unprivileged user or no prlimit)"
fi

# Allocation failures on the threads that render commits. A preloaded
# malloc fails the calls of one size made on any thread but the first.
# A sanitized build brings its own allocator, which this one would bypass.
cat >mallocfail.c <<'EOF'
#define _GNU_SOURCE
#include <errno.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

extern void *__libc_malloc(size_t);

void *malloc(size_t size)
{
	static size_t failing;
	if (!failing) {
		const char *v = getenv("FAIL_MALLOC");
		failing = v ? strtoul(v, NULL, 10) : (size_t)-1;
	}
	if (size == failing && syscall(SYS_gettid) != getpid()) {
		errno = ENOMEM;
		return NULL;
	}
	return __libc_malloc(size);
}
EOF
if grep -q '__asan_init\|__tsan_init' "$REPOPAGE"; then
	echo "skipped: allocation failures on threads (sanitized build)"
elif cc -shared -fPIC -o mallocfail.so mallocfail.c 2>/dev/null; then
	# A config entry that cannot be copied for a diff's snapshot of the
	# configuration (a 70000-byte value, so 70001 bytes for its copy) once
	# left libgit2 with no copy and no error: a segmentation fault.
	new_repo conf
	for n in 1 2 3; do
		commit_file conf "f$n" "$n
" "c$n" $((1700000000 + n))
	done
	git -C conf config x.big "$(head -c 70000 /dev/zero | tr '\0' v)"
	(mkdir conf-site && cd conf-site && FAIL_MALLOC=70001 LD_PRELOAD="$SCRATCH/mallocfail.so" \
		REPOPAGE_JOBS=4 exec timeout 60 "$REPOPAGE" "$SCRATCH/conf" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	status=$?
	ids=$(git -C conf rev-list HEAD)
	check_failure "config copy out of memory" "$(for id in $ids; do
		echo "$REPOPAGE: cannot diff commit $id: Out of memory"; done)"
	check_eq "config copy out of memory: no commit page" "" "$(ls conf-site/commit)"
else
	echo "skipped: no C compiler for the malloc shim"
fi

# A preloaded strdup, open_memstream, pthread_create and opendir for the
# threads that render commits and for signals: FAIL_STRDUP=TEXT fails a
# strdup of a text holding TEXT; STALL_MEMSTREAM=N stops the thread of the
# Nth open_memstream (one per log row) for good, once it has made
# STALL_MARK; THREADS_MADE=N fails every pthread_create after the Nth;
# THREAD_LOG=FILE gets a line "row TID" for each row (each then takes 10
# ms, so that the rows spread over the threads) and "pack TID" for each
# listing of a pack directory, which libgit2 makes once per repository
# handle, on the thread that first reads an object through it.
cat >threadfail.c <<'EOF'
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

char *strdup(const char *text)
{
	const char *failing = getenv("FAIL_STRDUP");
	if (failing && strstr(text, failing)) {
		errno = ENOMEM;
		return NULL;
	}
	char *(*real)(const char *) = (char *(*)(const char *))dlsym(RTLD_NEXT, "strdup");
	return real(text);
}

static void log_thread(const char *what)
{
	const char *log = getenv("THREAD_LOG");
	if (!log)
		return;
	char line[64];
	int n = snprintf(line, sizeof line, "%s %ld\n", what, (long)syscall(SYS_gettid));
	int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
	if (fd >= 0 && write(fd, line, n) != n)
		abort();
	close(fd);
}

FILE *open_memstream(char **buffer, size_t *size)
{
	static int calls;
	int call = __atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST);
	const char *stall = getenv("STALL_MEMSTREAM");
	if (stall && call == atoi(stall)) {
		close(open(getenv("STALL_MARK"), O_WRONLY | O_CREAT, 0644));
		for (;;)
			pause();
	}
	log_thread("row");
	if (getenv("THREAD_LOG"))
		usleep(10000);
	FILE *(*real)(char **, size_t *) = (FILE * (*)(char **, size_t *))dlsym(RTLD_NEXT, "open_memstream");
	return real(buffer, size);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
	static int made;
	const char *limit = getenv("THREADS_MADE");
	if (limit && __atomic_add_fetch(&made, 1, __ATOMIC_SEQ_CST) > atoi(limit))
		return EAGAIN;
	int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *) =
		(int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *))dlsym(RTLD_NEXT,
											  "pthread_create");
	return real(thread, attr, start, arg);
}

DIR *opendir(const char *path)
{
	if (strstr(path, "objects/pack"))
		log_thread("pack");
	DIR *(*real)(const char *) = (DIR * (*)(const char *))dlsym(RTLD_NEXT, "opendir");
	return real(path);
}
EOF
if cc -shared -fPIC -o threadfail.so threadfail.c -ldl 2>/dev/null; then
	# Of four threads, only one can be made besides the signals'. Past
	# the -l limit over pages in place a commit costs that lone worker
	# nothing, so it is idle whenever the walk hands out the next one:
	# it must be woken for each.
	cp -r many-ref2 lone-ref
	run_site lone-ref -l 5 "$SCRATCH/many"
	cp -r many-ref2 lone
	REPOPAGE_JOBS=4 THREADS_MADE=2 run_preloaded threadfail.so lone -l 5 "$SCRATCH/many"
	check_success "a lone idle worker woken"
	check_same_site "a lone idle worker woken" lone-ref lone

	# Every thread that renders commits reads them through a repository
	# handle of its own, as libgit2 wants of threads: each lists the pack
	# directory itself, where threads sharing one handle would leave that
	# to the first of them.
	REPOPAGE_JOBS=4 THREAD_LOG="$SCRATCH/threads.log" run_preloaded threadfail.so handles "$SCRATCH/many"
	check_success "workers sharing one repository handle"
	renderers=$(sed -n 's/^row //p' threads.log | sort -u)
	check_eq "workers sharing one repository handle: rows spread" yes \
		"$([ "$(echo "$renderers" | wc -l)" -ge 2 ] && echo yes)"
	for tid in $renderers; do
		checks=$((checks + 1))
		grep -qx "pack $tid" threads.log ||
			fail "workers sharing one repository handle: thread $tid read no pack of its own"
	done

	# Three commits with large diffs, then one whose diff cannot be made:
	# keeping libgit2's reason for it fails. On any number of threads the
	# run ends there, as on one: one message, the three pages before it
	# in walk order in place, no temporary file.
	new_repo late
	commit_file late a.txt 'a
' 'c1' 1700000001
	commit_file late gone.txt 'gone
' 'c2' 1700000002
	for n in 3 4 5; do
		seq "$n" "$n" 90000 >late/big.txt
		git -C late add big.txt
		commit_all late "c$n" $((1700000000 + n))
	done
	without_object late "$(git -C late rev-parse HEAD:gone.txt)"
	for j in 1 4; do
		REPOPAGE_JOBS=$j FAIL_STRDUP='object not found' run_preloaded threadfail.so late$j "$SCRATCH/late"
		check_failure "memory out on a worker, $j threads" "repopage: strdup: Cannot allocate memory"
		check_eq "memory out on a worker, $j threads: pages before it" 3 "$(ls late$j/commit | wc -l)"
		check_eq "memory out on a worker, $j threads: no temporary file" "" "$(find late$j -name '*.??????')"
	done
	checks=$((checks + 1))
	diff -r late1 late4 >diff.out 2>&1 || { fail "memory out on a worker: files left differ"; head diff.out; }
	put_back_object late "$(git -C late rev-parse HEAD:gone.txt)"

	# A run ended by SIGTERM or SIGHUP in the middle of its walk (its
	# fifth row stops for good) removes its temporary files, the cache's
	# too, and ends by the signal; the pages in place are the old ones or
	# the new ones, the old cache stays, and the next run ends the job.
	new_repo sig
	n=10
	while [ $n -lt 40 ]; do
		commit_file sig "f$((n % 7))" "$n
" "c$n" $((1700000000 + n))
		n=$((n + 1))
	done
	git -C sig update-ref refs/heads/master HEAD~10
	run_site sig-old -c ../sig-old.cache "$SCRATCH/sig"
	git -C sig update-ref refs/heads/master HEAD@{1}
	run_site sig-new -c ../sig-new.cache "$SCRATCH/sig"
	for run in TERM:1:143 TERM:4:143 HUP:4:129; do
		sig=${run%%:*}
		j=${run#*:}
		j=${j%:*}
		out=sig-$sig$j
		cp -r sig-old "$out"
		cp sig-old.cache "$out.cache"
		rm -f stalled
		(cd "$out" && REPOPAGE_JOBS=$j STALL_MEMSTREAM=5 STALL_MARK="$SCRATCH/stalled" \
			LD_PRELOAD="$SCRATCH/threadfail.so" \
			ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
			exec "$REPOPAGE" -c "../$out.cache" "$SCRATCH/sig" 2>"$SCRATCH/stderr") &
		pid=$!
		waited=0
		while [ ! -e stalled ] && [ $waited -lt 600 ] && kill -0 $pid 2>/dev/null; do
			sleep 0.1
			waited=$((waited + 1))
		done
		# A run the signal does not end may not hang the family.
		(sleep 60 && kill -KILL $pid) >/dev/null 2>&1 &
		watchdog=$!
		kill -"$sig" $pid
		wait $pid 2>/dev/null
		status=$?
		kill $watchdog 2>/dev/null
		check_eq "SIG$sig, $j threads: status" "${run##*:}" "$status"
		check_eq "SIG$sig, $j threads: stderr" "" "$(cat "$SCRATCH/stderr")"
		check_eq "SIG$sig, $j threads: temporary files" "" \
			"$(find "$out" -name '*.??????' -o -name 'cache.*')"
		check_files_eq "SIG$sig, $j threads: old cache" sig-old.cache "$out.cache"
		for f in $(cd "$out" && find . -type f); do
			checks=$((checks + 1))
			cmp -s "$out/$f" "sig-old/$f" || cmp -s "$out/$f" "sig-new/$f" ||
				fail "SIG$sig, $j threads: $f is neither old nor new"
		done
		run_site "$out" -c "../$out.cache" "$SCRATCH/sig"
		check_success "SIG$sig, $j threads: the next run"
		check_same_site "SIG$sig, $j threads: the next run" sig-new "$out"
		check_files_eq "SIG$sig, $j threads: the next run's cache" sig-new.cache "$out.cache"
	done
else
	echo "skipped: no C compiler for the strdup shim"
fi

# HEAD that cannot be read is fatal before anything is written: a good
# site is never replaced by an empty one. An unborn HEAD is no error.
head=$(git -C m rev-parse HEAD)
without_object m "$head"
cp -r m-ref m-head
run_timed m-head "$SCRATCH/m"
check_failure "missing HEAD commit" "$REPOPAGE: cannot read HEAD: $(missing "$head")"
check_same_site "missing HEAD commit: site untouched" m-ref m-head
run_timed m-head-new "$SCRATCH/m"
check_eq "missing HEAD commit: nothing made" "" "$(ls m-head-new)"
"$REPOPAGE_INDEX" m >index.html 2>index.err
check_eq "index, missing HEAD commit: status" 0 "$?"
check_absent "index, missing HEAD commit: no row" index.html 'm/log.html'
put_back_object m "$head"
cp m/.git/HEAD HEAD.saved
echo 'not a reference' >m/.git/HEAD
run_timed m-head "$SCRATCH/m"
check_eq "HEAD of garbage: status" 1 "$status"
check_contains "HEAD of garbage: message" "$SCRATCH/stderr" "$REPOPAGE: cannot read HEAD: "
check_same_site "HEAD of garbage: site untouched" m-ref m-head
cp HEAD.saved m/.git/HEAD
if as_writer test -r "$SCRATCH/m/.git/HEAD" 2>/dev/null && as_writer test -x "$REPOPAGE" 2>/dev/null; then
	chmod -R a+rwX m-head
	chmod 700 m/.git/objects
	(cd m-head && as_writer timeout 60 "$REPOPAGE" "$SCRATCH/m" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	status=$?
	check_eq "unreadable objects: status" 1 "$status"
	check_contains "unreadable objects: message" "$SCRATCH/stderr" "$REPOPAGE: cannot read HEAD: "
	check_same_site "unreadable objects: site untouched" m-ref m-head
	chmod 755 m/.git/objects
	chmod 700 "$(object_file m "$c3")"
	(cd m-head && as_writer timeout 60 "$REPOPAGE" "$SCRATCH/m" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	status=$?
	check_eq "unreadable commit: status" 1 "$status"
	check_contains "unreadable commit: message" "$SCRATCH/stderr" "$REPOPAGE: cannot read commit $c3: "
	chmod 444 "$(object_file m "$c3")"
else
	echo "skipped: unreadable objects (no unprivileged user to run as)"
fi
git -C m symbolic-ref HEAD refs/heads/none
run_timed m-unborn "$SCRATCH/m"
check_success "unborn branch"
check_eq "unborn branch: empty log" 0 "$(grep -c 'href="commit/' m-unborn/log.html)"
git -C m symbolic-ref HEAD refs/heads/master

finish
