#!/bin/sh
# Builds the Debian package repopage_<version>_<arch>.deb from the working
# tree with Debian's own tools, and checks it with lintian (any error
# fails). The version is the one of VERSION: debian/changelog is written
# from it into a copy of the sources, so that no second copy of the
# version is kept in the tree.
#
#   make-deb.sh [outdir]       the package lands in outdir (default: the
#                              top of the tree), the build in outdir/build-deb
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$top}
mkdir -p "$out"
out=$(cd "$out" && pwd)
version=$(cat "$top/VERSION")
arch=$(dpkg --print-architecture)
work="$out/build-deb"
tree="$work/repopage-$version"
deb="repopage_${version}_$arch.deb"

die() { echo "make-deb: $*" >&2; exit 1; }

for tool in dpkg-buildpackage dh lintian; do
	command -v "$tool" >/dev/null 2>&1 || die "$tool is missing (make deb installs it as root)"
done

# The sources as they are in the working tree, tracked or new, without
# what git ignores (builds, .deps, node_modules); outside a git checkout,
# the tree without those.
rm -rf "$work"
mkdir -p "$tree"
if git -C "$top" rev-parse --git-dir >/dev/null 2>&1; then
	(cd "$top" && git ls-files -z --cached --others --exclude-standard | grep -zv '^\.deps$' |
		tar --null --no-recursion --ignore-failed-read -T - -cf - 2>/dev/null) |
		tar -xf - -C "$tree"
else
	(cd "$top" && tar --exclude='./build*' --exclude=./.deps --exclude=./demo \
		--exclude=node_modules --exclude='./*.deb' -cf - .) | tar -xf - -C "$tree"
fi
# The static libgit2 that setup-deps.sh built, found by CMakeLists.txt in
# the source tree (.deps may be a link itself: never copied, never entered).
rm -f "$tree/.deps"
[ ! -e "$top/.deps" ] || ln -sn "$top/.deps" "$tree/.deps"

# The one entry of the changelog, dated by the last commit (or now).
maintainer=$(sed -n 's/^Maintainer: //p' "$tree/debian/control")
when=$(git -C "$top" log -1 --format=%ct 2>/dev/null || date +%s)
{
	printf 'repopage (%s) unstable; urgency=medium\n\n' "$version"
	printf '  * repopage %s, built from its own tree.\n\n' "$version"
	printf ' -- %s  %s\n' "$maintainer" "$(LC_ALL=C date -u -R -d "@$when")"
} >"$tree/debian/changelog"

echo "make-deb: building $deb (log: $work/build.log)"
if ! (cd "$tree" && dpkg-buildpackage -b -us -uc) >"$work/build.log" 2>&1; then
	tail -n 30 "$work/build.log" >&2
	die "dpkg-buildpackage failed, see $work/build.log"
fi
[ -f "$work/$deb" ] || die "no $deb in $work"
mv -f "$work/$deb" "$out/$deb"

# Errors fail; warnings are shown (README says which remain and why).
lintian --fail-on error --tag-display-limit 0 "$out/$deb" >"$work/lintian.log" 2>&1 ||
	{ cat "$work/lintian.log" >&2; die "lintian reports errors on $deb"; }
sed 's/^/lintian: /' "$work/lintian.log"
echo "make-deb: $out/$deb"
