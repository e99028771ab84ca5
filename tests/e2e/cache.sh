# The log cache (-c): the rows of earlier runs are reused byte for byte, only
# new commits are walked, and the cache is replaced only by a finished run.
. ./lib.sh

# log_body LOG: the rows between the table head and "</tbody></table>".
log_body() {
	sed -n '/<\/thead><tbody>$/,/^<\/tbody><\/table>/p' "$1" | sed '1d;$d'
}

# row_count FILE: the number of log rows in FILE.
row_count() {
	grep -c '^<tr><td>' "$1"
}

# temp_count DIR: the number of cache.* temporary files in DIR.
temp_count() {
	ls "$1" | grep -c '^cache\.'
}

new_repo r
commit_file r a.txt 'one
' 'first' 1700000000
commit_file r a.txt 'one
two
' 'second <two>' 1700000200
commit_file r b.txt 'b
' 'third' 1700000400
head1=$(git -C r rev-parse HEAD)

# First run, no cache yet: every commit gets a row, and the cache holds
# HEAD's id and exactly the rows of the log table.
run_site run -c ../cache "$SCRATCH/r"
check_eq "first run: status" 0 "$status"
check_eq "first run: stderr" "" "$(cat "$SCRATCH/stderr")"
check_eq "first run: first line" "$head1" "$(head -n 1 cache)"
log_body run/log.html >body1
tail -n +2 cache >cached1
check_files_eq "first run: cache rows" body1 cached1
check_eq "first run: rows" 3 "$(row_count body1)"
check_eq "first run: no temporary file" 0 "$(temp_count run)"
run_site plain1 "$SCRATCH/r"
check_files_eq "first run: log as without cache" plain1/log.html run/log.html
cp cache cache1
cp run/log.html log1

# No new commits: the walk stops at HEAD, so no commit page is looked at.
# A removed page is not written again and a marked one stays as it is.
first=$(git -C r rev-parse HEAD~2)
rm "run/commit/$first.html"
echo marker >"run/commit/$head1.html"
run_site run -c ../cache "$SCRATCH/r"
check_eq "no new commits: status" 0 "$status"
check_files_eq "no new commits: cache unchanged" cache1 cache
check_files_eq "no new commits: log unchanged" log1 run/log.html
check_missing "no new commits: old page not rewritten" "run/commit/$first.html"
check_eq "no new commits: marked page" marker "$(cat "run/commit/$head1.html")"

# Two new commits: their rows first, then the cached ones; the log is that
# of a full run without cache.
commit_file r c.txt 'c
' 'fourth' 1700000600
commit_file r c.txt 'c
d
' 'fifth' 1700000800
head2=$(git -C r rev-parse HEAD)
run_site run -c ../cache "$SCRATCH/r"
check_eq "new commits: status" 0 "$status"
check_eq "new commits: first line" "$head2" "$(head -n 1 cache)"
log_body run/log.html >body2
tail -n +2 cache >cached2
check_files_eq "new commits: cache rows" body2 cached2
head -n 2 body2 >new_rows
cat new_rows body1 >expected
check_files_eq "new commits: new rows then cached ones" expected body2
check_contains "new commits: newest first" new_rows "fifth</a>"
check_exists "new commits: new page" "run/commit/$head2.html"
check_missing "new commits: old page still not rewritten" "run/commit/$first.html"
check_eq "new commits: marked page" marker "$(cat "run/commit/$head1.html")"
run_site plain2 "$SCRATCH/r"
check_files_eq "new commits: log as without cache" plain2/log.html run/log.html
cp cache cache2

# The cached id may be written in capitals; the new cache writes it in
# lower case.
{ echo "$head2" | tr a-f A-F; cat cached2; } >upper
run_site run -c ../upper "$SCRATCH/r"
check_eq "capital id: status" 0 "$status"
check_files_eq "capital id: cache" cache2 upper
check_files_eq "capital id: log" plain2/log.html run/log.html

