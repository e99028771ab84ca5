# webroot.sh: the shell that post-receive and render-all share, read by
# both with "." (it is not run by itself): the defaults of their settings,
# the folder a repository gets, the .gz beside the pages, the temporary
# files a killed run left, the sample assets, the warnings about HEAD and
# the description, a render and the index.
#
# Each script looks for it in REPOPAGE_SHARE when that is set, else beside
# the script's real path (a symbolic link to an installed script finds it
# there), else in /usr/local/share/repopage and then /usr/share/repopage,
# where `make install` and the Debian package put both. The script sets
# $me, the name its messages start with, before it reads this.

: "${WEBROOT:=/srv/git-www}"
: "${REPOPAGE:=repopage}"
: "${REPOPAGE_INDEX:=repopage-index}"
: "${BASEURL:=}"
: "${PRECOMPRESS:=0}"
: "${LOCK_WAIT:=600}"

say() { echo "$me: $*" >&2; }

# Settings that cannot work are refused before anything is touched.
check_settings() {
	[ -d "$WEBROOT" ] || { say "no web root '$WEBROOT' (make it first)"; exit 1; }
	[ -w "$WEBROOT" ] || { say "web root '$WEBROOT' is not writable"; exit 1; }
	if [ "$PRECOMPRESS" = 1 ] && ! command -v gzip >/dev/null 2>&1; then
		say "PRECOMPRESS=1 needs gzip, which is not on PATH"
		exit 1
	fi
}

# gzip_pages, run by sh -c with pages as its arguments, gives each a
# current .gz. A .gz takes its page's mtime and is made again only when it
# is missing or its mtime is not its page's, so a push recompresses only
# the pages it rewrote. It is written under a temporary name and renamed,
# so a server never sends half of one. Its name is the page's own plus
# ".gz.XXXXXX", or ".page.XXXXXX" beside it where that is too long, as
# repopage names its own (no page has such a name); the .gz gets the mode
# a page gets, where mktemp makes 0600. A page whose .gz would have a name
# longer than a file name can be (255 bytes) gets none: servers send it as
# it is. (The -nt and -ot of test, which
# dash, bash and busybox have, compare to the nanosecond: a page rewritten
# within the second is still seen.)
gzip_pages='
LC_ALL=C
export LC_ALL
mode=$(printf %o $((0666 & ~$(umask))))
for page; do
	gz=$page.gz
	base=${gz##*/}
	[ "${#base}" -le 255 ] || continue
	[ ! -e "$gz" ] || [ -f "$gz" ] || continue
	if [ -f "$gz" ] && ! [ "$page" -nt "$gz" ] && ! [ "$page" -ot "$gz" ]; then
		continue
	fi
	tmp=$(mktemp "$gz.XXXXXX" 2>/dev/null || mktemp "${gz%/*}/.page.XXXXXX") || exit 1
	if ! { gzip -n -9 -c -- "$page" >"$tmp" && chmod "$mode" "$tmp" &&
		touch -r "$page" "$tmp" && mv -f "$tmp" "$gz"; }; then
		rm -f "$tmp"
		exit 1
	fi
done'

# sync_gz FOLDER: with PRECOMPRESS=1, a current .gz beside every page of
# FOLDER and none beside a page that is gone; otherwise no .gz of a page.
# raw/ is left out: its files are the repository's, a .gz among them one
# of its own, and servers send them as they are.
sync_gz() (
	cd "$1" || exit 1
	if [ "$PRECOMPRESS" = 1 ]; then
		find . -path ./raw -prune -o -type f \( -name '*.html' -o -name '*.xml' -o -name '*.css' \) \
			-exec sh -c "$gzip_pages" sh {} + || exit 1
		find . -path ./raw -prune -o -type f \( -name '*.html.gz' -o -name '*.xml.gz' -o -name '*.css.gz' \) \
			-exec sh -c 'for gz; do [ -e "${gz%.gz}" ] || rm -f "$gz"; done' sh {} +
	else
		find . -path ./raw -prune -o -type f \( -name '*.html.gz' -o -name '*.xml.gz' -o -name '*.css.gz' \) \
			-exec rm -f {} +
	fi
)

# The same for the files of the web root itself.
sync_root_gz() {
	for f in index.html style.css; do
		if [ "$PRECOMPRESS" = 1 ] && [ -f "$WEBROOT/$f" ]; then
			sh -c "$gzip_pages" sh "$WEBROOT/$f" || return 1
		else
			rm -f "$WEBROOT/$f.gz"
		fi
	done
}

ctl=$(printf '\001-\037\177')
nl='
'

# site_of PATH: sets site to the name of the folder in the web root of the
# repository at the real path PATH: its last component without a final
# ".git", the name repopage-index shows and links to. It is empty for a
# name that cannot be a folder: a hidden one (the cache files are), one
# with a control character, one of the web root's own files, or one that
# still ends in ".git" (the samples take such a folder for a published
# repository and serve none of its pages).
site_of() {
	site=${1##*/}
	[ "$site" = .git ] || site=${site%.git}
	case $site in
	"" | .* | *[$ctl]* | *.git | index.html | style.css | logo.png | favicon.png | robots.txt)
		site=
		;;
	esac
}

# in_the_way NAME: whether a file that is no folder holds the name of the
# folder NAME in the web root.
in_the_way() {
	[ -e "$WEBROOT/$1" ] && [ ! -d "$WEBROOT/$1" ]
}

# is_repository DIR: whether DIR holds a repository, a bare one (HEAD) or
# a working tree (.git).
is_repository() {
	[ -d "$1" ] && { [ -f "$1/HEAD" ] || [ -e "$1/.git" ]; }
}

# shared_sites: sets shared to the names that $sites, a list of folder
# names each ended by a newline, holds more than once, each between
# newlines. Two repositories that would share a folder (proj and proj.git
# both get proj/) are refused: each run would replace the other's site.
shared_sites() {
	shared=$nl$(printf '%s' "$sites" | LC_ALL=C awk '$0 != "" && n[$0]++ == 1')$nl
}

# url_path NAME: NAME percent-encoded as repopage-index writes it in its
# links: every byte but , - . / 0-9 A-Z \ ^ _ ` a-z { | } ~ becomes %XX.
url_path() {
	printf '%s' "$1" | od -An -v -tu1 | LC_ALL=C awk '{
		for (i = 1; i <= NF; i++) {
			c = $i + 0
			if ((c >= 44 && c <= 57) || (c >= 65 && c <= 90) || c == 92 || (c >= 94 && c <= 126))
				printf "%c", c
			else
				printf "%%%02X", c
		}
	}'
}

