# The log table and the commit pages written on the way: rows, the -l limit
# with its row of remaining commits, and pages that are never rewritten.
# Pages that cannot be written are faults.sh's.
. ./lib.sh

# rows LOG: the rows of the log table, one a line.
rows() {
	awk '/^<\/tbody>/ { exit } f; /<tbody>$/ { f = 1 }' "$1"
}

# row N: the log row of commit N of repository five (N lines added to fN,
# N hours after the pinned date).
row() {
	case $1 in
	1) date='2023-11-14 23:13' ;;
	2) date='2023-11-15 00:13' ;;
	3) date='2023-11-15 01:13' ;;
	4) date='2023-11-15 02:13' ;;
	5) date='2023-11-15 03:13' ;;
	esac
	printf '<tr><td>%s</td><td><a href="commit/%s.html">Commit %s</a></td><td>Ann Author</td><td class="num" align="right">1</td><td class="num" align="right">+%s</td><td class="num" align="right">-0</td></tr>\n' \
		"$date" "$(eval echo \$id$1)" "$1" "$1"
}

remaining='<tr><td></td><td colspan="5">4 more commits remaining, fetch the repository</td></tr>'

# pages OUT: the names in OUT/commit, sorted, one a line.
pages() {
	ls -A "$1/commit"
}

new_repo five
for n in 1 2 3 4 5; do
	commit_file five "f$n" "$(seq "$n")
" "Commit $n" $((1700000000 + n * 3600))
	eval "id$n=\$(git -C five rev-parse HEAD)"
done
all_pages=$(for n in 1 2 3 4 5; do eval echo "\$id$n.html"; done | sort)

# No limit: every commit, newest first, and no row of remaining commits.
run_site out-all ../five
check_eq "full log status" 0 "$status"
check_eq "full log rows" "$(row 5; row 4; row 3; row 2; row 1)" "$(rows out-all/log.html)"
check_eq "full log pages" "$all_pages" "$(pages out-all)"
check_eq "full log stderr" "" "$(cat stderr)"

# -l 1: one row, the count of the others, and still every page.
run_site out-1 -l 1 ../five
check_eq "-l 1 status" 0 "$status"
check_eq "-l 1 rows" "$(row 5; echo "$remaining")" "$(rows out-1/log.html)"
check_eq "-l 1 pages" "$all_pages" "$(pages out-1)"
for n in 1 2 3 4 5; do
	check_files_eq "-l 1 page $n" "out-all/commit/$(eval echo \$id$n).html" "out-1/commit/$(eval echo \$id$n).html"
done

# The limit reaches 0 with the last commit: nothing is left to count.
run_site out-5 -l 5 ../five
check_eq "-l 5 rows" "$(rows out-all/log.html)" "$(rows out-5/log.html)"
run_site out-10 -l 10 ../five
check_eq "-l 10 rows" "$(rows out-all/log.html)" "$(rows out-10/log.html)"
check_eq "-l 10 pages" "$all_pages" "$(pages out-10)"

# A second run writes every row again but opens no existing page, whether
# the limit hides its row or not.
for p in out-1/commit/*.html; do
	printf 'kept\n' >"$p"
done
run_site out-1 ../five
check_eq "second run status" 0 "$status"
check_eq "second run rows" "$(rows out-all/log.html)" "$(rows out-1/log.html)"
check_eq "second run pages" "$all_pages" "$(pages out-1)"
check_eq "second run left pages alone" "kept kept kept kept kept" "$(cat out-1/commit/*.html | tr '\n' ' ' | sed 's/ $//')"
run_site out-1 -l 2 ../five
check_eq "limited second run left pages alone" 5 "$(cat out-1/commit/*.html | grep -c '^kept$')"

# Only the missing page of a new commit is written.
rm "out-1/commit/$id3.html"
run_site out-1 ../five
check_files_eq "missing page written again" "out-all/commit/$id3.html" "out-1/commit/$id3.html"
check_eq "other pages still kept" 4 "$(cat out-1/commit/*.html | grep -c '^kept$')"

# New pages get the mode a plain create would give them.
mkdir out-mode
(umask 027 && cd out-mode && "$REPOPAGE" ../five)
check_eq "page mode" 640 "$(stat -c %a "out-mode/commit/$id5.html")"
check_eq "log mode" 640 "$(stat -c %a out-mode/log.html)"

# --- Threads: any number of them gives the bytes of one ------------------
# A generated history (renames, binary and large files, merges, tags) and
# the runs that depend on the walk's order: a first render, -l over pages
# that exist and pages that do not, and -c in two steps. The patch files
# are on: a worker writes two files per commit.
sh "$here/../../bench/gen-history.sh" "$SCRATCH/gen" 300 >/dev/null 2>&1
git clone -q --bare "$SCRATCH/gen" "$SCRATCH/gen-old"
git -C "$SCRATCH/gen" config repopage.patch true
git -C "$SCRATCH/gen-old" config repopage.patch true
git -C "$SCRATCH/gen-old" update-ref refs/heads/master "$(git -C "$SCRATCH/gen" rev-parse HEAD~120)"

# in_each ARGS...: repopage in t1, t2 and t5 with that many threads each; a
# "@" in ARGS stands for the number.
in_each() {
	for j in 1 2 5; do
		mkdir -p "t$j"
		(cd "t$j" && REPOPAGE_JOBS=$j exec "$REPOPAGE" $(echo "$@" | sed "s/@/$j/g") \
			>"$SCRATCH/out$j" 2>"$SCRATCH/err$j")
		echo $? >"$SCRATCH/status$j"
	done
}
# same_as_one WHAT: t2 and t5 hold what t1 holds, and the runs said the same.
same_as_one() {
	for j in 2 5; do
		check_eq "$1, $j threads: status" "$(cat "$SCRATCH/status1")" "$(cat "$SCRATCH/status$j")"
		check_files_eq "$1, $j threads: stderr" "$SCRATCH/err1" "$SCRATCH/err$j"
		checks=$((checks + 1))
		diff -r -x 'cache*' t1 "t$j" >"$SCRATCH/diff.out" 2>&1 ||
			{ fail "$1, $j threads: sites differ"; head -n 10 "$SCRATCH/diff.out"; }
	done
}
in_each "$SCRATCH/gen"
check_eq "threads: first render" 0 "$(cat "$SCRATCH/status1")"
check_eq "threads: patch files" 298 "$(ls t1/commit | grep -c '\.patch$')"
same_as_one "threads: first render"
for j in 1 2 5; do
	rm "t$j/log.html"
	ls "t$j/commit" | grep '\.html$' | sed -n '3p;40p;41p;200p;250p' | (cd "t$j/commit" && xargs rm)
done
in_each -l 37 "$SCRATCH/gen"
same_as_one "threads: -l over pages old and missing"
check_contains "threads: -l remainder" t1/log.html '263 more commits remaining'
rm -rf t1 t2 t5
in_each -c ../cache@ "$SCRATCH/gen-old"
in_each -c ../cache@ "$SCRATCH/gen"
same_as_one "threads: -c in two steps"
check_files_eq "threads: -c, cache of 2" cache1 cache2
check_files_eq "threads: -c, cache of 5" cache1 cache5

finish
