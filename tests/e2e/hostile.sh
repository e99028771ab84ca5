# Crafted repositories, as anyone who can push can make them: tree entries
# that name "..", "." or hold "/", paths at and beyond the 1023-character
# limit, deep trees, a 50 MB line, NUL bytes, control characters and invalid
# UTF-8, dates far outside the usual range, a tag of a blob and a loop of
# symbolic references. Every run ends with status 0 or its fatal message,
# writes nothing outside its output directory, and leaves complete pages and
# well-formed feeds.
. ./lib.sh

ANN="Ann Author <ann@example.org>"

# check_line WHAT FILE LINE: FILE has LINE as a whole line.
check_line() {
	checks=$((checks + 1))
	grep -qxF -- "$3" "$2" 2>/dev/null || fail "$1: line [$3] not in $2"
}

EMPTY_TREE=4b825dc642cb6eb9a060e54bf8d69288fbee4904
: >"$SCRATCH/stdout"
: >"$SCRATCH/stderr"
mkdir -p box meta

# snapshot OUTDIR: everything in the scratch directory but OUTDIR (and the
# run's own stdout and stderr), with sizes and times of change.
snapshot() {
	find "$SCRATCH" -path "$1" -prune -o -path "$SCRATCH/meta" -prune -o \
		! -name stdout ! -name stderr -printf '%p %s %T@\n' | sort
}

# render NAME REPO ARGS...: renders REPO into box/NAME/site and checks that
# nothing else changed, the repository included.
render() {
	name=$1
	repo=$2
	shift 2
	site="$SCRATCH/box/$name/site"
	mkdir -p "$site"
	snapshot "$site" >meta/before
	run_site "$site" "$@" "$SCRATCH/$repo"
	snapshot "$site" >meta/after
	checks=$((checks + 1))
	if ! cmp -s meta/before meta/after; then
		fail "$name: written outside its output directory"
		diff meta/before meta/after | head -n 10
	fi
}

# check_site NAME [--allow-missing-commits]: the pages are complete, their
# links resolve, both feeds are well-formed XML and the HTML parses.
check_site() {
	site="$SCRATCH/box/$1/site"
	name=$1
	shift
	check_links "$site" "$@"
	checks=$((checks + 1))
	xmllint --noout "$site/atom.xml" "$site/tags.xml" 2>meta/xmllint.out ||
		{ fail "$name: feeds not well-formed"; head -n 5 meta/xmllint.out; }
	checks=$((checks + 1))
	find "$site" -name '*.html' -size -1000k -exec xmllint --html --noout {} + \
		>meta/xmllint.out 2>&1 ||
		{ fail "$name: HTML does not parse"; head -n 5 meta/xmllint.out; }
}

new_repo r
blob=$(printf 'evil\n' | git -C r hash-object -w --stdin)

# Entry names "..", "." and names holding "/" would lead out of "file/":
# they get no row and no page. Other names with control characters, invalid
# UTF-8, markup or a line feed are ordinary files.
sub=$(printf '100644\tinner\t%s\n' "$blob" | literal_tree r)
tree=$(printf '%s\t%s\t%s\n' \
	100644 '..' "$blob" \
	100644 '.' "$blob" \
	40000 '..' "$sub" \
	100644 'a/b' "$blob" \
	40000 '../../up' "$sub" \
	100644 'ctl\x01\x1b[m\x7f' "$blob" \
	100644 'bad\xff\xc3(' "$blob" \
	100644 '<q"&'"'"'>' "$blob" \
	100644 'new\x0aline' "$blob" \
	100644 'good' "$blob" | literal_tree r)
names=$(literal_commit r "$tree" "" "$ANN 1700000000 +0000" 'hostile names')
git -C r update-ref refs/heads/master "$names"
render names r
check_success "names"
check_site names
check_eq "names: pages" 5 "$(find box/names/site/file -type f -printf x | wc -c)"
for page in 'good' '<q"&'"'"'>' 'bad\377\303(' 'ctl\001\033[m\177' 'new\nline'; do
	check_exists "names: page" "box/names/site/file/$(printf "$page").html"