# A broken first line is fatal before the temporary file exists; the log
# that was being written is not installed.
: >empty
run_site bad -c ../empty "$SCRATCH/r"
check_failure "empty cache" "repopage: ../empty: no object id"
check_eq "empty cache: left as it was" 0 "$(wc -c <empty)"
check_eq "empty cache: nothing left" "commit" "$(ls bad)"
mkdir -p dircache/sub
run_site bad -c ../dircache "$SCRATCH/r"
check_failure "cache a directory" "repopage: ../dircache: no object id"
check_exists "cache a directory: left as it was" dircache/sub
printf '%s\n' "${head2%?}" >short
run_site bad -c ../short "$SCRATCH/r"
check_failure "short id" "repopage: ../short: invalid object id"
printf '%sg\n' "${head2%?}" >nonhex
run_site bad -c ../nonhex "$SCRATCH/r"
check_failure "non-hex id" "repopage: ../nonhex: invalid object id"
printf ' %s\n' "$head2" >blank
run_site bad -c ../blank "$SCRATCH/r"
check_failure "leading blank" "repopage: ../blank: invalid object id"
check_eq "invalid id: no temporary file" 0 "$(temp_count bad)"

# A first line of more than 41 characters: the id is its first 40, the 41st
# is dropped, and the rest is copied along with the rows.
{ printf '%sZextra\n' "$head2"; cat cached2; } >longline
run_site long -c ../longline "$SCRATCH/r"
check_eq "long line: status" 0 "$status"
{ echo "$head2"; echo extra; cat cached2; } >expected
check_files_eq "long line: cache" expected longline
{ echo extra; cat cached2; } >expected
log_body long/log.html >body
check_files_eq "long line: log rows" expected body

# A cached id that the history no longer holds (a force-push, or another
# repository's cache): the walk runs to the end, and its rows are the whole
# log and the whole new cache, as in a fresh render; no row twice.
new_repo w
commit_file w a.txt 'a
' 'base' 1700000000
commit_file w b.txt 'b
' 'tip' 1700000200
run_site wrun -c ../wcache "$SCRATCH/w"
tail -n +2 wcache >wrows1
GIT_AUTHOR_DATE="@1700000300 -0500" git -C w commit -q --amend -m 'rewritten tip'
run_site wrun -c ../wcache "$SCRATCH/w"
check_success "rewritten"
check_eq "rewritten: first line" "$(git -C w rev-parse HEAD)" "$(head -n 1 wcache)"
run_site wfresh -c ../wfresh.cache "$SCRATCH/w"
check_files_eq "rewritten: log as a fresh render" wfresh/log.html wrun/log.html
check_files_eq "rewritten: cache as a fresh render" wfresh.cache wcache
# Reset to the older commit plus one new commit: the same again.
git -C w reset -q --hard HEAD~1
commit_file w c.txt 'c
' 'new tip' 1700000400
run_site wrun -c ../wcache "$SCRATCH/w"
rm -rf wfresh wfresh.cache
run_site wfresh -c ../wfresh.cache "$SCRATCH/w"
check_files_eq "reset and commit: log as a fresh render" wfresh/log.html wrun/log.html
check_eq "reset and commit: rows" "new tip base " \
	"$(sed -n 's/.*\.html">\([a-z ]*\)<\/a>.*/\1/p' wrun/log.html | tr '\n' ' ')"

# Commits merged since the last run whose dates are older than the cached
# commit: a walk by date meets the cached commit first, so they must be
# listed as the commits it does not reach. They stand above the earlier
# rows, get their pages, and the log holds the rows of a fresh render.
# commit_at REPO PATH CONTENT MESSAGE EPOCH: commit_file with the committer
# date too, which orders the walk.
commit_at() {
	(GIT_COMMITTER_DATE="@$5 +0000" && export GIT_COMMITTER_DATE && commit_file "$@")
}
# merge_at REPO BRANCH MESSAGE EPOCH
merge_at() {
	(GIT_AUTHOR_DATE="@$4 -0500" GIT_COMMITTER_DATE="@$4 +0000" &&
		export GIT_AUTHOR_DATE GIT_COMMITTER_DATE && git -C "$1" merge -q --no-ff -m "$3" "$2")
}
# titles LOG: the commit titles of the rows, in order, on one line.
titles() {
	sed -n 's/.*\.html">\([a-z0-9 ]*\)<\/a>.*/\1/p' "$1" | tr '\n' ' '
}
# check_merged WHAT DIR CACHE FRESH: every commit has its page, the cache
# holds the log's rows, and the log the same rows as a fresh render.
check_merged() {
	for id in $(git -C "$SCRATCH/$1" rev-list HEAD); do
		check_exists "$1: page of $id" "$2/commit/$id.html"
	done
	log_body "$2/log.html" >"$SCRATCH/rows"
	check_files_eq "$1: cache rows" "$SCRATCH/rows" "$SCRATCH/tail"
	log_body "$4/log.html" | sort >"$SCRATCH/fresh.sorted"
	sort "$SCRATCH/rows" >"$SCRATCH/rows.sorted"
	check_files_eq "$1: rows of a fresh render" "$SCRATCH/fresh.sorted" "$SCRATCH/rows.sorted"
}
new_repo mg
commit_at mg a.txt 'a
' 'base' 1700000000
git -C mg checkout -q -b side
commit_at mg s.txt 's
' 'side' 1700086400
git -C mg checkout -q master
commit_at mg m.txt 'm
' 'main' 1700172800
run_site mgrun -c ../mgcache "$SCRATCH/mg"
merge_at mg side 'merge' 1700259200
for j in 1 3; do
	rm -rf mgrun$j && cp -r mgrun mgrun$j && cp mgcache mgcache$j
	REPOPAGE_JOBS=$j run_site mgrun$j -c ../mgcache$j "$SCRATCH/mg"
	check_success "merged older commit, $j threads"
