# contrib/post-receive and contrib/render-all: pushes render into a web root,
# the index follows, two pushes take turns, a first build of a folder, the
# .gz kept beside the pages, and the settings and names they refuse.
. ./lib.sh

contrib="$here/../../contrib"
export WEBROOT="$SCRATCH/www" ASSETS="$here/../../assets" REPOPAGE REPOPAGE_INDEX
unset BASEURL REPOS LOCK_WAIT JOBS PRECOMPRESS 2>/dev/null

# Repositories are made without git's placeholder description, which the
# scripts warn about (checked on its own below).
mkdir -p template/hooks template/info
export GIT_TEMPLATE_DIR="$SCRATCH/template"

# bare NAME: an empty bare repository in git/ with the hook installed as a
# symbolic link, which finds webroot.sh beside the hook's real path.
bare() {
	git init -q --bare "git/$1" && git -C "git/$1" symbolic-ref HEAD refs/heads/master
	ln -s "$contrib/post-receive" "git/$1/hooks/post-receive"
}

# push CLONE: pushes master; leaves $status and the output in push.err.
push() {
	git -C "$1" push -q origin master >push.out 2>push.err
	status=$?
}

# hook REPO [VAR=VALUE...]: runs the hook in REPO by hand, as git would,
# with the settings given; leaves $status and the messages in
# $SCRATCH/stderr (for check_failure).
hook() {
	(cd "$1" && shift && env "$@" /bin/sh "$contrib/post-receive" </dev/null >hook.out 2>"$SCRATCH/stderr")
	status=$?
}

mkdir git www
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
check_eq "first push: refs listed for clones over plain HTTP" "$first	refs/heads/master" \
	"$(cat git/proj.git/info/refs)"

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