done
check_eq "names: rows" 5 "$(grep -c '^<tr><td>-rw-r--r--' box/names/site/files.html)"
check_contains "names: markup escaped" box/names/site/files.html \
	'<a href="file/%3Cq%22%26%27%3E.html">&lt;q&quot;&amp;&#39;&gt;</a>'
check_contains "names: bytes percent-encoded" box/names/site/files.html \
	'<a href="file/bad%FF%C3%28.html">'
check_absent "names: no row for a dot name" box/names/site/files.html '">..</a>'

# A name that begins with "/": no row; libgit2 cannot diff the tree, so
# the commit gets no page and is named.
tree=$(printf '40000\t/abs\t%s\n100644\tgood\t%s\n' "$sub" "$blob" | literal_tree r)
slash=$(literal_commit r "$tree" "$names" "$ANN 1700000100 +0000" 'leading slash')
git -C r update-ref refs/heads/master "$slash"
render slash r
slash_failed="$REPOPAGE: cannot diff commit $slash: unrecoverable internal error: '!((path)[0] == '/')'"
check_failure "leading slash" "$slash_failed"
check_site slash --allow-missing-commits
check_eq "leading slash: rows" 1 "$(grep -c '^<tr><td>-' box/slash/site/files.html)"
check_missing "leading slash: no page" "box/slash/site/commit/$slash.html"
check_eq "leading slash: no directory" "good.html" "$(ls box/slash/site/file)"

# An empty name makes the tree unreadable: no rows, no diff, no crash; both
# commits that cannot be diffed are named, newest first.
tree=$(printf '100644\t\t%s\n100644\tgood\t%s\n' "$blob" "$blob" | literal_tree r)
empty=$(literal_commit r "$tree" "$slash" "$ANN 1700000200 +0000" 'empty name')
git -C r update-ref refs/heads/master "$empty"
render empty-name r
check_failure "empty name" "$REPOPAGE: cannot diff commit $empty: failed to parse tree: can't parse filename
$slash_failed"
check_site empty-name --allow-missing-commits
check_eq "empty name: no rows" 0 "$(grep -c '^<tr><td>-' box/empty-name/site/files.html)"
check_eq "empty name: walk goes on past the skipped commits" "$names.html" "$(ls box/empty-name/site/commit)"

# Paths at the limit: 1023 characters of page path fit, 1024 do not; an
# entry path of 1024 characters stops at the join. Components stay below
# the file system's 255.
d200=$(head -c 200 /dev/zero | tr '\0' 'd')
dirs="$d200/$d200/$d200/$d200"
n208=$(head -c 208 /dev/zero | tr '\0' 'n')
# long_path_repo NAME PATH: a repository whose one file is PATH.
long_path_repo() {
	new_repo "$1"
	printf 'evil\n' | git -C "$1" hash-object -w --stdin >/dev/null
	git -C "$1" update-index --add --cacheinfo "100644,$blob,$2"
	commit_all "$1" "long path" 1700000000
}
long_path_repo fits "$dirs/${n208}x"
check_eq "long path: entry path" 1013 "$(printf '%s' "$dirs/${n208}x" | wc -c)"
render fits fits
check_success "1023-character page path"
check_exists "1023-character page path: page" "box/fits/site/file/$dirs/${n208}x.html"
check_site fits
long_path_repo page-long "$dirs/${n208}xy"
render page-long page-long
check_failure "1024-character page path" "repopage: path truncated: 'file/$dirs/${n208}xy.html'"
n220=$(head -c 220 /dev/zero | tr '\0' 'n')
long_path_repo entry-long "$dirs/$n220"
render entry-long entry-long
check_failure "1024-character entry path" "repopage: path truncated: '$dirs/$n220'"
check_missing "1024-character entry path: nothing under its directory" "box/entry-long/site/file/$d200"

