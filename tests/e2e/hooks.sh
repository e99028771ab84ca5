# contrib/post-receive and contrib/render-all: pushes render into a web root,
# the index follows, two pushes take turns, and a first build of a folder.
. ./lib.sh

contrib="$here/../../contrib"
export WEBROOT="$SCRATCH/www" ASSETS="$here/../../assets" REPOPAGE REPOPAGE_INDEX
unset BASEURL REPOS LOCK_WAIT JOBS 2>/dev/null

# bare NAME: an empty bare repository in git/ with the hook installed.
bare() {
	git init -q --bare "git/$1" && git -C "git/$1" symbolic-ref HEAD refs/heads/master
	cp "$contrib/post-receive" "git/$1/hooks/post-receive"
	chmod +x "git/$1/hooks/post-receive"
}

# push CLONE: pushes master; leaves $status and the output in push.err.
push() {
	git -C "$1" push -q origin master >push.out 2>push.err
	status=$?
}

mkdir git
bare proj.git
git clone -q git/proj.git work 2>/dev/null
git -C work symbolic-ref HEAD refs/heads/master
commit_file work a.txt 'one
' 'first commit' 1700000000
echo 'A project' >git/proj.git/description

# The first push renders the whole site, copies the sample assets into the
# root and the folder, and writes the index beside it.
push work
check_eq "first push: status" 0 "$status"
check_eq "first push: hook says nothing" "" "$(cat push.err)"
first=$(git -C work rev-parse HEAD)
check_contains "first push: log row" www/proj/log.html '>first commit</a>'
check_exists "first push: commit page" "www/proj/commit/$first.html"
check_exists "first push: file page" www/proj/file/a.txt.html
check_exists "first push: cache beside the folder" www/.proj.cache
check_eq "first push: cache names HEAD" "$first" "$(head -n 1 www/.proj.cache)"
for f in style.css logo.png favicon.png; do
	check_files_eq "first push: $f in the folder" "$ASSETS/$f" "www/proj/$f"
	check_files_eq "first push: $f in the root" "$ASSETS/$f" "www/$f"
done
check_contains "first push: index row" www/index.html '<a href="proj/log.html">proj</a></td><td>A project'
check_eq "first push: no temporary index left" "" "$(ls -A www | grep '^\.index' || true)"

# The second push adds the new commit; the page of the first is kept as it
# was, and a style of the site's own is not replaced.
cp "www/proj/commit/$first.html" first.html
echo '/* own */' >www/proj/style.css
commit_file work b.txt 'two
' 'second commit' 1700000500
push work
check_eq "second push: status" 0 "$status"
second=$(git -C work rev-parse HEAD)
check_contains "second push: new row" www/proj/log.html '>second commit</a>'
check_contains "second push: old row kept" www/proj/log.html '>first commit</a>'
check_exists "second push: new commit page" "www/proj/commit/$second.html"
check_files_eq "second push: first commit page untouched" first.html "www/proj/commit/$first.html"
check_eq "second push: cache names the new HEAD" "$second" "$(head -n 1 www/.proj.cache)"
check_eq "second push: own style kept" '/* own */' "$(cat www/proj/style.css)"
check_contains "second push: index date of the new HEAD" www/index.html '<td>2023-11-14 22:21</td>'

# A second repository beside the first joins the index; a folder of the
# repositories' folder that is no repository is left out without a failure.
mkdir git/notes
bare other.git
git clone -q git/other.git other 2>/dev/null
git -C other symbolic-ref HEAD refs/heads/master
commit_file other o.txt 'o
' 'other commit' 1700001000
push other
check_eq "second repository: status" 0 "$status"
check_contains "second repository: rendered" www/other/log.html '>other commit</a>'
check_contains "index lists both: proj" www/index.html '<a href="proj/log.html">proj</a>'
check_contains "index lists both: other" www/index.html '<a href="other/log.html">other</a>'

# REPOS narrows the index; BASEURL goes in front of the feeds' links with
# the folder's name and its "/".
commit_file other o.txt 'o2
' 'other again' 1700002000
REPOS="$SCRATCH/git/other.git" BASEURL='https://git.example.org/' push other
check_eq "REPOS: status" 0 "$status"
check_absent "REPOS: proj left out" www/index.html 'proj/log.html'
check_contains "BASEURL: feed link" www/other/atom.xml \
	"href=\"https://git.example.org/other/commit/$(git -C other rev-parse HEAD).html\""

