#!/bin/sh
# Installs what a make target needs and builds libgit2 1.9.0 from Debian's
# source package, with Debian's patches and the project's own
# (tools/libgit2-patches/), into .deps/ (static, so the programs run without
# LD_LIBRARY_PATH). It is built once, and again whenever the project's
# patches change. SYSTEM_LIBGIT2=1 skips it: the build then links the
# system's libgit2 1.9 or newer, without those patches.
#
#   setup-deps.sh [build | check | deb]
#
# build (make, make demo): the compiler, CMake and cmark-gfm (the about
# page's Markdown, linked statically). check (make check,
# make sanitize, make fuzz): the test tools too, and, where they can be
# installed, Chromium, the web servers, GNU parallel and OpenSSH, and the
# packaging tools (their tests skip themselves otherwise). deb (make deb):
# the Debian packaging tools.
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
deps="$top/.deps"
prefix="$deps/install"
purpose=${1:-build}
want="g++ cmake make pkgconf git libgtest-dev libcmark-gfm-dev libcmark-gfm-extensions-dev"
# The tests: xmllint for the feeds, mandoc for the manual pages, valgrind
# and clang's sanitizers and fuzzer, python3 for the link check, time for
# the benchmark.
check_want="libxml2-utils mandoc valgrind time clang libclang-rt-14-dev python3"
# A package build links libgit2's own dependencies as the programs do.
deb_want="dpkg-dev debhelper lintian zlib1g-dev libpcre2-dev libhttp-parser-dev"
srcdeps="dpkg-dev zlib1g-dev libpcre2-dev libhttp-parser-dev"

die() { echo "setup-deps: $*" >&2; exit 1; }

missing_packages() {
	for p in "$@"; do
		dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || printf '%s ' "$p"
	done
}

install_packages() {
	miss=$(missing_packages "$@")
	[ -z "$miss" ] && return 0
	[ "$(id -u)" -eq 0 ] || die "missing packages: $miss(run as root, or install them: apt-get install $miss)"
	echo "setup-deps: installing $miss"
	apt-get install -y --no-install-recommends $miss >/dev/null 2>&1 ||
		{ apt-get update >/dev/null && apt-get install -y --no-install-recommends $miss >/dev/null; } ||
		die "apt-get could not install: $miss (no network?)"
}

patches="$top/tools/libgit2-patches"
stamp="$prefix/patches.sha256"

# What the installed build was made from: the patch files and their names.
patch_sum() {
	(cd "$patches" && sha256sum -- *.patch)
}