# A name longer than the file system allows: its page cannot be opened.
n300=$(head -c 300 /dev/zero | tr '\0' 'n')
long_path_repo name-long "$n300"
render name-long name-long
check_failure "300-character name" "repopage: fopen: 'file/$n300.html': File name too long"

# Deep trees: 340 directories give a link prefix of 1023 characters, 341
# do not fit.
deep_path() {
	i=0
	while [ $i -lt "$1" ]; do
		printf 'd/'
		i=$((i + 1))
	done
	printf 'x'
}
long_path_repo deep "$(deep_path 340)"
render deep deep
check_success "340 directories deep"
check_exists "340 directories deep: page" "box/deep/site/file/$(deep_path 340).html"
check_contains "340 directories deep: prefix" "box/deep/site/file/$(deep_path 340).html" \
	"href=\"$(deep_path 341 | sed 's/d\//..\//g; s/x$//')style.css\""
check_site deep
long_path_repo deeper "$(deep_path 341)"
render deeper deeper
check_failure "341 directories deep" "repopage: path truncated: '$(deep_path 342 | sed 's/d\//..\//g; s/x$//')'"

# A file of one 50 MB line: one numbered line; in the diff one added line
# and libgit2's line for the missing newline at the end.
new_repo huge
head -c 50000000 /dev/zero | tr '\0' 'x' >huge/huge.txt
printf '<&>' >>huge/huge.txt
git -C huge add huge.txt
commit_all huge 'huge' 1700000000
render huge huge
check_success "50 MB line"
check_contains "50 MB line: one line" box/huge/site/files.html '>huge.txt</a></td><td class="num" align="right">1L</td>'
check_contains "50 MB line: counted once" box/huge/site/log.html '<td class="num" align="right">+2</td>'
check_eq "50 MB line: file page" "xxxxxx&lt;&amp;&gt;</pre>" "$(tail -c 2000 box/huge/site/file/huge.txt.html | grep -o 'xxxxxx&lt;&amp;&gt;</pre>')"
check_site huge
rm -rf box/huge huge

# A file page and a directory of pages with the same name: "x" has the
# page file/x.html, which the directory x.html needs as a directory.
new_repo clash
printf 'evil\n' | git -C clash hash-object -w --stdin >/dev/null
git -C clash update-index --add --cacheinfo "100644,$blob,x" --cacheinfo "100644,$blob,x.html/y"
commit_all clash 'clash' 1700000000
render clash clash
check_failure "page and directory of one name" "repopage: fopen: 'file/x.html/y.html': Not a directory"

# NUL bytes: early in a file it is binary; after the first 8000 bytes it is
# text and the NUL ends its line's text. A NUL in a message ends it.
new_repo nul
printf 'GIF\0\001' >nul/early.bin
{
	head -c 9000 /dev/zero | tr '\0' 'a'
	printf '\nbefore\0after\nlast\n'
} >nul/late.txt
git -C nul add .
commit_all nul 'files' 1700000000
tree=$(git -C nul rev-parse HEAD^{tree})
msg=$(literal_commit nul "$tree" "$(git -C nul rev-parse HEAD)" "$ANN 1700000100 +0000" 'kept\x00dropped <b>')
git -C nul update-ref refs/heads/master "$msg"
render nul nul
check_success "NUL bytes"
check_contains "NUL bytes: binary" box/nul/site/file/early.bin.html '<p>Binary file.</p>'
check_line "NUL bytes: line cut at NUL" box/nul/site/file/late.txt.html \
	'<a href="#l2" class="line" id="l2">      2</a> before'
check_line "NUL bytes: line after it" box/nul/site/file/late.txt.html \
	'<a href="#l3" class="line" id="l3">      3</a> last'
check_absent "NUL bytes: nothing after NUL" box/nul/site/file/late.txt.html 'after'
check_contains "NUL bytes: message cut" "box/nul/site/commit/$msg.html" '<title>kept - nul'
check_absent "NUL bytes: message rest" "box/nul/site/commit/$msg.html" 'dropped'
check_site nul

