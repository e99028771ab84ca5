# The driver and the page frame: the argument scan, the invocation name in
# messages, the repository names and metadata, the navigation links, an
# empty repository (whole pages against golden files) and the fatal paths.
. ./lib.sh

# usage_of NAME: the usage message as printed for invocation name NAME.
usage_of() {
	printf '%s [-c cachefile | -l commits] [-u baseurl] repodir\n' "$1"
}

# check_stderr WHAT TEXT: standard error of the last run is exactly TEXT
# (compared as bytes, so the final newline counts).
check_stderr() {
	printf '%s' "$2" >"$SCRATCH/expected"
	check_files_eq "$1: stderr" "$SCRATCH/expected" "$SCRATCH/stderr"
}

# check_empty_dir WHAT DIR: the run created nothing in DIR.
check_empty_dir() {
	check_eq "$1: files made" "" "$(ls -A "$2")"
}

# run_fresh ARGS...: runs in a new, empty directory $SCRATCH/run.
run_fresh() {
	rm -rf "$SCRATCH/run"
	run_site "$SCRATCH/run" "$@"
}

# usage_case WHAT ARGS...: the usage message, status 1, no file written.
usage_case() {
	what=$1
	shift
	run_fresh "$@"
	check_eq "$what: status" 1 "$status"
	check_stderr "$what" "$(usage_of "$REPOPAGE")
"
	check_eq "$what: stdout" "" "$(cat "$SCRATCH/stdout")"
	check_empty_dir "$what" "$SCRATCH/run"
}

# ok_case WHAT ARGS...: a complete run, status 0 and nothing on stderr.
ok_case() {
	what=$1
	shift
	run_fresh "$@"
	check_eq "$what: status" 0 "$status"
	check_eq "$what: stderr" "" "$(cat "$SCRATCH/stderr")"
	check_exists "$what" "$SCRATCH/run/tags.xml"
}

# rows DIR: the number of commit rows in DIR/log.html.
rows() {
	grep -c '^<tr><td>2023-' "$1/log.html"
}

# A history of six commits for the scan cases that must succeed.
H=$SCRATCH/hist
new_repo "$H"
for n in 1 2 3 4 5 6; do
	commit_file "$H" "f$n" "$n
" "change $n" $((1700000000 + n))
done
printf 'History\n' >"$H/.git/description"
head_id=$(git -C "$H" rev-parse HEAD)

# --- Argument scan: what is refused ---

usage_case "no arguments"
usage_case "only options" -u https://h.example/ -l 2
usage_case "two repodirs" "$H" "$SCRATCH/other"
usage_case "the same repodir twice" "$H" "$H"
usage_case "-l 0" -l 0 "$H"
usage_case "-l -5" -l -5 "$H"
usage_case "-l 5x" -l 5x "$H"
usage_case "-l empty" -l "" "$H"
usage_case "-l beyond 64 bits" -l 99999999999999999999 "$H"
usage_case "-l then -c" -l 2 "$H" -c "$SCRATCH/cache"
usage_case "-c then -l" -c "$SCRATCH/cache" -l 2 "$H"
usage_case "-u last" "$H" -u
usage_case "-c last" "$H" -c
usage_case "-l last" "$H" -l
usage_case "a lone - is no repodir" -
check_missing "-l then -c: cache" "$SCRATCH/cache"