# remove_leftovers FOLDER: the temporary files that a run killed where
# nothing could clean up (SIGKILL, a power loss) left in a site's folder.
# Only the names repopage and gzip_pages make match: <page>.XXXXXX,
# <page>.gz.XXXXXX and .page.XXXXXX (each X a letter or a digit), and the
# cache's cache.XXXXXXXXXXXX at the top; the name of a page always ends in
# .html, .xml, .css or .png. Called under the lock, when no run of this
# web root is writing. raw/ is left out, where such a name may be a file
# of the repository: a temporary file left there stays, sent as text.
x='[0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz]'
x6=$x$x$x$x$x$x
remove_leftovers() {
	(cd "$1" && find . -path ./raw -prune -o -type f \( -name "*.html.$x6" -o -name "*.xml.$x6" \
		-o -name "*.html.gz.$x6" -o -name "*.xml.gz.$x6" -o -name "*.css.gz.$x6" -o -name ".page.$x6" \) \
		-exec rm -f {} +)
	for f in "$1"/cache.$x6$x6; do
		if [ -f "$f" ]; then rm -f "$f"; fi
	done
}

# The same for the .gz of the web root's own files, under the lock too.
remove_root_leftovers() {
	for f in "$WEBROOT"/index.html.gz.$x6 "$WEBROOT"/style.css.gz.$x6; do
		if [ -f "$f" ]; then rm -f "$f"; fi
	done
}

# Sample assets come from the first of the installed sample folders where
# ASSETS is not set. copy_assets FROM DIR copies those of FROM that DIR
# lacks: a site's own are never replaced.
if [ -z "${ASSETS:-}" ]; then
	for d in /usr/local/share/repopage /usr/share/repopage; do
		[ -d "$d" ] && { ASSETS=$d; break; }
	done