# Control characters and invalid UTF-8 in messages, names and tags: the
# pages carry them escaped for markup, the feeds drop what XML forbids.
new_repo ctl
ctlmsg=$(literal_commit ctl "$EMPTY_TREE" "" "$ANN 1700000000 +0000" 'sum\x01\x1b[31m\xff\xfe\xc3( <b>&

body \x0c\x7f \xed\xa0\x80 \xef\xbf\xbf end')
git -C ctl update-ref refs/heads/master "$ctlmsg"
git -C ctl tag "$(printf 'tag\377\303(')"
git -C ctl tag -a -m "$(printf 'annotated \001\377')" "$(printf 'ann-\342\202')"
# Control characters cannot be given to git tag: the reference is written
# by hand.
printf '%s\n' "$ctlmsg" >"ctl/.git/refs/tags/$(printf 'ctl\001\033')"
strange=$(literal_commit ctl "$EMPTY_TREE" "$ctlmsg" 'N\x01\xff&"x\x7f <e\x01\xff> 1700000100 +0000' 'by a strange name')
git -C ctl update-ref refs/heads/master "$strange"
render ctl ctl
check_success "control characters"
check_site ctl
check_contains "control characters: author escaped" box/ctl/site/log.html "$(printf 'N\001\377&amp;&quot;x\177')"
check_contains "control characters: feed author" box/ctl/site/atom.xml \
	"$(printf '<name>N\357\277\275&amp;&quot;x\177</name>')"
check_contains "control characters: feed drops controls" box/ctl/site/atom.xml \
	"$(printf '<title type="text">sum[31m\357\277\275\357\277\275\357\277\275( &lt;b&gt;&amp;</title>')"
"$REPOPAGE_INDEX" ctl >meta/index.html 2>meta/index.err
check_eq "control characters: index status" 0 "$?"

# Author dates far from today. Times whose year does not fit print nothing;
# a time libgit2 cannot read at all makes the commit unreadable, and as
# HEAD that is fatal before anything is written.
new_repo dates
for date in "-62135596800 +0000" "-100000000000 -0130" "253402300800 +0000" \
	"9223372036854775807 +0000" "-9223372036854775808 +0000" \
	"99999999999999999999 +0000" "1700000000 +9959" "abc +0000" "" \
	"67767976233316800 +0000" "67768036191676799 +0000" "1700000000 -0000"; do
	c=$(literal_commit dates "$EMPTY_TREE" "" "$ANN $date" "date [$date]")
	git -C dates update-ref refs/heads/master "$c"
	case=$(echo "date$date" | tr -c 'a-z0-9\n' '_')
	render "$case" dates
	case $date in
	99999999999999999999*|abc*)
		check_failure "author date [$date]" \
			"$REPOPAGE: cannot read HEAD: failed to parse signature - invalid Unix timestamp"
		check_eq "author date [$date]: nothing written" "" "$(ls "box/$case/site")" ;;
	*)
		check_success "author date [$date]"
		check_site "$case" ;;
	esac
	"$REPOPAGE_INDEX" dates >meta/index.html 2>meta/index.err
	check_eq "author date [$date]: index status" 0 "$?"
	eval "page_$case=box/$case/site/commit/$c.html"
done
check_contains "year 10000: short date" box/date253402300800__0000/site/log.html \
	'<tr><td>10000-01-01 00:00</td>'
check_line "year 10000: full date" "$page_date253402300800__0000" \
	'<b>Date:</b>   Sat,  1 Jan 10000 00:00:00 +0000'
check_contains "year 10000: feed" box/date253402300800__0000/site/atom.xml \
	'<published>10000-01-01T00:00:00Z</published>'
check_line "beyond gmtime: no date" "$page_date9223372036854775807__0000" '<b>Date:</b>   '
check_contains "year beyond int: no short date" box/date67768036191676799__0000/site/log.html \
	'<tr><td></td><td><a href="commit/'
