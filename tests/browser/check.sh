#!/bin/sh
# Browser check: renders a small repository with the sample assets, opens
# the index, about, log, commit, file, files and refs pages, and the about,
# tree, file and commit pages of a site with every rich page on, in
# headless Chromium in the light and the dark scheme, and fails on any
# console error, failed request or layout fault (check.mjs); then the log,
# files, refs, commit and file pages of a repository with long names, long
# messages and large counts, which at a phone's width must still fit.
# Screenshots go to OUTDIR/shots.
#
#   check.sh REPOPAGE REPOPAGE_INDEX OUTDIR
#
# Installs Chromium and playwright-core when they are missing (setup.sh);
# exits 77 (skipped) only when they cannot be installed. With DOCS set to a
# directory, the light screenshots of the log, commit, file, about and tree
# pages are copied there under those names (log.png...), with the coloured
# file page of the rich site as file-path.png, and the about, tree and that
# file page in the dark scheme as about-dark.png, tree-dark.png and
# file-path-dark.png.
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

# proj: a README in Markdown for the about page and the navigation, with
# an image, a table, code and a task list, a LICENSE, a C file with a line far
# wider than a phone, then a commit that adds, deletes, modifies and renames
# files and adds a binary one; a branch and an annotated tag.
new_repo repos/proj
echo 'A <small> & "quoted" project' >repos/proj/.git/description
echo 'https://git.example.org/proj.git' >repos/proj/.git/url
echo 'Ann Author' >repos/proj/.git/owner
git -C repos/proj config repopage.about true
cp "$assets/logo.png" repos/proj/logo.png
git -C repos/proj add logo.png
commit_file repos/proj README.md '# proj
A small project to look at. ![The logo](logo.png)

## Build

```sh
make && ./build/proj --with-a-very-long-option-name=and-a-very-long-value-that-goes-on-and-on
```

| Option | Meaning | Default |
|--------|---------|--------:|
| `-a` | a very long explanation of the option that wraps on a narrow screen | none |
| `-b` | ~~old~~ new | 1 |

- [x] builds
- [ ] runs everywhere

> See [the main file](src/main.c) and [the license](LICENSE).
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

# render_site NAME: repos/NAME rendered into site/NAME, with the look.
render_site() {
	mkdir -p "site/$1"
	(cd "site/$1" && "$REPOPAGE" "$SCRATCH/repos/$1") || { echo "FAIL: repopage ($1)"; exit 1; }
	for f in style.css logo.png favicon.png; do
		cp "$assets/$f" "site/$1/"
	done
}

mkdir -p "$out/shots"
render_site proj
"$REPOPAGE_INDEX" "$SCRATCH/repos/proj" >site/index.html || { echo "FAIL: repopage-index"; exit 1; }
for f in style.css logo.png favicon.png; do
	cp "$assets/$f" site/
done

# rich: proj with every rich page on, and its file pages coloured.
git clone -q repos/proj repos/rich
cp repos/proj/.git/description repos/proj/.git/url repos/rich/.git/
for key in about raw patch tree highlight; do
	git -C repos/rich config "repopage.$key" true
done
rich_head=$(git -C repos/rich rev-parse HEAD)
render_site rich

# wide: what a phone's width must hold: a description, a subject, a
# branch and a path with words wider than the screen, a long author name,
# and counts of four and six digits in the log.
new_repo repos/wide
echo 'Notes kept at notes.example.org/the_notes_of_this_project_kept_in_one_long_page.html' \
	>repos/wide/.git/description
seq 1 123456 >repos/wide/numbers.txt
git -C repos/wide add numbers.txt
commit_all repos/wide 'Numbers' 1700000000
git -C repos/wide rm -q numbers.txt
mkdir repos/wide/many
for i in $(seq 1 1234); do echo "$i" >"repos/wide/many/$i"; done
git -C repos/wide add -A
commit_all repos/wide 'Many small files instead of one large one' 1700001000
git -C repos/wide rm -q -r many
commit_file repos/wide src/a_source_file_whose_name_alone_is_wider_than_the_screen_of_a_phone.c 'int x;
' "Fold the small files into one source file again, and name it after what it holds: src/a_source_file_whose_name_alone_is_wider_than_the_screen_of_a_phone.c (closes the long-standing request for fewer files)" 1700002000
git -C repos/wide commit -q --amend --no-edit \
	--author='Maximiliane Konstantina Wolfeschlegelsteinhausenbergerdorff <max@example.org>'
git -C repos/wide branch topic/an_experiment_whose_branch_name_is_wider_than_the_screen_of_a_phone
wide_head=$(git -C repos/wide rev-parse HEAD)
render_site wide

node "$dir/check.mjs" "$SCRATCH/site" "$out/shots" \
	index=/index.html about=/proj/about.html log=/proj/log.html "commit=/proj/commit/$head.html" \
	file=/proj/file/src/main.c.html files=/proj/files.html refs=/proj/refs.html \
	tree=/rich/tree/src/index.html root=/rich/tree/index.html \
	rfile=/rich/file/src/main.c.html "rcommit=/rich/commit/$rich_head.html" \
	wlog=/wide/log.html wfiles=/wide/files.html wrefs=/wide/refs.html "wcommit=/wide/commit/$wide_head.html" \
	wfile=/wide/file/src/a_source_file_whose_name_alone_is_wider_than_the_screen_of_a_phone.c.html
status=$?
echo "screenshots: $out/shots"
if [ "$status" -eq 0 ] && [ -n "${DOCS:-}" ]; then
	for name in log commit file about tree; do
		cp "$out/shots/$name-light.png" "$DOCS/$name.png"
	done
	cp "$out/shots/rfile-light.png" "$DOCS/file-path.png"
	cp "$out/shots/about-dark.png" "$DOCS/about-dark.png"
	cp "$out/shots/tree-dark.png" "$DOCS/tree-dark.png"
	cp "$out/shots/rfile-dark.png" "$DOCS/file-path-dark.png"
fi
exit "$status"
