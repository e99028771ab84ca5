#!/bin/sh
# Installs what the browser check needs, when it is missing: Debian's
# chromium (with a font for the screenshots), and playwright-core into
# tests/browser/node_modules as package-lock.json pins it.
set -eu
dir=$(cd "$(dirname "$0")" && pwd)
say() { echo "browser setup: $*" >&2; }

missing=
for p in chromium fonts-dejavu-core; do
	dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
# $missing is a list of package names: split on purpose.
if [ -n "$missing" ]; then
	[ "$(id -u)" -eq 0 ] || { say "missing packages:$missing (run as root)"; exit 1; }
	say "installing$missing"
	apt-get install -y --no-install-recommends $missing >/dev/null 2>&1 ||
		{ apt-get update >/dev/null 2>&1 && apt-get install -y --no-install-recommends $missing >/dev/null 2>&1; } ||
		{ say "apt-get could not install:$missing"; exit 1; }
fi

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
	say "node and npm are needed"
	exit 1
fi
if [ ! -f "$dir/node_modules/playwright-core/package.json" ]; then
	say "installing playwright-core into $dir/node_modules"
	(cd "$dir" && npm ci --no-audit --no-fund --loglevel=error >/dev/null) ||
		{ say "npm ci failed"; exit 1; }
fi