check_line "year beyond int: no full date" "$page_date67768036191676799__0000" '<b>Date:</b>   '
check_contains "year beyond int: no feed date" box/date67768036191676799__0000/site/atom.xml \
	'<published></published>'
check_contains "largest year: short date" box/date67767976233316800__0000/site/log.html \
	'<tr><td>2147483647-12-'

# A tag of a blob ends the gathering of references, a loop of symbolic
# references empties the refs page, a HEAD in such a loop cannot be read.
new_repo refs
commit_file refs a 'a
' 'one' 1700000000
git -C refs tag blobtag "$(git -C refs rev-parse HEAD:a)"
git -C refs tag -a -m 'tree' treetag "$(git -C refs rev-parse HEAD^{tree})"
render blobtag refs
check_success "tag of a blob"
check_site blobtag
git -C refs tag -d blobtag treetag >/dev/null
git -C refs symbolic-ref refs/heads/loop1 refs/heads/loop2
git -C refs symbolic-ref refs/heads/loop2 refs/heads/loop1
render refloop refs
check_success "symbolic reference loop"
check_site refloop
check_eq "symbolic reference loop: empty refs page" 0 "$(grep -c '<h2>' box/refloop/site/refs.html)"
check_eq "symbolic reference loop: log" 1 "$(ls box/refloop/site/commit | wc -l)"
git -C refs symbolic-ref HEAD refs/heads/loop1
render headloop refs
check_failure "HEAD in a loop" "$REPOPAGE: cannot read HEAD: cannot resolve reference (>5 levels deep)"
check_eq "HEAD in a loop: nothing written" "" "$(ls box/headloop/site)"
"$REPOPAGE_INDEX" refs >meta/index.html 2>meta/index.err
check_eq "HEAD in a loop: index status" 0 "$?"
check_absent "HEAD in a loop: no index row" meta/index.html 'refs/log.html'

# A repository whose real path is longer than a 1024-byte path buffer: the
# real path has its own buffer of the system's size. Given relative to the
# working directory it renders; given as the long path its metadata path
# does not fit.
far="$SCRATCH/$d200/$d200/$d200/$d200/$d200"
mkdir -p "$far/site"
new_repo "$far/repo"
commit_file "$far/repo" a 'a
' 'far away' 1700000000
(cd "$far/site" && "$REPOPAGE" ../repo >"$SCRATCH/stdout" 2>"$SCRATCH/stderr")
status=$?
check_success "long real path"
check_contains "long real path: log" "$far/site/log.html" '>far away</a>'
(cd "$far" && "$REPOPAGE_INDEX" repo >"$SCRATCH/meta/index.html" 2>"$SCRATCH/meta/index.err")
check_eq "long real path: index status" 0 "$?"
check_contains "long real path: index row" meta/index.html '<a href="repo/log.html">repo</a>'
run_site box/far "$far/repo"
check_failure "long repodir" "repopage: path truncated: '$far/repo/description'"

# READMEs written to attack the about page's reader: raw HTML of every kind,
# event attributes, script links however spelled or encoded (in links,
# images, autolinks and references), quotes in titles, alt texts and info
# strings. Markdown or plain, nothing that runs script reaches the page.
# check_harmless WHAT PAGE: the page's content, as a browser parses it, has
# no element that runs or embeds content, no event or style attribute, no
# URL of a script or data scheme, nothing left of the payloads' markup.
check_harmless() {
	checks=$((checks + 1))
	content "$2" | /usr/bin/python3 -c '
import html.parser, re, sys
BAD = {"script", "iframe", "frame", "object", "embed", "svg", "math", "style", "link",
       "meta", "base", "form", "button", "textarea"}
URLS = {"href", "src", "action", "formaction", "srcset", "poster", "background", "xlink:href"}
faults = []
class Page(html.parser.HTMLParser):
    def handle_starttag(self, tag, attrs):
        if tag in BAD or (tag == "input" and ("type", "checkbox") not in attrs):
            faults.append("element " + tag)
        for name, value in attrs:
            if name.startswith("on") or name == "style":
                faults.append("attribute " + name)
            url = re.sub(r"[\t\n\r]", "", value or "").lstrip("".join(map(chr, range(33)))).lower()
            if name in URLS and url.startswith(("javascript:", "vbscript:", "data:", "file:")):
                faults.append("url " + value)
    handle_startendtag = handle_starttag
page = Page()
page.feed(sys.stdin.read())
page.close()
print("\n".join(faults))
sys.exit(1 if faults else 0)
' >meta/harmless.out 2>&1 || { fail "$1: script reaches the page"; head -n 5 meta/harmless.out; }
	check_eq "$1: markup of the payloads" 0 \
		"$(grep -ciE '<(script|iframe|svg|style)|(href|src)="[[:space:]]*(javascript|vbscript|data|file):| on[a-z]+="' "$2")"
}

