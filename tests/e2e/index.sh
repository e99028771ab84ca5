# repopage-index: the page of several repositories on standard output, its
# names, metadata files, dates and failures.
. ./lib.sh

# run_index ARGS...: runs repopage-index; leaves $status, out and err.
run_index() {
	"$REPOPAGE_INDEX" "$@" >out 2>err
	status=$?
}

# rows: the rows of the last page, without the head and the closing.
rows() {
	tail -n +20 out | head -n -4 | sed 's,</tbody>$,,'
}

# The head of every page is that of the page without rows.
head -n 19 "$GOLDEN/index-empty.html" >page_head

# proj.git: description in the directory and in .git (the first wins), the
# owner only in .git; the author date lies years before the committer date.
new_repo proj.git
commit_file proj.git a.txt 'a
' 'first' 1600000000
printf 'Main <proj> & "co"\nsecond line\n' >proj.git/description
echo 'ignored' >proj.git/.git/description
echo "Ann O'Neil" >proj.git/.git/owner
# "my proj": no metadata at all.
new_repo 'my proj'
rm -f 'my proj/.git/description'
commit_file 'my proj' a.txt 'a
' 'first'
# proj.git.old: description in .git without a line end, owner in the directory.
new_repo proj.git.old
commit_file proj.git.old a.txt 'a
' 'first'
printf 'old copy' >proj.git.old/.git/description
echo 'Bob & Co' >proj.git.old/owner
echo 'not me' >proj.git.old/.git/owner

# The whole page; the repository without metadata shows nothing of the one
# before it.
run_index proj.git 'my proj' proj.git.old
check_eq "page: status" 0 "$status"
check_eq "page: stderr" "" "$(cat err)"
check_files_eq "page" "$GOLDEN/index-page.html" out
check_contains "page: author date, not committer date" out '<td>2020-09-13 12:26</td>'

# A symbolic link is listed under the name of the directory it points at.
ln -s proj.git alias
run_index alias
check_eq "alias: status" 0 "$status"
check_eq "alias: listed as proj" '<tr><td><a href="proj/log.html">proj</a></td><td>Main &lt;proj&gt; &amp; &quot;co&quot;
</td><td>Ann O&#39;Neil</td><td>2020-09-13 12:26</td></tr>' "$(rows)"
row='<tr><td><a href="proj.git.old/log.html">proj.git.old</a></td><td>old copy</td><td>Bob &amp; Co</td><td>2023-11-14 22:13</td></tr>'

# The same repository twice: two identical rows on one line, and the closing
# follows the last row directly.
run_index proj.git.old proj.git.old
check_eq "twice: status" 0 "$status"
check_eq "twice: rows and closing on one line" "$row$row</tbody>" "$(sed -n 20p out)"

# No argument: the usage line under the name as invoked, nothing on stdout.
run_index
check_eq "no argument: status" 1 "$status"
check_eq "no argument: usage" "$REPOPAGE_INDEX [repodir...]" "$(cat err)"
check_eq "no argument: stdout" 0 "$(wc -c <out)"
ln -s "$REPOPAGE_INDEX" ri
./ri >out 2>err
check_eq "no argument: usage as invoked" "./ri [repodir...]" "$(cat err)"

# A directory that is no repository: no row, a message, status 1 at the end
# while the other arguments still get their rows.
mkdir plain
run_index plain
check_eq "no repository: status" 1 "$status"
check_eq "no repository: message" "$REPOPAGE_INDEX: cannot open repository" "$(cat err)"
check_files_eq "no repository: page without rows" "$GOLDEN/index-empty.html" out
run_index plain proj.git.old plain
check_eq "no repository, then one: status" 1 "$status"
check_eq "no repository, then one: row" "$row" "$(rows)"
check_eq "no repository, then one: two messages" 2 "$(grep -c 'cannot open repository$' err)"

# A repository without commits: no row, no message, status unchanged.
new_repo empty
run_index empty
check_eq "no commits: status" 0 "$status"
check_eq "no commits: stderr" "" "$(cat err)"
check_files_eq "no commits: page without rows" "$GOLDEN/index-empty.html" out

# A path that does not exist ends the run there; the rows before it stay.
run_index proj.git.old missing proj.git
check_eq "missing path: status" 1 "$status"
check_eq "missing path: message" "repopage-index: realpath: No such file or directory" "$(cat err)"
{ cat page_head; printf '%s' "$row"; } >expected
check_files_eq "missing path: head and earlier rows" expected out

# real_path_overflow: a real path longer than 1023 bytes, reached through a
# short argument, once overran the real-path buffer.
deep=$(printf '%0200d' 0 | tr 0 d)
deep=$deep/$deep/$deep/$deep/$deep/$deep
mkdir -p "$deep"
new_repo "$deep/r"
commit_file "$deep/r" a.txt 'a
' 'first'
rm -f "$deep/r/.git/description"
(cd "$deep" && "$REPOPAGE_INDEX" r >"$SCRATCH/out" 2>"$SCRATCH/err")
check_eq "deep real path: status" 0 "$?"
check_eq "deep real path: row" \
	'<tr><td><a href="r/log.html">r</a></td><td></td><td></td><td>2023-11-14 22:13</td></tr>' "$(rows)"

# First lines longer than the 254 bytes of the buffers are cut.
new_repo long
commit_file long a.txt 'a
' 'first'
a300=$(printf '%0300d' 0 | tr 0 a)
a254=$(printf '%0254d' 0 | tr 0 a)
b300=$(printf '%0300d' 0 | tr 0 b)
b254=$(printf '%0254d' 0 | tr 0 b)
printf '%s\n' "$a300" >long/description
printf '%s\n' "$b300" >long/.git/owner
run_index long
check_eq "long lines: cut to 254 bytes" \
	"<tr><td><a href=\"long/log.html\">long</a></td><td>$a254</td><td>$b254</td><td>2023-11-14 22:13</td></tr>" \
	"$(rows)"

# A metadata file that opens but cannot be read is fatal under its bare
# name, also when it is the one in .git.
new_repo dirdesc
commit_file dirdesc a.txt 'a
' 'first'
rm -f dirdesc/.git/description
mkdir dirdesc/description
run_index dirdesc
check_eq "description a directory: status" 1 "$status"
check_eq "description a directory: message" "repopage-index: read error: description" "$(cat err)"
rmdir dirdesc/description
mkdir dirdesc/.git/description
run_index dirdesc
check_eq "description in .git a directory" "repopage-index: read error: description" "$(cat err)"
rmdir dirdesc/.git/description
mkdir dirdesc/.git/owner
run_index dirdesc
check_eq "owner a directory: status" 1 "$status"
check_eq "owner a directory: message" "repopage-index: read error: owner" "$(cat err)"

# A full standard output is found at the end and is fatal.
"$REPOPAGE_INDEX" proj.git >/dev/full 2>err
status=$?
check_eq "full stdout: status" 1 "$status"
check_eq "full stdout: message" "repopage-index: write error: <stdout>" "$(cat err)"

finish
