#!/bin/sh
# Package check: builds the Debian package with tools/make-deb.sh (a
# lintian error fails it), installs it with apt-get, renders a repository
# with the installed hook and programs as README's "Serve it" does, then
# purges the package and finds nothing of it left.
#
#   check.sh OUTDIR
#
# It changes the system while it runs, so it needs root, and it purges the
# package on the way out whatever happens. Exits 77 (skipped) when not run
# as root, when the packaging tools are missing, or when a repopage
# package is installed already (it is not ours to remove).
set -u
dir=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$dir/../.." && pwd)
[ $# -eq 1 ] || { echo "usage: check.sh OUTDIR" >&2; exit 2; }

skip() {
	echo "SKIP: package check: $*"
	exit 77
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in dpkg-buildpackage dh lintian apt-get; do
	command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (make check installs it as root)"
done
if dpkg-query -W -f='${Status}\n' repopage 2>/dev/null | grep -q 'ok installed'; then
	skip "a repopage package is installed already, and is left alone"
fi

case $1 in /*) SCRATCH=$1/scratch ;; *) SCRATCH=$(pwd)/$1/scratch ;; esac
# Pinned identities, dates and time zone, and the checks (lib.sh finds the
# link checker from the directory it is read in).
cd "$dir/../e2e" || exit 1
. ./lib.sh
export DEBIAN_FRONTEND=noninteractive
apt_get() {
	apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"
}

# Purged on the way out even when a check or the install itself failed.
installed=0
purge() {
	[ "$installed" -eq 1 ] || return 0
	installed=0
	apt_get purge repopage >purge.log 2>&1
}
trap purge EXIT
trap 'exit 1' INT TERM HUP

version=$(cat "$top/VERSION")
deb="$SCRATCH/repopage_${version}_$(dpkg --print-architecture).deb"
if ! "$top/tools/make-deb.sh" "$SCRATCH" >make-deb.log 2>&1; then
	cat make-deb.log
	fail "make-deb.sh"
	finish
fi
sed -n 's/^lintian: //p' make-deb.log
check_exists "package built" "$deb"

# What the package holds, and which of those paths the system had before.
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed -e 's,^\.,,' -e 's,/$,,' -e '/^$/d' >contents
while IFS= read -r path; do
	[ ! -e "$path" ] || echo "$path"
done <contents >existed

installed=1
if ! apt_get install "$deb" >install.log 2>&1; then
	cat install.log
	fail "apt-get install"
	finish
fi
check_eq "installed: version from VERSION" "$version" "$(dpkg-query -W -f='${Version}' repopage)"
for path in /usr/bin/repopage /usr/bin/repopage-index /usr/share/doc/repopage/copyright \
	/usr/share/doc/repopage/README.md.gz /usr/share/doc/repopage/changelog.gz; do
	check_exists "installed: $path" "$path"
done
for page in repopage repopage-index; do
	checks=$((checks + 1))
	gzip -dc "/usr/share/man/man1/$page.1.gz" | cmp -s - "$top/man/$page.1" ||
		fail "installed: manual page $page(1) differs from man/$page.1"
done
for f in style.css logo.png favicon.png nginx.conf Caddyfile robots.txt post-receive render-all webroot.sh; do
	case $f in
	post-receive | render-all | webroot.sh | nginx.conf | Caddyfile | robots.txt) src="$top/contrib/$f" ;;
	*) src="$top/assets/$f" ;;
	esac
	check_files_eq "installed: /usr/share/repopage/$f" "$src" "/usr/share/repopage/$f"
done
checks=$((checks + 1))
[ -x /usr/share/repopage/post-receive ] && [ -x /usr/share/repopage/render-all ] ||
	fail "installed: the hook and render-all are not executable"

# A push rendered by the installed hook with the installed programs and
# assets alone, nothing but the system's PATH: the hook is the wrapper of
# README's "Serve it", with the test's web root, and the repository is
# made as it says, with HEAD at main and a description.
mkdir git www
git init -q --bare --initial-branch=main git/proj.git
echo 'A packaged project' >git/proj.git/description
printf '#!/bin/sh\nexport PRECOMPRESS=1 BASEURL=https://git.example.org/ WEBROOT=%s\nexec /usr/share/repopage/post-receive\n' \
	"$SCRATCH/www" >git/proj.git/hooks/post-receive
chmod +x git/proj.git/hooks/post-receive
new_repo work
commit_file work a.txt 'one
' 'Packaged at last' 1700000000
env -u REPOPAGE -u REPOPAGE_INDEX -u ASSETS PATH=/usr/bin:/bin \
	git -C work push -q "$SCRATCH/git/proj.git" master:main >push.out 2>push.err
check_eq "hook: says nothing" "" "$(cat push.err)"
check_contains "hook: log rendered" www/proj/log.html '>Packaged at last</a>'
check_contains "hook: index rendered" www/index.html '<a href="proj/log.html">proj</a>'
check_files_eq "hook: the installed style" /usr/share/repopage/style.css www/proj/style.css
check_exists "hook: pages compressed" www/proj/log.html.gz
check_contains "hook: feeds link to BASEURL" www/proj/atom.xml 'href="https://git.example.org/proj/commit/'
check_exists "hook: refs for clones over HTTP" git/proj.git/info/refs

# A copy of the installed hook finds webroot.sh among the installed
# samples; the index then lists both repositories.
git init -q --bare git/copy.git
git -C git/copy.git symbolic-ref HEAD refs/heads/master
echo 'A copy' >git/copy.git/description
cp /usr/share/repopage/post-receive git/copy.git/hooks/post-receive
env -u REPOPAGE -u REPOPAGE_INDEX -u ASSETS -u REPOPAGE_SHARE PATH=/usr/bin:/bin WEBROOT="$SCRATCH/www" \
	git -C work push -q "$SCRATCH/git/copy.git" master >push.out 2>push.err
check_eq "copied hook: says nothing" "" "$(cat push.err)"
check_contains "copied hook: log rendered" www/copy/log.html '>Packaged at last</a>'
check_contains "copied hook: index rendered" www/index.html '<a href="copy/log.html">copy</a>'
check_links www

# Purged, nothing of the package is left but what was there before it.
if ! purge; then
	cat purge.log
	fail "apt-get purge"
fi
check_eq "purged: no longer known to dpkg" "" "$(dpkg-query -W -f='${Status}' repopage 2>/dev/null | grep 'ok installed')"
checks=$((checks + 1))
while IFS= read -r path; do
	grep -qxF "$path" existed || [ ! -e "$path" ] || fail "purged: $path is left"
done <contents

finish