new_repo readme
git -C readme config repopage.about true
cat >readme/README.md <<'EOF'
# <script>alert(1)</script> Title <img src=x onerror=alert(2)>

<script>alert(3)</script>

<iframe src="https://evil.example/"></iframe>

<svg onload="alert(4)"><circle/></svg>

<style>body { display: none }</style>

Inline <img src=x onerror="alert(5)">, <a href="javascript:alert(6)" onmouseover="alert(7)">html</a>,
<b onclick=alert(8)>b</b> and <svg/onload=alert(9)>.

[j1](javascript:alert(10)) [j2](JAVASCRIPT:alert(11)) [j3](java&#115;cript:alert(12))
[j4](jav&#x09;ascript:alert(13)) [j5](<  javascript:alert(14)>) [j6](&#x01;javascript:alert(15))
[j7](&#106;avascript&colon;alert(16)) [d1](data:text/html;base64,PHNjcmlwdD4=)
[v1](vbscript:msgbox(17)) [v2](VBScript:msgbox(18)) [f1](file:///etc/passwd) [f2](FILE:///etc/passwd)
![i1](javascript:alert(19)) ![i2](data:image/png;base64,iVBORw0KGgo=) ![i3](DaTa:image/svg+xml;base64,PHN2Zz4=)
![i4](vbscript:x) ![i5](file:///etc/hostname)
<javascript:alert(20)> <JavaScript:alert(21)> <vbscript:x> <data:text/html,x> <file:///etc/passwd>

[ref] and ![ref]

[ref]: javascript:alert(22) "title"

[t](https://example.org/ "x\" onmouseover=\"alert(23)") ![a" onerror="alert(24)](https://example.org/x.png)
[t2](https://example.org/ 'y&#39; onfocus=&#39;alert(25)')

```js" onclick="alert(26)
code
```

``` "><script>alert(27)</script>
code
```

Entities: &lt;script&gt;alert(28)&lt;/script&gt; &#60;script&#62; &amp;lt; &quot;

| <script>alert(29)</script> | x |
|---|---|
| <iframe src=x> | [c](javascript:alert(30)) |

- [ ] <script>alert(31)</script>
- [x] <img src=x onerror=alert(32)>
EOF
git -C readme add -A
commit_all readme "Hostile README"
render readme-md readme
check_success "hostile Markdown README"
check_site readme-md
check_harmless "hostile Markdown README" box/readme-md/site/about.html
check_contains "hostile Markdown README: entities stay text" box/readme-md/site/about.html \
	'Entities: &lt;script&gt;alert(28)&lt;/script&gt; &lt;script&gt; &amp;lt; &quot;'
check_absent "hostile Markdown README: no paragraph left empty" box/readme-md/site/about.html "<p></p>"
check_contains "hostile Markdown README: a dropped link keeps its text" box/readme-md/site/about.html \
	'<p>j1 j2 j3'
git -C readme mv README.md README
commit_all readme "Plain"
render readme-plain readme
check_success "hostile plain README"
check_site readme-plain
check_harmless "hostile plain README" box/readme-plain/site/about.html

finish
