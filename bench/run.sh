#!/bin/sh
# run.sh BUILD [REPO...]: times repopage against the floor (the same libgit2
# work with nothing written) and against git log, for a first render and for
# incremental runs with a cache. Without REPO: this repository and generated
# histories of 1000 and 10000 commits, kept under BUILD/bench; with
# BENCH_WIDE=N in the environment also a history of N commits over a wide
# tree (gen-history.sh's "wide" profile; 40000 commits take some minutes to
# generate, once, and a few to measure), and with BENCH_LONG=N one of N
# commits of the same profile (200000 take a quarter of an hour to generate,
# once), whose peak memory is set beside the wide one's. Each row is the median of 3 runs
# (5 when a run takes under a second) of the whole process: wall and CPU
# seconds, peak resident memory. BASELINE=path/to/an older repopage adds
# its rows beside the current ones, in the same run. Each history is also
# rendered with every rich page on, and with its file pages highlighted,
# against none (BENCH_RICH=0 skips both), with the highlighting's speed end
# to end; then the highlighter's own speed on this repository's C++
# sources and libgit2's C sources, and the size of the program.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 BUILD [REPO...]" >&2; exit 1; }
build=$1
shift
case $build in /*) ;; *) build="$top/$build" ;; esac
repopage=$build/repopage
floor=$build/bench/floor
work=$build/bench/work
export GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null TZ=UTC LC_ALL=C

die() { echo "bench: $*" >&2; exit 1; }

[ -x "$repopage" ] && [ -x "$floor" ] || die "build $build first (make bench does)"
if [ ! -x /usr/bin/time ]; then
	[ "$(id -u)" -eq 0 ] || die "needs /usr/bin/time: apt-get install time"
	apt-get install -y -q time >/dev/null 2>&1 ||
		{ apt-get update >/dev/null && apt-get install -y -q time >/dev/null; } ||
		die "apt-get could not install time"
fi

# history N [PROFILE]: the generated history of N commits, made once.
history() {
	dir=$build/bench/history-$1${2:+-$2}
	if [ ! -d "$dir" ]; then
		echo "bench: generating $dir" >&2
		rm -rf "$dir.tmp"
		"$top/bench/gen-history.sh" "$dir.tmp" "$1" "${2:-default}"
		mv "$dir.tmp" "$dir"
	fi
	echo "$dir"
}

# measure LABEL DIR PREP COMMAND...: runs PREP, then COMMAND in DIR under
# /usr/bin/time with its output to $stdout_to, 3 or 5 times; prints a table
# row and sets wall, cpu and rss (MB) to the medians.
stdout_to=/dev/null
measure() {
	label=$1 dir=$2 prep=$3
	shift 3
	: >"$work/runs"
	runs=3 i=0
	while [ $i -lt $runs ]; do
		$prep
		(cd "$dir" && /usr/bin/time -f '%e %U %S %M' -o "$work/time" "$@" >"$stdout_to") ||
			die "$label: $* failed"
		awk '{ printf "%.2f %.2f %.1f\n", $1, $2 + $3, $4 / 1024 }' "$work/time" >>"$work/runs"
		[ $i -eq 0 ] && [ "$(awk '{ print ($1 < 1) }' "$work/runs")" = 1 ] && runs=5
		i=$((i + 1))
	done
	wall=$(median 1) cpu=$(median 2) rss=$(median 3)
	printf '%-28s %9s %9s %10s\n' "$label" "$wall" "$cpu" "$rss"
	printf '%s\t%s\t%s\n' "$name" "$label" "$rss" >>"$work/rss"
}

median() {
	cut -d ' ' -f "$1" "$work/runs" | sort -n | sed -n "$(((runs + 1) / 2))p"
}

# mb_per_s BYTES ON OFF: BYTES over the seconds ON adds to OFF, in MB/s.
mb_per_s() {
	awk -v b="$1" -v on="$2" -v off="$3" 'BEGIN { if (on > off) printf "%.1f", b / (on - off) / 1e6; else printf "n/a" }'
}

# ratio A B: A / B to two places, or n/a when B is too small to divide by.
ratio() {
	awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else printf "n/a" }'
}

nothing() { :; }
# Each first render gets a directory never used before: creating files right
# after thousands were deleted costs ext4 extra time that is no part of a
# render, so the old ones are removed only when the benchmark ends.
full_runs=0
empty_full() {
	full_runs=$((full_runs + 1))
	mkdir "$work/full.$full_runs" && ln -sfn "full.$full_runs" "$work/full"
}
# Back to the state after a full -c render with one commit not yet seen.
inc=inc
one_new_commit() {
	cp "$work/$inc.cache" "$work/$inc/cache" && rm -f "$work/$inc/commit/$new_id.html" "$work/$inc/commit/$new_id.patch"
}

# add_commit REPO: one commit on HEAD that changes one file (the last of
# HEAD's tree), pinned identity.
add_commit() {
	index=$work/index
	rm -f "$index"
	changed_path=$(git -C "$1" ls-tree -r --name-only HEAD | tail -n 1)
	blob=$( (git -C "$1" cat-file blob "HEAD:$changed_path"; printf 'one\nnew\nline\n') |
		git -C "$1" hash-object -w --stdin)
	GIT_INDEX_FILE=$index git -C "$1" read-tree HEAD
	GIT_INDEX_FILE=$index git -C "$1" update-index --add --cacheinfo "100644,$blob,$changed_path"
	tree=$(GIT_INDEX_FILE=$index git -C "$1" write-tree)
	new_id=$(echo "Change one file for the incremental run" |
		GIT_AUTHOR_NAME=Bench GIT_AUTHOR_EMAIL=bench@example.org GIT_AUTHOR_DATE="@2000000000 +0000" \
		GIT_COMMITTER_NAME=Bench GIT_COMMITTER_EMAIL=bench@example.org GIT_COMMITTER_DATE="@2000000000 +0000" \
		git -C "$1" commit-tree "$tree" -p HEAD)
	git -C "$1" update-ref HEAD "$new_id"
}

# pages_touched: which pages one -c run after the new commit replaces, in
# a copy of the site as the render before that commit left it.
pages_touched() {
	rm -rf "$work/touch"
	cp -a "$work/inc.base" "$work/touch"
	sleep 1
	(cd "$work/touch" && find . -type f -printf '%p|%i %T@\n' | sort) >"$work/stamps.before"
	(cd "$work/touch" && "$repopage" -c cache "$work/clone")
	(cd "$work/touch" && find . -type f -printf '%p|%i %T@\n' | sort) >"$work/stamps.after"
	touched=$(awk -F'|' 'NR == FNR { old[$1] = $2; next } old[$1] != $2 { print $1 }' \
		"$work/stamps.before" "$work/stamps.after" | grep -v '^./cache$' | sort | tr '\n' ' ')
	echo "pages replaced by that run: $(echo "$touched" | wc -w) of $(grep -c '\.html|\|\.xml|' \
		"$work/stamps.after"): $touched"
}

# The sums over the rows of log.html, in floor's format.
log_sums() {
	awk -F 'align="right">' '/^<tr><td>/ && NF == 4 && $3 ~ /^[+]/ {
		n++; a += substr($3, 2); d += substr($4, 2)
	} END { printf "commits %.0f added %.0f deleted %.0f\n", n, a, d }' "$1"
}

# key_rows REPO WHAT KEY...: a first render and a -c run after one commit
# with the repopage.KEY settings on, against the same runs with none, both
# on bare clones made alike; and the size of each site.
key_rows() {
	src=$1 what=$2
	shift 2
	echo "-- $what (repopage.$*) on, against none"
	for variant in plain rich; do
		rm -rf "$work/$variant" "$work/$variant-inc" "$work/$variant-inc.cache"
		git clone -q --bare "$src" "$work/$variant"
	done
	for key in "$@"; do
		git -C "$work/rich" config "repopage.$key" true
	done
	measure "none, first render" "$work/full" empty_full "$repopage" "$work/plain"
	plain_full=$cpu plain_full_wall=$wall
	plain_kb=$(du -sk "$work/full/" | cut -f 1)
	measure "$what, first render" "$work/full" empty_full "$repopage" "$work/rich"
	rich_full=$cpu rich_full_wall=$wall
	rich_kb=$(du -sk "$work/full/" | cut -f 1)
	for variant in plain rich; do
		mkdir "$work/$variant-inc"
		(cd "$work/$variant-inc" && "$repopage" -c cache "$work/$variant")
		cp "$work/$variant-inc/cache" "$work/$variant-inc.cache"
		add_commit "$work/$variant"
	done
	inc=plain-inc
	measure "none -c, 1 new commit" "$work/plain-inc" one_new_commit "$repopage" -c cache "$work/plain"
	plain_inc=$cpu
	inc=rich-inc
	measure "$what -c, 1 new commit" "$work/rich-inc" one_new_commit "$repopage" -c cache "$work/rich"
	rich_inc=$cpu
	inc=inc
	echo "$what/none     first render cpu $(ratio "$rich_full" "$plain_full")  -c cpu $(ratio "$rich_inc" "$plain_inc")"
	if [ "$what" = highlight ]; then
		# HEAD's files over the processor time the key adds to a first
		# render, and over the time it adds on the clock (the pages are
		# coloured on every processor): pages written, plain ones
		# (unknown languages, token soup) included.
		head_bytes=$(git -C "$src" ls-tree -r -l HEAD | awk '$2 == "blob" { s += $4 } END { print s + 0 }')
		echo "highlighting, end to end: $(mb_per_s "$head_bytes" "$rich_full" "$plain_full") MB/s of CPU," \
			"$(mb_per_s "$head_bytes" "$rich_full_wall" "$plain_full_wall") MB/s of wall, of HEAD's $head_bytes bytes"
	fi
	echo "site on disk       none ${plain_kb} KB  $what ${rich_kb} KB ($(ratio "$rich_kb" "$plain_kb")x)"
}

bench_repo() {
	repo=$(cd "$1" && pwd)
	name=$(basename "$repo")
	echo
	echo "== $repo ($(git -C "$repo" rev-list --count HEAD) commits from HEAD)"
	printf '%-28s %9s %9s %10s\n' "" "wall s" "cpu s" "peak MB"

	measure "repopage, 1 thread" "$work/full" empty_full env REPOPAGE_JOBS=1 "$repopage" "$repo"
	one_wall=$wall one_cpu=$cpu
	[ -z "${BASELINE:-}" ] ||
		measure "baseline, 1 thread" "$work/full" empty_full env REPOPAGE_JOBS=1 "$BASELINE" "$repo"
	measure "repopage, first render" "$work/full" empty_full "$repopage" "$repo"
	full_wall=$wall full_cpu=$cpu
	[ -z "${BASELINE:-}" ] ||
		measure "baseline, first render" "$work/full" empty_full "$BASELINE" "$repo"
	stdout_to=$work/floor.out
	measure "floor" "$work" nothing "$floor" "$repo"
	stdout_to=/dev/null
	floor_wall=$wall floor_cpu=$cpu
	measure "git log -p --stat" "$repo" nothing git log -p --stat --diff-merges=first-parent \
		-M100% -C100% --no-color
	git_wall=$wall git_cpu=$cpu
	measure "git log --numstat" "$repo" nothing git log --numstat --diff-merges=first-parent \
		-M100% -C100% --no-color

	rm -rf "$work/clone" "$work/inc"
	git clone -q --bare "$repo" "$work/clone"
	mkdir "$work/inc"
	(cd "$work/inc" && "$repopage" -c cache "$work/clone")
	cp "$work/inc/cache" "$work/inc.cache"
	rm -rf "$work/inc.base"
	cp -a "$work/inc" "$work/inc.base"
	add_commit "$work/clone"
	measure "repopage -c, 1 new commit" "$work/inc" one_new_commit "$repopage" -c cache "$work/clone"
	inc_wall=$wall inc_cpu=$cpu
	[ -z "${BASELINE:-}" ] ||
		measure "baseline -c, 1 new commit" "$work/inc" one_new_commit "$BASELINE" -c cache "$work/clone"
	pages_touched
	measure "repopage -c, no new commit" "$work/inc" nothing "$repopage" -c cache "$work/clone"

	floor_sums=$(cat "$work/floor.out")
	page_sums=$(log_sums "$work/full/log.html")
	if [ "$floor_sums" = "$page_sums" ]; then
		echo "check: OK ($floor_sums)"
	else
		echo "check: MISMATCH: floor says $floor_sums, log.html $page_sums"
	fi
	echo "render/floor       wall $(ratio "$full_wall" "$floor_wall")  cpu $(ratio "$full_cpu" "$floor_cpu")"
	echo "render/git         wall $(ratio "$full_wall" "$git_wall")  cpu $(ratio "$full_cpu" "$git_cpu")"
	echo "1 thread/git       wall $(ratio "$one_wall" "$git_wall")  cpu $(ratio "$one_cpu" "$git_cpu")"
	serial_share "$repo"
	echo "incremental/full   wall $(ratio "$inc_wall" "$full_wall")  cpu $(ratio "$inc_cpu" "$full_cpu")"
	[ "${BENCH_RICH:-1}" = 0 ] || key_rows "$repo" "rich pages" about raw patch tree
	[ "${BENCH_RICH:-1}" = 0 ] || key_rows "$repo" highlight highlight
}

# serial_share REPO: the walk's thread's share of the CPU of a first render
# on two threads, from perf's samples by thread (the walk's is the
# process's first): what no number of threads makes faster.
serial_share() {
	if ! command -v perf >/dev/null; then
		echo "serial share       n/a (no perf)"
		return
	fi
	empty_full
	(cd "$work/full" && REPOPAGE_JOBS=2 perf record -q -F 499 -o "$work/perf.data" "$repopage" "$1" \
		>/dev/null 2>&1) || { echo "serial share       n/a (perf record failed)"; return; }
	perf report -i "$work/perf.data" --sort pid --stdio 2>/dev/null | awk '
		/^ *[0-9.]+%/ { split($2, p, ":"); share[p[1] + 0] = $1 + 0 }
		END {
			first = -1
			for (t in share) if (first < 0 || t + 0 < first) first = t + 0
			if (first < 0) print "serial share       n/a"
			else printf "serial share       %.3f\n", share[first] / 100
		}'
	rm -f "$work/perf.data"
}

# side_by_side A B: peak MB of each row for histories A and B.
side_by_side() {
	echo
	echo "== peak MB by history size"
	awk -F '\t' -v a="$1" -v b="$2" '
		$1 == a { order[++n] = $2; ma[$2] = $3 }
		$1 == b { mb[$2] = $3 }
		END {
			printf "%-28s %14s %14s\n", "", a, b
			for (i = 1; i <= n; i++)
				printf "%-28s %14s %14s\n", order[i], ma[order[i]], mb[order[i]]
		}' "$work/rss"
}

rm -rf "$work"
mkdir -p "$work"
: >"$work/rss"
if [ $# -gt 0 ]; then
	for repo in "$@"; do
		bench_repo "$repo"
	done
else
	small=$(history 1000)
	large=$(history 10000)
	for repo in "$top" "$small" "$large"; do
		bench_repo "$repo"
	done
	side_by_side history-1000 history-10000
	[ -z "${BENCH_WIDE:-}" ] || bench_repo "$(history "$BENCH_WIDE" wide)"
	[ -z "${BENCH_LONG:-}" ] || bench_repo "$(history "$BENCH_LONG" wide)"
	[ -z "${BENCH_WIDE:-}" ] || [ -z "${BENCH_LONG:-}" ] ||
		side_by_side "history-$BENCH_WIDE-wide" "history-$BENCH_LONG-wide"
fi
if [ -x "$build/bench/hlspeed" ]; then
	echo
	echo "== highlight_spans alone, this repository's sources as C++: $("$build/bench/hlspeed" 2 "$top"/site/*.cpp)"
	libgit2_src=$top/.deps/src/tree/src
	[ ! -d "$libgit2_src" ] ||
		echo "== highlight_spans alone, libgit2's sources as C: $("$build/bench/hlspeed" 1 $(find "$libgit2_src" -name '*.c' | sort))"
fi
echo "== program size: $(stat -c %s "$repopage") bytes"
rm -rf "$work"/full.*