# The bookworm archive has only 1.5; trixie's source package carries 1.9.0
# with Debian's security patches applied, so the source comes from there.
fetch_source() {
	list=/etc/apt/sources.list.d/repopage-trixie-src.sources
	own=/etc/apt/sources.list.d/debian.sources
	[ -r "$own" ] || die "cannot read $own to find the Debian mirror"
	uris=$(awk '/^URIs:/ {print $2; exit}' "$own")
	keys=$(awk '/^Signed-By:/ {print $2; exit}' "$own")
	[ -n "$uris" ] && [ -n "$keys" ] || die "no URIs or Signed-By in $own"
	printf 'Types: deb-src\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: %s\n' \
		"$uris" "$keys" >"$list"
	# apt downloads as its own user, _apt, and warns that it downloads as
	# root where that user cannot write: the files come into a folder of
	# _apt's own and move to .deps/src after.
	down=$(mktemp -d)
	chown _apt "$down" 2>/dev/null || true
	trap 'rm -f "$list"; rm -rf "$down"; apt-get update >/dev/null 2>&1 || true' EXIT
	apt-get update >/dev/null || die "apt-get update failed with the trixie source entry (no network?)"
	(cd "$down" && apt-get source -q --download-only libgit2/trixie >/dev/null) ||
		die "apt-get source libgit2/trixie failed"
	mkdir -p "$deps/src"
	mv "$down"/* "$deps/src/"
	rm -f "$list"
	rm -rf "$down"
	trap - EXIT
	apt-get update >/dev/null 2>&1 || true
}

# A fresh tree from the downloaded source package, Debian's patches applied
# by dpkg-source, then ours.
unpack_source() {
	dsc=$(ls "$deps"/src/libgit2_1.9*.dsc 2>/dev/null | head -n 1)
	[ -n "$dsc" ] || die "no libgit2 1.9 source package under $deps/src"
	src="$deps/src/tree"
	rm -rf "$src"
	dpkg-source -q -x "$dsc" "$src" >/dev/null 2>&1 || die "dpkg-source could not unpack $dsc"
	for p in "$patches"/*.patch; do
		patch -s -p1 -d "$src" <"$p" || die "libgit2 patch does not apply: $p"
	done
}

build_libgit2() {
	rm -rf "$deps/build" "$prefix"
	cmake -S "$src" -B "$deps/build" -DCMAKE_INSTALL_PREFIX="$prefix" \
		-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTS=OFF \
		-DBUILD_CLI=OFF -DUSE_HTTPS=OFF -DUSE_SSH=OFF -DUSE_NTLMCLIENT=OFF \
		-DUSE_GSSAPI=OFF -DUSE_HTTP_PARSER=http-parser -DREGEX_BACKEND=pcre2 \
		-DUSE_BUNDLED_ZLIB=OFF >"$deps/build.log" 2>&1 || die "libgit2 configure failed, see $deps/build.log"
	cmake --build "$deps/build" -j "$(nproc)" >>"$deps/build.log" 2>&1 || die "libgit2 build failed, see $deps/build.log"
	cmake --install "$deps/build" >/dev/null
	patch_sum >"$stamp"
}

# Chromium and playwright-core for the browser check, which skips itself
# where they cannot be installed.
browser_deps() {
	sh "$top/tests/browser/setup.sh" || echo "setup-deps: the browser check will be skipped" >&2
}

# install_servers PACKAGE...: installing a server (nginx, sshd) starts its
# system service (nginx on port 80, sshd on 22) unless a policy-rc.d
# forbids it; the tests start servers of their own, so while the packages
# are installed service starts are refused.
install_servers() (
	policy=/usr/sbin/policy-rc.d
	if [ -n "$(missing_packages "$@")" ] && [ ! -e "$policy" ] && [ "$(id -u)" -eq 0 ]; then
		trap 'rm -f "$policy"' EXIT
		printf '#!/bin/sh\n# repopage setup-deps: no service starts while servers are installed\nexit 101\n' >"$policy"
		chmod 755 "$policy"
	fi
	install_packages "$@"
)

# nginx, Caddy and curl for the server test, which skips itself where they
# cannot be installed.
server_deps() {
	install_servers nginx caddy curl || echo "setup-deps: the server test will be skipped" >&2
}

# GNU parallel and OpenSSH for render-all over several machines, which the
# hooks test runs through an sshd of its own (skipped where none starts).
ssh_deps() {
	install_servers parallel openssh-client openssh-server ||
		echo "setup-deps: render-all over ssh will not be tested" >&2
}

# The package test builds and installs a package as root only.
deb_deps() {
	(install_packages $deb_want) || echo "setup-deps: the package test will be skipped" >&2
}

# tree-sitter and its grammars (file pages coloured when a repository asks)
# come from npm as pinned in tools/tree-sitter.list, each tarball checked
# against its sha256; built with the C compiler into static archives, one per
# grammar, with the highlight queries under share/tree-sitter.
ts_list="$top/tools/tree-sitter.list"
ts_src="$deps/src/tree-sitter"
ts_stamp="$prefix/tree-sitter.sha256"

# npm names @scope/name's tarball scope-name-version.tgz.
ts_tarball() {
	echo "$1-$2.tgz" | sed 's|^@||; s|/|-|'
}

ts_fetch() {
	mkdir -p "$deps/download"
	grep '^package ' "$ts_list" | while read -r _ name version sum; do
		tgz="$deps/download/$(ts_tarball "$name" "$version")"
		if [ ! -f "$tgz" ]; then
			(cd "$deps/download" && npm pack --silent "$name@$version" >/dev/null 2>&1) ||
				die "npm pack $name@$version failed (no network?)"
		fi
		echo "$sum  $tgz" | sha256sum -c --status || {
			got=$(sha256sum "$tgz" | cut -d' ' -f1)
			rm -f "$tgz"
			die "checksum mismatch for $name@$version: $got, expected $sum"
		}
		mkdir -p "$ts_src/$name"
		tar -xzf "$tgz" -C "$ts_src/$name" --strip-components=1 || die "cannot unpack $tgz"
	done
}

# One archive per grammar; the time and size of each go to the log.
ts_grammar() {
	lang=$1 dir=$ts_src/$2/$3
	shift 3
	start=$(date +%s)
	objs=
	for c in "$dir"/parser.c "$dir"/scanner.c; do
		[ -f "$c" ] || continue
		o="$deps/ts-build/$lang-$(basename "$c" .c).o"
		cc -O2 -std=c11 -fPIC -I "$dir" -c "$c" -o "$o" || die "cannot compile $c"
		objs="$objs $o"
	done
	ar rcs "$prefix/lib/libtree-sitter-$lang.a" $objs
	for q in "$@"; do
		cat "$ts_src/$q" || die "no query $q"
	done >"$prefix/share/tree-sitter/$lang.scm"
	echo "$lang: $(($(date +%s) - start)) s, $(du -k $objs | awk '{s += $1} END {print s}') KiB of objects" >>"$deps/ts-build/times"
}

build_tree_sitter() {
	command -v npm >/dev/null || install_packages npm
	rm -f "$ts_stamp"
	rm -rf "$ts_src" "$deps/ts-build" "$prefix/include/tree_sitter" "$prefix/share/tree-sitter" "$prefix"/lib/libtree-sitter*.a
	mkdir -p "$deps/ts-build" "$prefix/lib" "$prefix/include/tree_sitter" "$prefix/share/tree-sitter"
	ts_fetch
	core="$ts_src/tree-sitter/vendor/tree-sitter/lib"
	[ -f "$core/src/lib.c" ] || die "no lib/src/lib.c in the tree-sitter package"
	cc -O2 -std=c11 -D_DEFAULT_SOURCE -fPIC -I "$core/include" -I "$core/src" -c "$core/src/lib.c" -o "$deps/ts-build/lib.o" ||
		die "cannot compile tree-sitter"
	ar rcs "$prefix/lib/libtree-sitter.a" "$deps/ts-build/lib.o"
	cp "$core/include/tree_sitter/api.h" "$prefix/include/tree_sitter/"
	grep '^grammar ' "$ts_list" | while read -r _ lang pkg dir queries; do
		ts_grammar "$lang" "$pkg" "$dir" $queries
	done
	sha256sum <"$ts_list" >"$ts_stamp"
	cat "$deps/ts-build/times"
}

case $purpose in
build) install_packages $want ;;
check)
	install_packages $want $check_want
	browser_deps
	server_deps
	ssh_deps
	deb_deps
	;;
deb) install_packages $want $deb_want ;;
*) die "usage: setup-deps.sh [build | check | deb]" ;;
esac
# libgit2 first: its build starts from an empty prefix, which takes the
# tree-sitter build and its stamp with it, so that one is made again after.
libgit2_deps() {
	[ "${SYSTEM_LIBGIT2:-0}" = 1 ] && return 0
	if [ -f "$prefix/lib/pkgconfig/libgit2.pc" ] && patch_sum | cmp -s - "$stamp"; then
		return 0
	fi
	install_packages $srcdeps
	echo "setup-deps: building libgit2 1.9 with the project's patches into .deps/ (about a minute)"
	ls "$deps"/src/libgit2_1.9*.dsc >/dev/null 2>&1 || {
		[ "$(id -u)" -eq 0 ] || die "fetching libgit2's source needs root (apt-get update with an extra source entry)"
		fetch_source
	}
	unpack_source
	build_libgit2
	echo "setup-deps: libgit2 installed in $prefix"
}
libgit2_deps
if [ ! -f "$ts_stamp" ] || ! sha256sum <"$ts_list" | cmp -s - "$ts_stamp"; then
	echo "setup-deps: building tree-sitter and its grammars into .deps/ (a few minutes)"
	build_tree_sitter
fi