# Pushes take turns: while the web root is locked, a hook waits and then
# gives up after LOCK_WAIT seconds, and nothing of the site changes.
commit_file work c.txt 'three
' 'third commit' 1700003000
cp www/proj/log.html log.before
flock www/.repopage.lock sh -c 'touch held; while [ ! -e release ]; do sleep 0.1; done' &
locker=$!
while [ ! -e held ]; do sleep 0.1; done
LOCK_WAIT=1 push work
touch release
wait "$locker"
check_contains "locked: hook gives up" push.err "post-receive: $WEBROOT is locked by another push for 1s, giving up"
check_files_eq "locked: log unchanged" log.before www/proj/log.html

# Two pushes at once both finish, and both land: the index is whole.
commit_file work d.txt 'four
' 'fourth commit' 1700004000
commit_file other o.txt 'o3
' 'other third' 1700004000
push work &
p1=$!
git -C other push -q origin master >push2.out 2>push2.err &
p2=$!
wait "$p1"; s1=$?
wait "$p2"; s2=$?
check_eq "together: first push" 0 "$s1"
check_eq "together: second push" 0 "$s2"
check_contains "together: proj rendered" www/proj/log.html '>fourth commit</a>'
check_contains "together: other rendered" www/other/log.html '>other third</a>'
check_contains "together: index has proj" www/index.html '<a href="proj/log.html">proj</a>'
check_contains "together: index has other" www/index.html '<a href="other/log.html">other</a>'
check_eq "together: index complete" '</html>' "$(tail -n 1 www/index.html)"
check_eq "together: no temporary files" "" "$(ls -A www www/proj www/other | grep -e '^\.index' -e '^cache\.' || true)"

# Blanks in the folders of the repositories and of the web root.
mkdir 'more repos'
git init -q --bare 'more repos/my proj.git'
cp "$contrib/post-receive" 'more repos/my proj.git/hooks/post-receive'
chmod +x 'more repos/my proj.git/hooks/post-receive'
git clone -q 'more repos/my proj.git' spaced 2>/dev/null
git -C spaced symbolic-ref HEAD refs/heads/master
commit_file spaced s.txt 's
' 'spaced commit' 1700005000
WEBROOT="$SCRATCH/web root" push spaced
check_eq "blanks: hook says nothing" "" "$(cat push.err)"
check_contains "blanks: rendered" 'web root/my proj/log.html' '>spaced commit</a>'
check_contains "blanks: index row" 'web root/index.html' '<a href="my%20proj/log.html">my proj</a>'

# render-all: a first build of the whole folder into a fresh web root, two
# at a time; the index lists both repositories.
WEBROOT="$SCRATCH/fresh" JOBS=2 sh "$contrib/render-all" "$SCRATCH/git" >all.out 2>all.err
status=$?
check_eq "render-all: status" 0 "$status"
check_eq "render-all: stderr" "" "$(cat all.err)"
check_eq "render-all: both reported" "render-all: other
render-all: proj" "$(sort all.out)"
for name in proj other; do
	check_files_eq "render-all: $name log as the hook wrote it" www/$name/log.html fresh/$name/log.html
	check_exists "render-all: $name cache" fresh/.$name.cache
	check_files_eq "render-all: $name style" "$ASSETS/style.css" fresh/$name/style.css
done
check_contains "render-all: index proj" fresh/index.html '<a href="proj/log.html">proj</a>'
check_contains "render-all: index other" fresh/index.html '<a href="other/log.html">other</a>'

# render-all: a folder without repositories, and a failing render.
mkdir empty
WEBROOT="$SCRATCH/fresh2" sh "$contrib/render-all" "$SCRATCH/empty" >all.out 2>all.err
status=$?
check_eq "render-all empty: status" 1 "$status"
check_eq "render-all empty: message" "render-all: no repository in '$SCRATCH/empty'" "$(cat all.err)"
REPOPAGE=false WEBROOT="$SCRATCH/fresh3" sh "$contrib/render-all" "$SCRATCH/git" >all.out 2>all.err
status=$?
check_eq "render-all failing: status" 1 "$status"
check_contains "render-all failing: named" all.err 'render-all: rendering proj failed'

finish