done
check_files_eq "merged older commit: log with 1 and 3 threads" mgrun1/log.html mgrun3/log.html
check_files_eq "merged older commit: cache with 1 and 3 threads" mgcache1 mgcache3
check_eq "merged older commit: rows" "merge side main base " "$(titles mgrun1/log.html)"
run_site mgfresh -c ../mgfresh.cache "$SCRATCH/mg"
tail -n +2 mgcache1 >tail
check_merged mg mgrun1 mgcache1 mgfresh
run_site mgrun1 -c ../mgcache1 "$SCRATCH/mg"
check_eq "merged older commit, run again: rows" "merge side main base " "$(titles mgrun1/log.html)"

# Two branches merged, one with commits both older and newer than the
# cached commit, the other with an older one only.
new_repo tb
commit_at tb a.txt 'a
' 'base' 1700000000
git -C tb checkout -q -b one
commit_at tb o.txt 'o1
' 'one old' 1700050000
commit_at tb o.txt 'o2
' 'one new' 1700300000
git -C tb checkout -q -b two master
commit_at tb t.txt 't
' 'two old' 1700060000
git -C tb checkout -q master
commit_at tb m.txt 'm
' 'cached' 1700100000
run_site tbrun -c ../tbcache "$SCRATCH/tb"
merge_at tb one 'merge one' 1700400000
merge_at tb two 'merge two' 1700500000
run_site tbrun -c ../tbcache "$SCRATCH/tb"
check_success "two branches merged"
check_eq "two branches merged: rows" "merge two merge one one new two old one old cached base " \
	"$(titles tbrun/log.html)"
run_site tbfresh -c ../tbfresh.cache "$SCRATCH/tb"
tail -n +2 tbcache >tail
check_merged tb tbrun tbcache tbfresh

# A cache of another repository: its commit is not even an object here,
# and the log is that of a fresh render, as for a rewritten history.
cp mgcache1 tbother.cache
run_site tbother -c ../tbother.cache "$SCRATCH/tb"
check_success "cache of another repository"
check_files_eq "cache of another repository: log" tbfresh/log.html tbother/log.html
check_files_eq "cache of another repository: cache" tbfresh.cache tbother.cache

# A commit behind the cached one that cannot be read: listing the new
# commits needs the cached commit's ancestry, so the run walks by date as
# it did before, names the missing commit and keeps the old cache.
new_repo bd
for t in base p cached; do
	commit_file bd a.txt "$t
" "$t"
done
run_site bdrun -c ../bdcache "$SCRATCH/bd"
cp bdcache bdcache.old
p=$(git -C bd rev-parse HEAD~1)
object="bd/.git/objects/$(echo "$p" | cut -c1-2)/$(echo "$p" | cut -c3-)"
mv "$object" p.saved
commit_file bd a.txt 'new
' 'new'
run_site bdrun -c ../bdcache "$SCRATCH/bd"
check_failure "unreadable behind the cached commit" \
	"$REPOPAGE: cannot read commit $p: object not found - no match for id ($p)"
check_eq "unreadable behind the cached commit: rows" "new cached p base " "$(titles bdrun/log.html)"
check_files_eq "unreadable behind the cached commit: old cache kept" bdcache.old bdcache
mv p.saved "$object"

