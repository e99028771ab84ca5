#!/bin/sh
# Renders this project's own repository into demo/ laid out as a web root:
# demo/<name>/ from repopage, demo/index.html from repopage-index.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case $build in /*) ;; *) build="$top/$build" ;; esac
name=$(basename "$top")
site="$top/demo/$name"
mkdir -p "$site"
(cd "$site" && "$build/repopage" -c "$top/demo/.$name.cache" "$top")
"$build/repopage-index" "$top" >"$top/demo/index.html"
for asset in style.css logo.png favicon.png; do
	[ -f "$top/assets/$asset" ] || continue
	cp "$top/assets/$asset" "$top/demo/$asset"
	cp "$top/assets/$asset" "$site/$asset"
done
echo "demo: open file://$top/demo/index.html (or serve $top/demo with any web server)"
