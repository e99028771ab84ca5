#!/bin/sh
# Browser check: renders a small repository with the sample assets, opens
# the index, log, commit, file, files and refs pages, and the about, tree,
# file and commit pages of a site with every rich page on, in headless
# Chromium in the light and the dark scheme, and fails on any console
# error, failed request or layout fault (check.mjs). Screenshots go to OUTDIR/shots.
#
#   check.sh REPOPAGE REPOPAGE_INDEX OUTDIR
#
# Installs Chromium and playwright-core when they are missing (setup.sh);
# exits 77 (skipped) only when they cannot be installed. With DOCS set to a
# directory, the light screenshots of the log, commit, file, about and tree
# pages are copied there under those names (log.png...).
set -u
dir=$(cd "$(dirname "$0")" && pwd)
[ $# -eq 3 ] || { echo "usage: check.sh REPOPAGE REPOPAGE_INDEX OUTDIR" >&2; exit 2; }
REPOPAGE=$1 REPOPAGE_INDEX=$2 SCRATCH=$3/scratch
out=$3
assets="$dir/../../assets"

if ! command -v chromium >/dev/null 2>&1 || ! command -v node >/dev/null 2>&1 ||
	[ ! -f "$dir/node_modules/playwright-core/package.json" ]; then
	sh "$dir/setup.sh" || {
		echo "SKIP: browser check: Chromium or playwright-core cannot be installed here (see above)"
		exit 77
	}
fi

# Pinned identities, dates and time zone, and the repository builders.
. "$dir/../e2e/lib.sh"

# proj: a README and a LICENSE for the navigation, a C file with a line far
# wider than a phone, then a commit that adds, deletes, modifies and renames
# files and adds a binary one; a branch and an annotated tag.
new_repo repos/proj
echo 'A <small> & "quoted" project' >repos/proj/.git/description
echo 'https://git.example.org/proj.git' >repos/proj/.git/url
echo 'Ann Author' >repos/proj/.git/owner
commit_file repos/proj README.md '# proj
A small project to look at.
' 'Start with a README' 1700000000
commit_file repos/proj LICENSE 'Free to use.
' 'License' 1700001000
long=$(printf 'x%.0s' $(seq 1 240))
lines=$(i=1; while [ $i -le 40 ]; do printf '\tcount += %d; /* line %d */\n' $i $i; i=$((i + 1)); done)
commit_file repos/proj src/main.c "#include <stdio.h>

/* $long */
int main(void)
{
	int count = 0;
$lines
	printf(\"%d\\n\", count);
	return 0;
}
" 'main.c: sum the numbers & print them' 1700002000
commit_file repos/proj old-name.txt 'moved
' 'A file to rename' 1700003000
commit_file repos/proj gone.txt 'soon gone
' 'A file to delete' 1700004000
git -C repos/proj tag -a -m 'First release' v1.0
git -C repos/proj branch feature
sed -i 's/count += 7;/count += 70;/; s/line 30/line thirty/' repos/proj/src/main.c
git -C repos/proj mv old-name.txt new-name.txt
git -C repos/proj rm -q gone.txt
printf '\211PNG\r\n\032\n\000\000\000\rIHDR' >repos/proj/blob.bin
printf 'The guide.\n' >repos/proj/guide.txt
git -C repos/proj add -A
commit_all repos/proj 'Rework main.c, rename, delete, add a guide and a binary

The body of the message: <markup> & entities stay text.' 1700005000
head=$(git -C repos/proj rev-parse HEAD)

mkdir -p site/proj "$out/shots"
(cd site/proj && "$REPOPAGE" "$SCRATCH/repos/proj") || { echo "FAIL: repopage"; exit 1; }
"$REPOPAGE_INDEX" "$SCRATCH/repos/proj" >site/index.html || { echo "FAIL: repopage-index"; exit 1; }
for f in style.css logo.png favicon.png; do
	cp "$assets/$f" site/ && cp "$assets/$f" site/proj/
done

# rich: proj with every rich page on, and a README that uses what the
# about page renders: a table wider than a phone, a task list, fenced code,
# an image from the tree, links to a file and a directory.
git clone -q repos/proj repos/rich
cp "$assets/logo.png" repos/rich/logo.png
cat >repos/rich/README.md <<'README'
# rich

![logo](logo.png) A project with every rich page.

| option | what it does | default value, spelled out at length so the table is wider than a phone |
|---|---|---|
| `-c` | keeps a cache | none |

- [x] render the log
- [ ] ~~render nothing~~

```c
int main(void) { return 0; /* a code line far wider than a phone's screen, so that it must scroll */ }
```

See [main.c](src/main.c), [the sources](src/) and [the licence](#rich).
README
git -C repos/rich add -A
commit_all repos/rich 'A README for the about page' 1700006000
for key in about raw patch tree; do
	git -C repos/rich config "repopage.$key" true
done
rich_head=$(git -C repos/rich rev-parse HEAD)
mkdir -p site/rich
(cd site/rich && "$REPOPAGE" "$SCRATCH/repos/rich") || { echo "FAIL: repopage (rich)"; exit 1; }
for f in style.css logo.png favicon.png; do
	cp "$assets/$f" site/rich/
done

node "$dir/check.mjs" "$SCRATCH/site" "$out/shots" \
	index=/index.html log=/proj/log.html "commit=/proj/commit/$head.html" \
	file=/proj/file/src/main.c.html files=/proj/files.html refs=/proj/refs.html \
	about=/rich/about.html tree=/rich/tree/src/index.html root=/rich/tree/index.html \
	rfile=/rich/file/src/main.c.html "rcommit=/rich/commit/$rich_head.html"
status=$?
echo "screenshots: $out/shots"
if [ "$status" -eq 0 ] && [ -n "${DOCS:-}" ]; then
	for name in log commit file about tree; do
		cp "$out/shots/$name-light.png" "$DOCS/$name.png"
	done
fi
exit "$status"
