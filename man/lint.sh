#!/bin/sh
# Lints the manual pages with mandoc; any warning or error fails. Style
# notes are left out: whether a referenced page is installed depends on
# the machine, not on the pages.
set -u
dir=$(cd "$(dirname "$0")" && pwd)
command -v mandoc >/dev/null 2>&1 || {
	echo "man/lint.sh: mandoc is not installed (apt-get install mandoc)" >&2
	exit 1
}
status=0
for page in "$dir"/*.1; do
	mandoc -T lint -W warning "$page" || status=1
done
[ "$status" -eq 0 ] && echo "manual pages: lint clean"
exit "$status"