# REPOPAGE_JOBS, the number of threads: digits only, at least 1.
for jobs in 0 00 -1 +2 1.5 ' 2' 2x abc ''; do
	rm -rf "$SCRATCH/run"
	mkdir -p "$SCRATCH/run"
	(cd "$SCRATCH/run" && REPOPAGE_JOBS="$jobs" "$REPOPAGE" "$H" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	check_eq "REPOPAGE_JOBS='$jobs': status" 1 "$?"
	check_stderr "REPOPAGE_JOBS='$jobs'" "$REPOPAGE: REPOPAGE_JOBS must be a positive decimal number, not '$jobs'
"
	check_empty_dir "REPOPAGE_JOBS='$jobs'" "$SCRATCH/run"
done
# The repopage.* keys: git booleans of the repository's own configuration;
# anything else stops the run before a file is written.
for value in maybe 2x 'on off'; do
	git -C "$H" config repopage.tree "$value"
	rm -rf "$SCRATCH/run"
	mkdir -p "$SCRATCH/run"
	(cd "$SCRATCH/run" && "$REPOPAGE" "$H" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	check_eq "repopage.tree='$value': status" 1 "$?"
	check_stderr "repopage.tree='$value'" "$REPOPAGE: repopage.tree must be a boolean, not '$value'
"
	check_empty_dir "repopage.tree='$value'" "$SCRATCH/run"
done
git -C "$H" config --unset repopage.tree
for jobs in 1 7 0300 99999999999999999999; do
	(export REPOPAGE_JOBS="$jobs" && run_fresh "$H" && [ "$status" -eq 0 ] && [ ! -s "$SCRATCH/stderr" ])
	check_eq "REPOPAGE_JOBS=$jobs: a run" 0 "$?"
done

# --- Argument scan: what is accepted ---

ok_case "-l +5" -l +5 "$H"
check_eq "-l +5: rows" 5 "$(rows "$SCRATCH/run")"
check_contains "-l +5: remainder" "$SCRATCH/run/log.html" \
	'<tr><td></td><td colspan="5">1 more commits remaining, fetch the repository</td></tr>'
ok_case "-l ' 5'" -l " 5" "$H"
check_eq "-l ' 5': rows" 5 "$(rows "$SCRATCH/run")"
ok_case "-l largest 64-bit value" -l 9223372036854775807 "$H"
check_eq "-l largest: rows" 6 "$(rows "$SCRATCH/run")"
ok_case "-lfoo acts as -l" -lfoo 3 "$H"
check_eq "-lfoo 3: rows" 3 "$(rows "$SCRATCH/run")"
ok_case "option after repodir" "$H" -l 2 -u https://h.example/
check_eq "option after repodir: rows" 2 "$(rows "$SCRATCH/run")"
check_contains "option after repodir: baseurl" "$SCRATCH/run/atom.xml" \
	"href=\"https://h.example/commit/$head_id.html\""
ok_case "repeated -l, the last counts" -l 1 -l 4 "$H"
check_eq "repeated -l: rows" 4 "$(rows "$SCRATCH/run")"
ok_case "-x is skipped" -x "$H"
check_eq "-x: rows" 6 "$(rows "$SCRATCH/run")"
ok_case "lone - is skipped" - "$H"
ok_case "-- is skipped" -- "$H"
ok_case "-u takes a value that looks like an option" -u -l "$H"
check_contains "-u -l: baseurl" "$SCRATCH/run/atom.xml" "href=\"-lcommit/$head_id.html\""

ok_case "two -c" -c "$SCRATCH/c1" -c "$SCRATCH/c2" "$H"
check_missing "two -c: first path" "$SCRATCH/c1"
check_eq "two -c: second path holds HEAD" "$head_id" "$(head -n 1 "$SCRATCH/c2")"
check_eq "two -c: no temporary left" "" "$(ls "$SCRATCH/run" | grep '^cache\.')"

# --- The invocation name: as invoked in usage and "cannot open", its last
# component in the fatal messages ---

mkdir -p "$SCRATCH/bin" "$SCRATCH/plain"
ln -s "$REPOPAGE" "$SCRATCH/bin/rp"
run_named() {
	rm -rf "$SCRATCH/run"
	mkdir -p "$SCRATCH/run"
	(cd "$SCRATCH/run" && "$@" >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
	status=$?
}
run_named ../bin/rp -l 0 ../hist
check_eq "symlink usage: status" 1 "$status"
check_stderr "symlink usage" "$(usage_of ../bin/rp)
"
run_named ../bin/rp ../plain
check_eq "symlink cannot open: status" 1 "$status"
check_stderr "symlink cannot open" "../bin/rp: cannot open repository
"
check_empty_dir "symlink cannot open" "$SCRATCH/run"
run_named ../bin/rp ""
check_eq "symlink realpath: status" 1 "$status"
check_stderr "symlink realpath" "rp: realpath: No such file or directory
"
check_empty_dir "symlink realpath" "$SCRATCH/run"
mkdir -p "$SCRATCH/run"
relative=$(realpath --relative-to="$SCRATCH/run" "$REPOPAGE")
run_named "$relative"
check_eq "relative usage: status" 1 "$status"
check_stderr "relative usage" "$(usage_of "$relative")
"
check_empty_dir "relative usage" "$SCRATCH/run"

# --- Fatal paths before any page ---

run_fresh ""
check_eq "empty repodir: status" 1 "$status"
check_stderr "empty repodir" "repopage: realpath: No such file or directory
"
check_empty_dir "empty repodir" "$SCRATCH/run"

run_fresh "$SCRATCH/plain"
check_eq "not a repository: status" 1 "$status"
check_stderr "not a repository" "$REPOPAGE: cannot open repository
"
check_empty_dir "not a repository" "$SCRATCH/run"

# No upward search: a subdirectory of a working tree is no repository.
mkdir -p "$H/sub"
run_fresh "$H/sub"
check_eq "subdirectory of a work tree: status" 1 "$status"
check_stderr "subdirectory of a work tree" "$REPOPAGE: cannot open repository
"
rmdir "$H/sub"

# A "description" that is a directory cannot be read; the trailing "/" of
# repodir is not doubled in the path shown.
new_repo "$SCRATCH/bad"
mkdir "$SCRATCH/bad/description"
run_fresh "$SCRATCH/bad/"
check_eq "description directory: status" 1 "$status"
check_stderr "description directory" "repopage: read error: $SCRATCH/bad/description
"
check_empty_dir "description directory" "$SCRATCH/run"

# --- Names and metadata ---

# A work tree named "meta.git": README is a directory beside README.md, no
# LICENSE but LICENSE.md and COPYING, a .gitmodules; description and url in
# the work tree take precedence over .git/description.
M=$SCRATCH/meta.git
new_repo "$M"
mkdir -p "$M/README"
printf 'inner\n' >"$M/README/inner.txt"
printf 'readme\n' >"$M/README.md"
printf 'license\n' >"$M/LICENSE.md"
printf 'copying\n' >"$M/COPYING"
printf '[submodule "x"]\n' >"$M/.gitmodules"
git -C "$M" add README README.md LICENSE.md COPYING .gitmodules
commit_all "$M" "probes"
printf 'Top desc\nsecond line\n' >"$M/description"
printf 'From dotgit\n' >"$M/.git/description"
printf 'https://example.org/m\r\n' >"$M/url"

nav=' | <a href="file/.gitmodules.html">Submodules</a> | <a href="file/README.md.html">README</a> | <a href="file/LICENSE.md.html">LICENSE</a></td></tr></table>'
cr=$(printf '\r')
for dir in "$M" "$M/"; do
	ok_case "work tree $dir" "$dir"
	P=$SCRATCH/run/log.html
	check_contains "$dir: title" "$P" '<title>Log - meta - Top desc'
	check_contains "$dir: description ends the title" "$P" 'Top desc
</title>'
	check_contains "$dir: description ends the span" "$P" '<span class="desc">Top desc
</span>'
	check_absent "$dir: only the first line" "$P" 'second line'
	check_contains "$dir: heading" "$P" '<h1>meta</h1>'
	check_contains "$dir: feed link" "$P" 'title="meta.git Atom Feed" href="atom.xml" />'
	check_contains "$dir: tags feed link" "$P" 'title="meta.git Atom Feed (tags)" href="tags.xml" />'
	check_contains "$dir: url row keeps the CR" "$P" \
		"<tr class=\"url\"><td></td><td>git clone <a href=\"https://example.org/m$cr\">https://example.org/m$cr</a></td></tr>"
	check_contains "$dir: navigation" "$P" "<a href=\"refs.html\">Refs</a>$nav"
	check_contains "$dir: files page navigation" "$SCRATCH/run/files.html" "$nav"
	check_contains "$dir: refs page navigation" "$SCRATCH/run/refs.html" "$nav"
done
for f in README.md LICENSE.md .gitmodules; do
	check_exists "linked page $f" "$SCRATCH/run/file/$f.html"
done

# Plain LICENSE and README files win over the other names.
N=$SCRATCH/plainnames
new_repo "$N"
printf 'l\n' >"$N/LICENSE"
printf 'r\n' >"$N/README"
cp "$M/COPYING" "$M/README.md" "$M/LICENSE.md" "$N/"
git -C "$N" add . && commit_all "$N" "names"
ok_case "LICENSE and README first" "$N"
check_contains "first names" "$SCRATCH/run/log.html" \
	'<a href="refs.html">Refs</a> | <a href="file/README.html">README</a> | <a href="file/LICENSE.html">LICENSE</a></td>'

# The ".git" directory itself: no short name, the description found there
# directly, and no url (the work tree's url is not looked at).
ok_case "the .git directory" "$M/.git"
P=$SCRATCH/run/log.html
check_contains ".git: title" "$P" '<title>Log - From dotgit
</title>'
check_contains ".git: empty heading" "$P" '<h1></h1><span class="desc">From dotgit
</span></td></tr><tr><td></td><td>
<a href="log.html">'
check_contains ".git: feed link" "$P" 'title=".git Atom Feed" href="atom.xml" />'
check_absent ".git: no url row" "$P" '<tr class="url">'
check_contains ".git: navigation" "$P" "$nav"

# Description files read from empty bare repositories: no final newline, a
# first line of 300 bytes, an empty file, and a name whose last suffix is
# not ".git".
desc_case() {
	git init -q --bare "$SCRATCH/$1"
	printf '%s' "$2" >"$SCRATCH/$1/description"
	ok_case "description $1" "$SCRATCH/$1"
}
desc_case dn.git 'No newline'
check_contains "no newline: title" "$SCRATCH/run/log.html" '<title>Log - dn - No newline</title>'
check_contains "no newline: span" "$SCRATCH/run/log.html" '<span class="desc">No newline</span>'

x254=$(printf '%254s' '' | tr ' ' x)
y46=$(printf '%46s' '' | tr ' ' y)
desc_case long.git "$x254$y46
"
check_contains "long line: title" "$SCRATCH/run/log.html" "<title>Log - long - $x254</title>"
check_contains "long line: span" "$SCRATCH/run/log.html" "<span class=\"desc\">$x254</span>"

desc_case de.git ''
check_contains "empty description: title" "$SCRATCH/run/log.html" '<title>Log - de</title>'
check_contains "empty description: span" "$SCRATCH/run/log.html" '<span class="desc"></span>'

desc_case v.git.old 'Old'
check_contains "other suffix: heading" "$SCRATCH/run/log.html" '<h1>v.git.old</h1>'

# The work tree without a description of its own falls back on .git's.
ok_case "fallback description" "$H"
check_contains "fallback description" "$SCRATCH/run/log.html" '<span class="desc">History
</span>'

# --- An empty repository: whole pages against the golden files ---

E=$SCRATCH/proj.git
git init -q --bare "$E"
printf "A <demo> & 'test'\n" >"$E/description"
printf 'https://example.org/proj.git\n' >"$E/url"
ok_case "empty repository" "$E"
for f in log.html files.html refs.html atom.xml tags.xml; do
	check_exists "empty repository" "$SCRATCH/run/$f"
done
check_exists "empty repository: commit directory" "$SCRATCH/run/commit"
check_files_eq "empty log.html" "$GOLDEN/driver-empty-log.html" "$SCRATCH/run/log.html"
check_files_eq "empty files.html" "$GOLDEN/driver-empty-files.html" "$SCRATCH/run/files.html"
check_contains "empty refs.html: title" "$SCRATCH/run/refs.html" "<title>Refs - proj - A &lt;demo&gt;"

# With -c and no HEAD the cache is neither made, nor read, nor replaced.
ok_case "empty repository with -c" -c "$SCRATCH/ecache" "$E"
check_missing "empty -c: cache" "$SCRATCH/ecache"
check_eq "empty -c: no temporary" "" "$(ls "$SCRATCH/run" | grep '^cache\.')"
printf 'not a cache\n' >"$SCRATCH/ecache"
ok_case "empty repository with an old cache" -c "$SCRATCH/ecache" "$E"
check_eq "empty -c: old cache untouched" "not a cache" "$(cat "$SCRATCH/ecache")"

# --- Progress, when standard error is a terminal ---

# on_terminal OUTDIR ARGS...: run_site with standard error on a
# pseudo-terminal; $SCRATCH/terminal gets the bytes it received, and
# $SCRATCH/screen the lines it shows at the end ("\r" and erase to the end
# of the line applied, a last empty line left out).
on_terminal() {
	out=$1
	shift
	mkdir -p "$out"
	(cd "$out" && timeout 60 /usr/bin/python3 -c '
import os, pty, subprocess, sys
master, slave = pty.openpty()
child = subprocess.Popen(sys.argv[3:], stdin=subprocess.DEVNULL, stdout=open(sys.argv[1], "wb"), stderr=slave)
os.close(slave)
received = b""
while True:
    try:
        chunk = os.read(master, 65536)
    except OSError:
        break
    if not chunk:
        break
    received += chunk
status = child.wait()
open(sys.argv[2] + "/terminal", "wb").write(received)
lines, line, column, i = [], b"", 0, 0
while i < len(received):
    if received.startswith(b"\x1b[K", i):
        line, i = line[:column], i + 3
        continue
    byte, i = received[i:i + 1], i + 1
    if byte == b"\r":
        column = 0
    elif byte == b"\n":
        lines.append(line)
        line, column = b"", 0
    else:
        line = line[:column] + byte + line[column + 1:]
        column += 1
if line:
    lines.append(line)
open(sys.argv[2] + "/screen", "wb").write(b"".join(l + b"\n" for l in lines))
sys.exit(status)
' "$SCRATCH/stdout" "$SCRATCH" "$REPOPAGE" "$@")
	status=$?
}

# last_progress: the last progress line drawn, its rate left out (it
# depends on the clock).
last_progress() {
	tr '\r' '\n' <"$SCRATCH/terminal" | grep '^commits' | tail -n 1 |
		sed 's/ ([0-9.]*\/s)//; s/\x1b\[K$//'
}

# check_same_pages WHAT REFERENCE DIR: both runs wrote the same files.
check_same_pages() {
	checks=$((checks + 1))
	if ! diff -r "$2" "$3" >"$SCRATCH/diff.out" 2>&1; then
		fail "$1: $3 differs from $2"
		head -n 20 "$SCRATCH/diff.out"
	fi
}

rm -rf "$SCRATCH/plain" "$SCRATCH/shown"
run_site "$SCRATCH/plain" "$H"
check_success "progress: without a terminal"
on_terminal "$SCRATCH/shown" "$H"
check_eq "progress: status" 0 "$status"
check_eq "progress: final state" "commits: 6/6, files: 6/6" "$(last_progress)"
check_eq "progress: cleared at the end" "" "$(cat "$SCRATCH/screen")"
check_eq "progress: stdout" "" "$(cat "$SCRATCH/stdout")"
check_same_pages "progress: pages" "$SCRATCH/plain" "$SCRATCH/shown"

rm -rf "$SCRATCH/shown"
REPOPAGE_PROGRESS=0 on_terminal "$SCRATCH/shown" "$H"
check_eq "REPOPAGE_PROGRESS=0: status" 0 "$status"
check_eq "REPOPAGE_PROGRESS=0: nothing on the terminal" 0 "$(wc -c <"$SCRATCH/terminal")"

# With -c: the whole history at first, then only the commits listed as new.
rm -rf "$SCRATCH/shown" "$SCRATCH/pcache"
on_terminal "$SCRATCH/shown" -c "$SCRATCH/pcache" "$H"
check_eq "progress -c, first: final state" "commits: 6/6, files: 6/6" "$(last_progress)"
P=$SCRATCH/phist
git clone -q "$H" "$P"
commit_file "$P" f7 '7
' "change 7" 1700000007
commit_file "$P" f8 '8
' "change 8" 1700000008
on_terminal "$SCRATCH/shown" -c "$SCRATCH/pcache" "$P"
check_eq "progress -c, new commits: final state" "commits: 2/2, files: 8/8" "$(last_progress)"
# A rewritten history is walked until the cached commit, which it never
# meets: no total.
git -C "$P" commit -q --amend -m "change 8, amended"
on_terminal "$SCRATCH/shown" -c "$SCRATCH/pcache" "$P"
check_eq "progress -c, rewritten: final state" "commits: 8, files: 8/8" "$(last_progress)"

# A fatal error after the progress line: the message alone on the screen.
rm -rf "$SCRATCH/shown"
mkdir -p "$SCRATCH/shown"
: >"$SCRATCH/shown/file"
on_terminal "$SCRATCH/shown" "$H"
check_eq "progress, then an error: status" 1 "$status"
check_eq "progress, then an error: progress shown" "commits: 6/6, files: 0/6" "$(last_progress)"
check_eq "progress, then an error: screen" "repopage: fopen: 'file/f1.html': Not a directory" \
	"$(cat "$SCRATCH/screen")"

finish