# HEAD holding the id of an annotated tag (detached by hand): the tag is
# peeled to its commit for the walk, the cache's first line, the files and
# the probes, so the site is that of the branch and -c runs do not add the
# rows again.
new_repo t
commit_file t README 'read me
' 'one' 1700000000
commit_file t b.txt 'b
' 'two' 1700000100
git -C t tag -a -m 'release' v1
run_site tref -c ../tref.cache "$SCRATCH/t"
tag=$(git -C t rev-parse v1)
commit=$(git -C t rev-parse 'v1^{commit}')
echo "$tag" >t/.git/HEAD
run_site trun -c ../tcache "$SCRATCH/t"
run_site trun -c ../tcache "$SCRATCH/t"
check_success "HEAD on a tag"
check_eq "HEAD on a tag: first line" "$commit" "$(head -n 1 tcache)"
check_files_eq "HEAD on a tag: cache" tref.cache tcache
for page in log.html files.html file/README.html atom.xml; do
	check_files_eq "HEAD on a tag: $page" "tref/$page" "trun/$page"
done

# A repository without HEAD: the cache is neither read nor written.
new_repo e
echo 'not an id' >ecache
run_site erun -c ../ecache "$SCRATCH/e"
check_eq "no HEAD: status" 0 "$status"
check_eq "no HEAD: cache untouched" 'not an id' "$(cat ecache)"
check_eq "no HEAD: no temporary file" 0 "$(temp_count erun)"
run_site erun -c ../enone "$SCRATCH/e"
check_missing "no HEAD: no cache made" enone
check_exists "no HEAD: pages written" erun/tags.xml

# The installed cache gets the mode of an ordinary new file.
for mask in 022:644 077:600 027:640; do
	(umask "${mask%:*}" && run_site "mode${mask%:*}" -c cache "$SCRATCH/r")
	check_eq "umask ${mask%:*}: mode" "${mask#*:}" "$(stat -c %a "mode${mask%:*}/cache")"
done

# A rename that fails is fatal under the generated name; the temporary file
# stays, complete, and the old cache keeps its content.
mkdir ren
cp cache1 ren/cache
run_site ren -c cache/ "$SCRATCH/r"
temp=$(ls ren | grep '^cache\.')
check_failure "rename onto file/" \
	"repopage: rename: '$temp' to 'cache/': Not a directory"
check_eq "rename onto file/: generated name" 1 \
	"$(printf '%s\n' "$temp" | grep -c '^cache\.[A-Za-z0-9]\{12\}$')"
check_files_eq "rename onto file/: old cache" cache1 ren/cache
check_files_eq "rename onto file/: temporary file" cache2 "ren/$temp"
run_site ren -c nodir/cache "$SCRATCH/r"
check_eq "rename into missing dir: status" 1 "$status"
check_contains "rename into missing dir: message" "$SCRATCH/stderr" \
	"' to 'nodir/cache': No such file or directory"
check_eq "rename into missing dir: temporary files" 2 "$(temp_count ren)"
if [ "$(stat -c %d /dev/shm 2>/dev/null)" != "$(stat -c %d .)" ] && [ -w /dev/shm ]; then
	shm=$(mktemp /dev/shm/repopage-cache.XXXXXX)
	cp cache1 "$shm"
	run_site xdev -c "$shm" "$SCRATCH/r"
	temp=$(ls xdev | grep '^cache\.')
	check_failure "other file system" \
		"repopage: rename: '$temp' to '$shm': Invalid cross-device link"
	check_files_eq "other file system: old cache" cache1 "$shm"
	check_files_eq "other file system: temporary file" cache2 "xdev/$temp"
	rm -f "$shm"
fi

# A run that fails before the end leaves the previous cache as it was.
mkdir -p fail/tags.xml
cp cache1 fail/cache
run_site fail -c cache "$SCRATCH/r"
check_eq "failed run: status" 1 "$status"
checks=$((checks + 1))
grep -qx "repopage: rename: 'tags\.xml\.[A-Za-z0-9]\{6\}' to 'tags\.xml': Is a directory" "$SCRATCH/stderr" ||
	fail "failed run: message [$(cat "$SCRATCH/stderr")]"
check_files_eq "failed run: old cache" cache1 fail/cache
check_eq "failed run: temporary cache left" 1 "$(temp_count fail)"
check_eq "failed run: no temporary page left" "" "$(ls fail | grep '\.xml\.')"
rmdir fail/tags.xml
run_site fail -c cache "$SCRATCH/r"
check_eq "after failed run: status" 0 "$status"
check_files_eq "after failed run: cache" cache2 fail/cache
check_files_eq "after failed run: log" plain2/log.html fail/log.html

finish