fi
copy_assets() {
	for f in style.css logo.png favicon.png; do
		[ -e "$2/$f" ] || [ ! -f "$1/$f" ] || cp "$1/$f" "$2/$f"
	done
}

# sh_word TEXT: TEXT as one word of a command to paste, in single quotes
# where it holds anything but letters, digits and . _ / + -.
sh_word() {
	case $1 in
	"" | *[!A-Za-z0-9._/+-]*) printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")" ;;
	*) printf '%s' "$1" ;;
	esac
}

# check_head REPO: says so when HEAD names a branch that does not exist
# while others do, as after a push of main to a repository whose HEAD
# names master: the site then shows no commits and the index leaves the
# repository out, with no error. It names the branches (ten at most) and
# the command that makes HEAD name one. A repository without branches, or
# whose HEAD is detached, is not told anything.
check_head() {
	head_ref=$(git -C "$1" symbolic-ref -q HEAD 2>/dev/null) || return 0
	! git -C "$1" show-ref --verify -q -- "$head_ref" 2>/dev/null || return 0
	branches=$(git -C "$1" for-each-ref --count=11 --format='%(refname:lstrip=2)' refs/heads/ 2>/dev/null) ||
		return 0
	[ -n "$branches" ] || return 0
	say "HEAD names $head_ref, which does not exist, so the site shows no commits" \
		"and the index leaves it out; the branches are:" \
		"$(printf '%s\n' "$branches" | awk 'NR > 10 { printf ", ..."; exit }
			{ printf "%s%s", (NR > 1 ? ", " : ""), $0 }')"
	case $branches in
	*"$nl"*) say "publish one with: git -C $(sh_word "$1") symbolic-ref HEAD refs/heads/<branch>" ;;
	*) say "publish it with: git -C $(sh_word "$1") symbolic-ref HEAD $(sh_word "refs/heads/$branches")" ;;
	esac
}

# check_description REPO: says so when the description that the pages
# and feeds show (the first line of REPO/description, else of
# REPO/.git/description, as repopage reads it) is still the one git init
# writes.
check_description() {
	description=$1/description
	[ -e "$description" ] || description=$1/.git/description
	[ -f "$description" ] || return 0
	[ "$(head -n 1 -- "$description" 2>/dev/null)" = \
		"Unnamed repository; edit this file 'description' to name the repository." ] || return 0
	say "'$description' still holds git's placeholder, which every page and feed shows: write the project's description there"
}

# check_repository REPO: both of the above, for a repository about to be
# rendered.
check_repository() {
	check_head "$1"
	check_description "$1"
}

# render_site NAME REPO: renders REPO into its folder NAME with its cache;
# -u only when a public URL is set, with the name as the index links it. A
# run that fails may still have replaced pages (it writes them all before
# it names a commit it could not read), so the .gz follow the pages
# whatever the status. Returns 2 when the render failed, 1 when only the
# .gz did, having said so.
render_site() {
	url=
	[ -z "$BASEURL" ] || url=$BASEURL$(url_path "$1")/
	if ! (cd "$WEBROOT/$1" && "$REPOPAGE" -c "../.$1.cache" ${url:+-u "$url"} "$2"); then
		say "rendering $1 failed"
		sync_gz "$WEBROOT/$1" || say "compressing the pages of $1 failed"
		return 2
	fi
	sync_gz "$WEBROOT/$1" || { say "compressing the pages of $1 failed"; return 1; }
}

# install_index: installs $index_tmp, where repopage-index wrote the
# index, as $WEBROOT/index.html, so a web server never sends half of it. A
# repository that cannot be opened still leaves a complete page (with exit
# status 1), which is installed; a page cut short is not, and fails.
index_tmp="$WEBROOT/.index.html.$$"
install_index() {
	if [ "$(tail -c 8 "$index_tmp")" = "</html>" ]; then
		mv -f "$index_tmp" "$WEBROOT/index.html"
	else
		rm -f "$index_tmp"
		say "index.html left as it was"
		return 1
	fi
}