# PRECOMPRESS=1: beside every page and stylesheet a .gz that is what gzip
# -n -9 makes of it, with the page's mtime (a server sends it as the
# page's Last-Modified) and mode; at the root for index.html and style.css
# too (none for a page whose .gz would have too long a name).
# Never a .gz of a .gz, and no temporary file left.
check_gz() {
	what=$1
	shift
	checks=$((checks + 1))
	find "$@" -type f \( -name '*.html' -o -name '*.xml' -o -name '*.css' \) >pages.list
	[ -s pages.list ] || fail "$what: no pages in $*"
	while IFS= read -r page; do
		base=${page##*/}
		if [ "${#base}" -gt 252 ]; then
			continue
		elif ! gzip -n -9 -c "$page" | cmp -s - "$page.gz"; then
			fail "$what: $page.gz is not gzip -n -9 of its page"
		elif [ "$page" -nt "$page.gz" ] || [ "$page" -ot "$page.gz" ]; then
			fail "$what: $page.gz has another mtime than its page"
		elif [ "$(stat -c %a "$page")" != "$(stat -c %a "$page.gz")" ]; then
			fail "$what: $page.gz has another mode than its page"
		fi
	done <pages.list
}
commit_file work e.txt 'five
' 'fifth commit' 1700006000
PRECOMPRESS=1 push work
check_eq "gz: status" 0 "$status"
check_eq "gz: hook says nothing" "" "$(cat push.err)"
check_gz "gz: pages" www/proj
check_gz "gz: root" www -maxdepth 1
check_exists "gz: index" www/index.html.gz
check_eq "gz: no .gz of a .gz, no temporary file" "" "$(find www -name '*.gz.*')"

# Only the .gz of a page that changed is made again; the .gz of a page that
# is gone is removed.
fifth=$(git -C work rev-parse HEAD)
kept=$(stat -c %i "www/proj/commit/$fifth.html.gz")
touch -d @1600000000 "www/proj/commit/$first.html"
rm "www/proj/commit/$second.html"
commit_file work f.txt 'six
' 'sixth commit' 1700007000
PRECOMPRESS=1 push work
check_eq "gz again: status" 0 "$status"
check_eq "gz again: an unchanged page's .gz kept" "$kept" "$(stat -c %i "www/proj/commit/$fifth.html.gz")"
check_gz "gz again: changed pages" www/proj
check_missing "gz again: .gz of a page that is gone" "www/proj/commit/$second.html.gz"

# Without PRECOMPRESS the .gz go, or a server would send stale pages.
commit_file work g.txt 'seven
' 'seventh commit' 1700008000
push work
check_eq "gz off: status" 0 "$status"
check_eq "gz off: no .gz left" "" "$(find www -name '*.gz')"

# Temporary files that a run killed where nothing cleans up (SIGKILL, a
# power loss) left in the folder, and of the root's .gz, go before the
# next render, under the lock; names a page or a file of the site's own
# may have, and the other sites' files, stay.
leftovers="proj/log.html.AbC123 proj/atom.xml.000000 proj/commit/$first.html.Zz9Zz9
proj/file/.page.q1W2e3 proj/cache.AbCdEf123456 proj/log.html.gz.x1Y2z3 proj/style.css.gz.zzzzzz
index.html.gz.AbC123 style.css.gz.AbC123"
others="proj/file/notes.html.abcdef.html proj/cache.AbCdEf12345 proj/commit/cache.AbCdEf123456
proj/log.html.AbC12 proj/log.html.AbC1234 proj/log.html.AbC-12 proj/notes.txt.AbC123
other/log.html.AbC123 index.html.AbC123"
for f in $leftovers $others; do
	echo 'half a page' >"www/$f"
done
hook git/proj.git
check_success "leftovers"
for f in $leftovers; do
	check_missing "leftovers: $f removed" "www/$f"
done
for f in $others; do
	check_exists "leftovers: $f kept" "www/$f"
	rm -f "www/$f"
done

# With PRECOMPRESS=1 the .gz follow the pages also when the render fails
# after it replaced some (a commit it cannot read ends the log). A file
# page with a name too long for "<page>.gz.XXXXXX" gets its .gz all the
# same, and one too long for a .gz gets none, with no failure.
new_repo dmgwork
commit_file dmgwork a.txt 'a
' 'base' 1700000000
long245=$(printf '%0245d' 0 | tr 0 n)
long249=$(printf '%0249d' 0 | tr 0 n)
echo long >"dmgwork/$long245"
echo longer >"dmgwork/$long249"
git -C dmgwork add .
commit_all dmgwork 'long names' 1700000100
commit_file dmgwork a.txt 'b
' 'third' 1700000200
mkdir damaged dmgwww dmgall
git init -q --bare damaged/dmg.git
git -C damaged/dmg.git symbolic-ref HEAD refs/heads/master
git -C dmgwork push -q "$SCRATCH/damaged/dmg.git" master 2>/dev/null
hook damaged/dmg.git WEBROOT="$SCRATCH/dmgwww" PRECOMPRESS=1
check_success "long names"
check_gz "long names: pages" dmgwww/dmg
check_exists "long names: .gz of the 250-byte page" "dmgwww/dmg/file/$long245.html.gz"
check_eq "long names: no temporary file" "" "$(find dmgwww -name '*.gz.*' -o -name '.page.*')"
PRECOMPRESS=1 WEBROOT="$SCRATCH/dmgall" sh "$contrib/render-all" damaged >all.out 2>all.err
check_eq "render-all long names: status" 0 "$?"
check_eq "render-all long names: stderr" "" "$(cat all.err)"
check_gz "render-all long names: pages" dmgall/dmg
base=$(git -C dmgwork rev-list --max-parents=0 HEAD)
rm "damaged/dmg.git/objects/$(echo "$base" | cut -c 1-2)/$(echo "$base" | cut -c 3-)"
rm dmgwww/.dmg.cache dmgall/.dmg.cache
cp dmgwww/dmg/log.html log.before
hook damaged/dmg.git WEBROOT="$SCRATCH/dmgwww" PRECOMPRESS=1
check_eq "damaged: status" 1 "$status"
check_contains "damaged: named" "$SCRATCH/stderr" 'post-receive: rendering dmg failed'
checks=$((checks + 1))
! cmp -s log.before dmgwww/dmg/log.html || fail "damaged: the log was not rewritten"
check_gz "damaged: .gz of the pages written" dmgwww/dmg
PRECOMPRESS=1 WEBROOT="$SCRATCH/dmgall" sh "$contrib/render-all" damaged >all.out 2>all.err
check_eq "render-all damaged: status" 1 "$?"
check_contains "render-all damaged: named" all.err 'render-all: rendering dmg failed'
check_gz "render-all damaged: .gz of the pages written" dmgall/dmg

# A name that is markup or holds a blank, "%", "+" or a byte over 127 goes
# into the feeds' links percent-encoded as the index links it, and the
# feeds stay well-formed XML.
odd_name=$(printf 'a&b <c> 50%%+~\303\251')
encoded='a%26b%20%3Cc%3E%2050%25%2B~%C3%A9'
mkdir names namewww nameall
git init -q --bare "names/$odd_name.git"
git -C "names/$odd_name.git" symbolic-ref HEAD refs/heads/master
git -C work push -q "$SCRATCH/names/$odd_name.git" master 2>/dev/null
tip=$(git -C work rev-parse HEAD)
hook "names/$odd_name.git" WEBROOT="$SCRATCH/namewww" BASEURL=https://git.example.org/
check_success "odd name"
WEBROOT="$SCRATCH/nameall" BASEURL=https://git.example.org/ sh "$contrib/render-all" names >all.out 2>all.err
check_eq "render-all odd name: status" 0 "$?"
for root in namewww nameall; do
	check_contains "$root: feed link" "$root/$odd_name/atom.xml" \
		"href=\"https://git.example.org/$encoded/commit/$tip.html\""
	check_contains "$root: index link" "$root/index.html" "<a href=\"$encoded/log.html\">"
	for feed in atom.xml tags.xml; do
		checks=$((checks + 1))
		/usr/bin/python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
			"$root/$odd_name/$feed" 2>/dev/null || fail "$root: $feed is not well-formed"
	done
done

# Blanks in the folders of the repositories and of the web root, and in
# REPOPAGE_SHARE, where a copy of the hook finds webroot.sh.
mkdir 'more repos' 'share d'
git init -q --bare 'more repos/my proj.git'
cp "$contrib/post-receive" 'more repos/my proj.git/hooks/post-receive'
chmod +x 'more repos/my proj.git/hooks/post-receive'
git clone -q 'more repos/my proj.git' spaced 2>/dev/null
git -C spaced symbolic-ref HEAD refs/heads/master
commit_file spaced s.txt 's
' 'spaced commit' 1700005000
mkdir 'web root'
cp "$contrib/webroot.sh" 'share d/'
WEBROOT="$SCRATCH/web root" REPOPAGE_SHARE="$SCRATCH/share d" push spaced
check_eq "blanks: hook says nothing" "" "$(cat push.err)"
check_contains "blanks: rendered" 'web root/my proj/log.html' '>spaced commit</a>'
check_contains "blanks: index row" 'web root/index.html' '<a href="my%20proj/log.html">my proj</a>'

# render-all: a first build of the whole folder into a fresh web root, two
# at a time; the index lists both repositories.
mkdir fresh fresh2 fresh3
PRECOMPRESS=1 WEBROOT="$SCRATCH/fresh" JOBS=2 sh "$contrib/render-all" "$SCRATCH/git" >all.out 2>all.err
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
check_gz "render-all: pages" fresh/proj fresh/other
check_gz "render-all: root" fresh -maxdepth 1

# Run again over the same web root, render-all removes what a run killed
# there left, as the hook does, makes again only the .gz of a page that
# changed, and removes the .gz of a page that is gone; without PRECOMPRESS
# it removes them all.
leftovers="proj/log.html.AbC123 other/file/.page.q1W2e3 other/cache.AbCdEf123456 index.html.gz.AbC123"
for f in $leftovers; do
	echo 'half a page' >"fresh/$f"
done
kept=$(stat -c %i "fresh/proj/commit/$fifth.html.gz")
echo 'changed' >>"fresh/proj/commit/$first.html"
touch -d @1600000000 "fresh/proj/commit/$first.html" fresh/style.css
rm "fresh/proj/commit/$second.html"
PRECOMPRESS=1 WEBROOT="$SCRATCH/fresh" JOBS=2 sh "$contrib/render-all" "$SCRATCH/git" >all.out 2>all.err
check_eq "render-all again: status" 0 "$?"
for f in $leftovers; do
	check_missing "render-all again: $f removed" "fresh/$f"
done
check_eq "render-all again: an unchanged page's .gz kept" "$kept" "$(stat -c %i "fresh/proj/commit/$fifth.html.gz")"
check_gz "render-all again: changed pages" fresh/proj fresh/other
check_gz "render-all again: root" fresh -maxdepth 1
check_missing "render-all again: .gz of a page that is gone" "fresh/proj/commit/$second.html.gz"
WEBROOT="$SCRATCH/fresh" sh "$contrib/render-all" "$SCRATCH/git" >all.out 2>all.err
check_eq "render-all gz off: status" 0 "$?"
check_eq "render-all gz off: no .gz left" "" "$(find fresh -name '*.gz')"

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

# Settings that cannot work are refused, with status 1 and a message,
# before anything is written: a web root that does not exist or cannot be
# written, PRECOMPRESS without gzip, and a REPOPAGE_SHARE without
# webroot.sh (an installed one is not taken in its place).
hook git/proj.git WEBROOT="$SCRATCH/nowhere"
check_failure "no web root" "post-receive: no web root '$SCRATCH/nowhere' (make it first)"
check_missing "no web root: not made" nowhere
mkdir no-share
cp www/index.html index.before
hook git/proj.git REPOPAGE_SHARE="$SCRATCH/no-share"
check_failure "no webroot.sh" "post-receive: no webroot.sh in REPOPAGE_SHARE '$SCRATCH/no-share'"
check_files_eq "no webroot.sh: index kept" index.before www/index.html
REPOPAGE_SHARE="$SCRATCH/no-share" sh "$contrib/render-all" git >all.out 2>"$SCRATCH/stderr"
status=$?
check_failure "render-all: no webroot.sh" "render-all: no webroot.sh in REPOPAGE_SHARE '$SCRATCH/no-share'"
mkdir read-only
chmod 555 read-only
as_user=
if [ "$(id -u)" -eq 0 ]; then
	as_user="setpriv --reuid=65534 --regid=65534 --clear-groups"
fi
(cd git/proj.git && $as_user env WEBROOT="$SCRATCH/read-only" /bin/sh "$contrib/post-receive" \
	</dev/null >hook.out 2>"$SCRATCH/stderr")
status=$?
check_failure "web root not writable" "post-receive: web root '$SCRATCH/read-only' is not writable"
mkdir no-gzip
hook git/proj.git PATH="$SCRATCH/no-gzip" PRECOMPRESS=1
check_failure "no gzip" "post-receive: PRECOMPRESS=1 needs gzip, which is not on PATH"
PATH="$SCRATCH/no-gzip" PRECOMPRESS=1 WEBROOT="$SCRATCH/fresh" /bin/sh "$contrib/render-all" git \
	>all.out 2>"$SCRATCH/stderr"
status=$?
check_failure "render-all: no gzip" "render-all: PRECOMPRESS=1 needs gzip, which is not on PATH"
WEBROOT="$SCRATCH/nowhere" sh "$contrib/render-all" git >all.out 2>"$SCRATCH/stderr"
status=$?
check_failure "render-all: no web root" "render-all: no web root '$SCRATCH/nowhere' (make it first)"

# Repositories whose folder cannot be made: a hidden name (the cache files
# are hidden), the names of the web root's own files, and a name a file is
# in the way of. The hook renders nothing for them. The hook names a
# repository by its real path.
mkdir odd
odd=$(cd odd && pwd -P)
root_files="index.html style.css logo.png favicon.png robots.txt"
for n in .hidden $root_files inway good; do
	git init -q --bare "odd/$n.git"
	git -C "odd/$n.git" symbolic-ref HEAD refs/heads/master
	git -C work push -q "$SCRATCH/odd/$n.git" master 2>/dev/null
done
echo 'a file' >www/inway
echo 'User-agent: *' >www/robots.txt
cp -R www root.before
hook odd/.hidden.git
check_failure "hidden name" "post-receive: cannot make a folder name of '$odd/.hidden.git'"
check_missing "hidden name: no folder" www/.hidden
for n in $root_files; do
	hook "odd/$n.git"
	check_failure "name of a root file $n" "post-receive: cannot make a folder name of '$odd/$n.git'"
	check_files_eq "name of a root file $n: file kept" "root.before/$n" "www/$n"
done
rm www/robots.txt
hook odd/inway.git
check_failure "name in the way" "post-receive: '$WEBROOT/inway' is in the way of the folder for '$odd/inway.git'"
check_eq "name in the way: file kept" 'a file' "$(cat www/inway)"

# render-all goes on past the repositories that fail, those above (hidden
# ones it does not see) and one that cannot be opened, and still installs a
# whole index.
mkdir odd/broken.git fresh4
echo 'not a ref' >odd/broken.git/HEAD
echo 'a file' >fresh4/inway
echo '/* the root own */' >fresh4/style.css
WEBROOT="$SCRATCH/fresh4" sh "$contrib/render-all" odd >all.out 2>all.err
status=$?
check_eq "render-all odd: status" 1 "$status"
check_eq "render-all odd: the good one rendered" "render-all: good" "$(cat all.out)"
for n in $root_files; do
	check_contains "render-all odd: $n refused" all.err "render-all: cannot make a folder name of '$odd/$n.git', skipped"
	check_absent "render-all odd: no index row of $n" fresh4/index.html "href=\"$n/log.html\""
done
for message in "'$SCRATCH/fresh4/inway' is in the way of the folder for '$odd/inway.git', skipped" \
	"rendering broken failed"; do
	check_contains "render-all odd: says $message" all.err "render-all: $message"
done
check_contains "render-all odd: index row of the good one" fresh4/index.html '<a href="good/log.html">good</a>'
check_files_eq "render-all odd: the root's own style in the folder" fresh4/style.css fresh4/good/style.css
check_absent "render-all odd: no index row of a name in the way" fresh4/index.html 'href="inway/log.html"'
check_eq "render-all odd: index whole" '</html>' "$(tail -n 1 fresh4/index.html)"

# Names whose folder is not published: proj and proj.git would share
# proj/ (the hook refuses both, each naming the other), and x.git.git would
# get x.git/, which the samples take for a published repository. The index
# lists neither; REPOS without the other one, or with a repository twice,
# is no clash.
mkdir clash clashwww clashall
clash=$(cd clash && pwd -P)
for n in proj.git proj x.git.git fine.git; do
	git init -q --bare "clash/$n"
	git -C "clash/$n" symbolic-ref HEAD refs/heads/master
	git -C work push -q "$SCRATCH/clash/$n" master 2>/dev/null
done
hook clash/fine.git WEBROOT="$SCRATCH/clashwww"
check_success "clash: another repository"
check_contains "clash: index row of fine" clashwww/index.html '<a href="fine/log.html">fine</a>'
check_absent "clash: no index row of proj" clashwww/index.html 'href="proj/log.html"'
check_absent "clash: no index row of x.git" clashwww/index.html 'href="x.git/log.html"'
hook clash/proj.git WEBROOT="$SCRATCH/clashwww"
check_failure "clash: proj.git" "post-receive: '$clash/proj.git' shares the folder 'proj' with '$clash/proj'"
hook clash/proj WEBROOT="$SCRATCH/clashwww"
check_failure "clash: proj" "post-receive: '$clash/proj' shares the folder 'proj' with '$clash/proj.git'"
check_missing "clash: no folder" clashwww/proj
hook clash/x.git.git WEBROOT="$SCRATCH/clashwww"
check_failure "clash: x.git.git" "post-receive: cannot make a folder name of '$clash/x.git.git'"
check_missing "clash: no folder x.git" clashwww/x.git
hook clash/proj.git WEBROOT="$SCRATCH/clashwww" REPOS="$clash/proj.git $clash/fine.git $clash/../clash/proj.git"
check_success "clash: not in REPOS"
check_eq "clash: one index row for a repository listed twice" 1 \
	"$(grep -c 'href="proj/log.html"' clashwww/index.html)"
WEBROOT="$SCRATCH/clashall" sh "$contrib/render-all" clash >all.out 2>all.err
check_eq "render-all clash: status" 1 "$?"
check_eq "render-all clash: fine rendered" "render-all: fine" "$(cat all.out)"
for message in "'$clash/proj' shares the folder 'proj' with another repository, skipped" \
	"'$clash/proj.git' shares the folder 'proj' with another repository, skipped" \
	"cannot make a folder name of '$clash/x.git.git', skipped"; do
	check_contains "render-all clash: says $message" all.err "render-all: $message"
done
check_missing "render-all clash: no folder proj" clashall/proj
check_missing "render-all clash: no folder x.git" clashall/x.git
check_contains "render-all clash: index row of fine" clashall/index.html '<a href="fine/log.html">fine</a>'
check_absent "render-all clash: no index row of proj" clashall/index.html 'href="proj/log.html"'
check_absent "render-all clash: no index row of x.git" clashall/index.html 'href="x.git/log.html"'

# render-all with SSHLOGINFILE and without parallel, or with a file it
# cannot read, refuses before anything is written.
mkdir no-machines
SSHLOGINFILE="$SCRATCH/no-logins" WEBROOT="$SCRATCH/no-machines" sh "$contrib/render-all" git >all.out 2>"$SCRATCH/stderr"
status=$?
check_failure "render-all: no ssh login file" "render-all: cannot read SSHLOGINFILE '$SCRATCH/no-logins'"
PATH="$SCRATCH/no-gzip" SSHLOGINFILE=/dev/null WEBROOT="$SCRATCH/no-machines" /bin/sh "$contrib/render-all" git \
	>all.out 2>"$SCRATCH/stderr"
status=$?
check_failure "render-all: no parallel" "render-all: SSHLOGINFILE needs GNU parallel, which is not on PATH"
check_eq "render-all: nothing written before the machines are checked" "" "$(ls -A no-machines)"

# render-all over two machines: two logins to an sshd of this test's own on
# 127.0.0.1, whose sessions get the test's environment as machines set up
# alike would, and its umask, 022, where render-all runs under 027. From
# its folder, with a relative web root, the web root comes out as a run on
# one machine leaves it, modes and .gz included, both machines having
# rendered; the index is written once, here, under the lock, and a broken
# repository is reported as on one machine.
sshd=$(PATH=$PATH:/usr/sbin command -v sshd || true)
ssh_skipped=
sshd_pid=
stop_sshd() {
	[ -z "$sshd_pid" ] || { kill "$sshd_pid" 2>/dev/null; wait "$sshd_pid"; }
	sshd_pid=
}
trap stop_sshd EXIT
# start_sshd DIR: an sshd on a free port of 127.0.0.1, its keys and
# configuration in DIR, under a timeout that ends it should this family be
# killed; sets ssh_port and sshd_pid (the timeout's), or fails.
start_sshd() {
	[ -n "$sshd" ] || return 1
	mkdir -p "$1" || return 1
	timeout 30 ssh-keygen -q -t ed25519 -N '' -f "$1/host_key" || return 1
	timeout 30 ssh-keygen -q -t ed25519 -N '' -f "$1/key" || return 1
	cp "$1/key.pub" "$1/authorized_keys"
	# Root's sshd needs the folder that the package's own start-up makes.
	[ "$(id -u)" -ne 0 ] || [ -d /run/sshd ] || mkdir -m 755 /run/sshd
	for try in 1 2 3; do
		ssh_port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
		cat >"$1/sshd_config" <<-EOF
		ListenAddress 127.0.0.1
		Port $ssh_port
		HostKey $1/host_key
		AuthorizedKeysFile $1/authorized_keys
		PidFile $1/sshd.pid
		StrictModes no
		UsePAM no
		PermitRootLogin yes
		PasswordAuthentication no
		KbdInteractiveAuthentication no
		AcceptEnv *
		SetEnv "PATH=$PATH" "HOME=$HOME"
		EOF
		rm -f "$1/sshd.pid"
		(umask 022 && exec timeout 600 "$sshd" -D -f "$1/sshd_config" -E "$1/sshd.log") &
		sshd_pid=$!
		# The pid file is written once sshd listens.
		for wait in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
			[ ! -s "$1/sshd.pid" ] || return 0
			kill -0 "$sshd_pid" 2>/dev/null || break
			sleep 0.25
		done
		stop_sshd
	done
	return 1
}
if start_sshd "$SCRATCH/sshd"; then
	cat >ssh_config <<-EOF
	Host m1 m2
		HostName 127.0.0.1
		Port $ssh_port
		User $(id -un)
		IdentityFile $SCRATCH/sshd/key
		IdentitiesOnly yes
		StrictHostKeyChecking no
		UserKnownHostsFile /dev/null
		LogLevel ERROR
		BatchMode yes
		ConnectTimeout 20
		SendEnv TZ LC_* GIT_* XDG_* *SAN_OPTIONS REPOPAGE_JOBS
	EOF
	printf '1/ssh -F %s m1\n1/ssh -F %s m2\n' "$SCRATCH/ssh_config" "$SCRATCH/ssh_config" >logins
	mkdir machines 'one machine' 'two machines'
	for n in proj.git 'my proj.git' other.git; do
		git init -q --bare "machines/$n"
		git -C "machines/$n" symbolic-ref HEAD refs/heads/master
	done
	git -C work push -q "$SCRATCH/machines/proj.git" master 2>/dev/null
	git -C spaced push -q "$SCRATCH/machines/my proj.git" master 2>/dev/null
	git -C other push -q "$SCRATCH/machines/other.git" master 2>/dev/null
	mkdir machines/broken.git
	echo 'not a ref' >machines/broken.git/HEAD
	cat >index-wrap <<-EOF
	#!/bin/sh
	if flock -n "\$WEBROOT/.repopage.lock" true; then lock=free; else lock=held; fi
	echo "index, lock \$lock\${SSH_CONNECTION:+, over ssh}" >>"$SCRATCH/index.log"
	exec "$REPOPAGE_INDEX" "\$@"
	EOF
	chmod +x index-wrap
	for root in 'one machine' 'two machines'; do
		logins=
		[ "$root" = 'one machine' ] || logins="$SCRATCH/logins"
		(umask 027 && SSHLOGINFILE=$logins PARALLEL="--joblog $SCRATCH/jobs.log" WEBROOT=$root \
			PRECOMPRESS=1 REPOPAGE_INDEX="$SCRATCH/index-wrap" \
			timeout 120 sh "$contrib/render-all" machines >"$root.out" 2>"$root.err")
		echo "status $?" >>"$root.out"
		mv index.log "$root.index"
	done
	check_eq "machines: one machine's status and report" "render-all: my proj
render-all: other
render-all: proj
status 1" "$(sort 'one machine.out')"
	check_contains "machines: one machine names the broken one" 'one machine.err' "render-all: rendering broken failed"
	sort 'one machine.out' >one.sorted
	sort 'two machines.out' >two.sorted
	check_files_eq "machines: status and report as on one" one.sorted two.sorted
	check_files_eq "machines: broken one named as on one" 'one machine.err' 'two machines.err'
	checks=$((checks + 1))
	diff -r 'one machine' 'two machines' >machines.diff || { fail "machines: web roots differ"; head -n 20 machines.diff; }
	(cd 'one machine' && find . -printf '%m %p\n' | sort) >one.modes
	(cd 'two machines' && find . -printf '%m %p\n' | sort) >two.modes
	check_files_eq "machines: modes as on one" one.modes two.modes
	check_exists "machines: .gz of the pages" 'two machines/my proj/log.html.gz'
	check_eq "machines: both logins rendered" "ssh -F $SCRATCH/ssh_config m1
ssh -F $SCRATCH/ssh_config m2" "$(sed 1d jobs.log | cut -f 2 | sort -u)"
	check_eq "machines: index written once, here, under the lock" "index, lock held" "$(cat 'two machines.index')"
else
	ssh_skipped="no sshd in PATH or /usr/sbin"
	[ -z "$sshd" ] || ssh_skipped="$sshd does not start: $(tail -n 1 "$SCRATCH/sshd/sshd.log" 2>/dev/null)"
	echo "SKIP: render-all over two machines: $ssh_skipped"
fi
stop_sshd

# A push of main to a repository whose HEAD names master renders no
# commits: the hook tells the pusher, naming the branches and the command
# that publishes one, and ends as it would have; so does render-all, for a
# working tree too. git's placeholder description is named as well. Once
# HEAD names a branch and the description is written, they say nothing.
placeholder="Unnamed repository; edit this file 'description' to name the repository."
mkdir heads headswww headsall
heads=$(cd heads && pwd -P)
git init -q --bare heads/main.git
git -C heads/main.git symbolic-ref HEAD refs/heads/master
ln -s "$contrib/post-receive" heads/main.git/hooks/post-receive
echo "$placeholder" >heads/main.git/description
WEBROOT="$SCRATCH/headswww" git -C work push -q "$heads/main.git" master:main >push.out 2>push.err
check_eq "no branch of HEAD: push status" 0 "$?"
for message in "HEAD names refs/heads/master, which does not exist, so the site shows no commits and the index leaves it out; the branches are: main" \
	"publish it with: git -C $heads/main.git symbolic-ref HEAD refs/heads/main" \
	"'$heads/main.git/description' still holds git's placeholder, which every page and feed shows: write the project's description there"; do
	check_contains "no branch of HEAD: pusher told $message" push.err "remote: post-receive: $message"
done
git -C work push -q "$heads/main.git" master:dev 2>/dev/null
new_repo heads/wt
commit_file heads/wt w.txt 'w
' 'working tree' 1700000000
echo "$placeholder" >heads/wt/.git/description
hook heads/main.git WEBROOT="$SCRATCH/headswww"
check_eq "two branches, none of HEAD: status" 0 "$status"
check_eq "two branches, none of HEAD: said" "post-receive: HEAD names refs/heads/master, which does not exist, so the site shows no commits and the index leaves it out; the branches are: dev, main
post-receive: publish one with: git -C $heads/main.git symbolic-ref HEAD refs/heads/<branch>
post-receive: '$heads/main.git/description' still holds git's placeholder, which every page and feed shows: write the project's description there" \
	"$(cat "$SCRATCH/stderr")"
WEBROOT="$SCRATCH/headsall" sh "$contrib/render-all" heads >all.out 2>"$SCRATCH/stderr"
check_eq "render-all: no branch of HEAD: status" 0 "$?"
check_eq "render-all: no branch of HEAD: said" "render-all: HEAD names refs/heads/master, which does not exist, so the site shows no commits and the index leaves it out; the branches are: dev, main
render-all: publish one with: git -C $heads/main.git symbolic-ref HEAD refs/heads/<branch>
render-all: '$heads/main.git/description' still holds git's placeholder, which every page and feed shows: write the project's description there
render-all: '$heads/wt/.git/description' still holds git's placeholder, which every page and feed shows: write the project's description there" \
	"$(cat "$SCRATCH/stderr")"
git -C heads/main.git symbolic-ref HEAD refs/heads/main
echo 'The main line' >heads/main.git/description
echo 'A working tree' >heads/wt/.git/description
hook heads/main.git WEBROOT="$SCRATCH/headswww"
check_success "HEAD names a branch"
check_contains "HEAD names a branch: rendered" headswww/main/log.html '>first commit</a>'
WEBROOT="$SCRATCH/headsall" sh "$contrib/render-all" heads >all.out 2>"$SCRATCH/stderr"
status=$?
check_success "render-all: HEAD names a branch"

# An index that comes out cut short is not installed.
printf '#!/bin/sh\nprintf "<!DOCTYPE html>\\n<html>\\n<body>"\nexit 1\n' >cut-index
chmod +x cut-index
cp www/index.html index.before
hook git/proj.git REPOPAGE_INDEX="$SCRATCH/cut-index"
check_eq "index cut short: status" 1 "$status"
check_contains "index cut short: said" "$SCRATCH/stderr" 'post-receive: index.html left as it was'
check_files_eq "index cut short: index kept" index.before www/index.html
check_eq "index cut short: no temporary index" "" "$(ls -A www | grep '^\.index' || true)"

if [ -n "$ssh_skipped" ] && [ "$failures" -eq 0 ]; then
	echo "$checks checks, $failures failures; skipped: render-all over two machines ($ssh_skipped)"
	exit 77
fi
finish
