# contrib/nginx.conf and contrib/Caddyfile, run by Debian's nginx and Caddy
# on 127.0.0.1 over a web root that the post-receive hook fills with
# PRECOMPRESS=1: every page answers with its type, gzip clients get the
# .gz as it is, commit pages are cached for good and the rest revalidated,
# the hook's own files stay hidden, clones work over plain HTTP, the files
# of raw/ come as they are, as text or images, never sniffed and
# sandboxed, a repository's folder answers with its about page or its log,
# and the link checker passes over HTTP. contrib/robots.txt is checked too.
# Exits 77 (skipped) where nginx, Caddy or curl are not installed.
. ./lib.sh

PATH=$PATH:/usr/sbin
missing=
for tool in nginx caddy curl; do
	command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
done
if [ -n "$missing" ]; then
	echo "SKIP: server test: not installed:$missing (make check installs them as root)"
	exit 77
fi

contrib="$here/../../contrib"
export XDG_DATA_HOME="$HOME/.local/share" REPOPAGE REPOPAGE_INDEX

# Servers are started in the background and always stopped on the way out.
servers=
stop_servers() {
	for pid in $servers; do
		kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
	done
	servers=
}
trap stop_servers EXIT
trap 'exit 1' INT TERM HUP

# free_port: a TCP port of 127.0.0.1 that nothing listens on now.
free_port() {
	/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# await_server PID URL: waits until the server answers at URL; fails when
# it exits first or does not answer within a minute.
await_server() {
	tries=0
	while [ "$tries" -lt 600 ]; do
		curl -s -o /dev/null "$2" && return 0
		kill -0 "$1" 2>/dev/null || return 1
		sleep 0.1
		tries=$((tries + 1))
	done
	return 1
}

# A web root as the README lays it out: the hook renders proj.git with
# PRECOMPRESS=1, the repository is published beside its folder for clones,
# and robots.txt is the sample.
mkdir git www
git init -q --bare git/proj.git
git -C git/proj.git symbolic-ref HEAD refs/heads/master
ln -s "$contrib/post-receive" git/proj.git/hooks/post-receive
echo 'A project to serve' >git/proj.git/description
git clone -q git/proj.git work 2>/dev/null
git -C work symbolic-ref HEAD refs/heads/master
git -C git/proj.git config repopage.raw true
printf '<p>Hi</p><script>document.title = document.cookie</script>\n' >work/evil.html
printf '<svg xmlns="http://www.w3.org/2000/svg"><script>alert(document.cookie)</script></svg>\n' >work/evil.svg
cp "$here/../../assets/logo.png" work/a.png
git -C work add evil.html evil.svg a.png
commit_file work README 'Read me.
' 'Start' 1700000000
printf 'Notes.\n' >work/notes.html.abcdef
mkdir work/src
printf 'Not main.c.\n' | gzip -n >work/src/main.c.gz
git -C work add notes.html.abcdef src/main.c.gz
commit_file work src/main.c 'int main(void) { return 0; }
' 'Add main.c' 1700001000
git -C work tag -a -m 'First release' v1.0
commit_file work src/main.c 'int main(void) { return 1; }
' 'Fail on purpose' 1700002000
WEBROOT="$SCRATCH/www" ASSETS="$here/../../assets" PRECOMPRESS=1 \
	git -C work push -q --tags origin master >push.out 2>push.err
check_eq "render: hook says nothing" "" "$(cat push.err)"

# A second repository with an about page, which its folder's URL answers
# with.
git init -q --bare git/docs.git
git -C git/docs.git symbolic-ref HEAD refs/heads/master
ln -s "$contrib/post-receive" git/docs.git/hooks/post-receive
echo 'Documents' >git/docs.git/description
git -C git/docs.git config repopage.about true
new_repo docs
commit_file docs README.md '# Docs

Read [the guide](guide.md).
' 'Start the docs' 1700003000
commit_file docs guide.md 'The guide.
' 'Add the guide' 1700004000
WEBROOT="$SCRATCH/www" ASSETS="$here/../../assets" PRECOMPRESS=1 \
	git -C docs push -q "$SCRATCH/git/docs.git" master >push.out 2>push.err
check_eq "render docs: hook says nothing" "" "$(cat push.err)"
check_exists "render docs: about page" www/docs/about.html
ln -s "$SCRATCH/git/proj.git" www/proj.git
cp "$contrib/robots.txt" www/robots.txt
head=$(git -C work rev-parse HEAD)
first=$(git -C work rev-parse HEAD~2)

# raw/ as repopage writes it with repopage.raw on, which the hook's own
# compression and cleaning must leave as it is.
git -C work ls-tree -r --name-only HEAD | LC_ALL=C sort >raw.expected
(cd www/proj/raw && find . -type f | sed 's|^\./||' | LC_ALL=C sort) >raw.got
check_files_eq "raw/ holds HEAD's files, no .gz added, none taken away" raw.expected raw.got

# Temporary files as a run killed mid-way leaves them: of pages, of their
# .gz, of a page whose name is too long for its own temporary name, and of
# the cache.
temporaries="proj/log.html.AbC123 proj/commit/$head.html.Zz9Zz9 proj/atom.xml.a1B2c3
proj/file/.page.q1W2e3 proj/cache.AbCdEf123456 proj/log.html.gz.x1Y2z3 index.html.gz.AbC123
proj/style.css.gz.000000"
for path in $temporaries; do
	echo 'half a page' >"www/$path"
done

# type_of PATH: the Content-Type a server must send for PATH.
type_of() {
	case $1 in
	"" | *.html | */) echo 'text/html; charset=utf-8' ;;
	*.xml) echo 'application/atom+xml; charset=utf-8' ;;
	*.css) echo 'text/css; charset=utf-8' ;;
	*.png) echo 'image/png' ;;
	*.txt) echo 'text/plain; charset=utf-8' ;;
	esac
}

# raw_type_of PATH: the Content-Type a server must send for raw/PATH.
raw_type_of() {
	case $1 in
	*.png) echo 'image/png' ;;
	*) echo 'text/plain; charset=utf-8' ;;
	esac
}

# links PAGE: the relative links of a rendered page, one a line, as paths
# from the web root (PAGE is one too, "" the index); clone URLs and mail
# links left out.
links() {
	/usr/bin/python3 - "$1" <<'EOF'
import posixpath, re, sys
page = sys.argv[1]
data = open("www/" + (page or "index.html"), "rb").read()
data = re.sub(rb'<tr class="url">.*?</tr>', b"", data, flags=re.S)
for href in re.findall(rb'\s(?:href|src)="([^"#]*)', data):
    href = href.decode()
    if href == "" or href.startswith("mailto:"):
        continue
    target = posixpath.normpath(posixpath.join(posixpath.dirname(page), href))
    print("" if target == "." else target + ("/" if href.endswith("/") else ""))
EOF
}

# serve_checks NAME BASE: the checks of one server answering at BASE.
serve_checks() {
	name=$1
	base=$2

	# Every page, feed, style and image linked from the index and the log
	# answers 200 with its type; robots.txt too.
	{ echo ""; echo robots.txt; links ""; links proj/log.html; } | sort -u >urls
	check_contains "$name: the log links a commit page" urls "proj/commit/$head.html"
	while IFS= read -r path; do
		checks=$((checks + 1))
		got=$(curl -s -o /dev/null -w '%{http_code} %{content_type}' "$base/$path")
		[ "$got" = "200 $(type_of "$path")" ] || fail "$name: /$path: expected [200 $(type_of "$path")], got [$got]"
	done <urls

	# A client that takes gzip gets the .gz byte for byte, with the type
	# and the Last-Modified of the page; others get the page.
	for path in index.html proj/log.html "proj/commit/$head.html" proj/atom.xml proj/style.css; do
		curl -s -D plain.h -o plain.body "$base/$path"
		curl -s -H 'Accept-Encoding: gzip' -D gz.h -o gz.body "$base/$path"
		check_files_eq "$name: /$path plain" "www/$path" plain.body
		check_files_eq "$name: /$path with gzip" "www/$path.gz" gz.body
		check_eq "$name: /$path with gzip: encoding" "gzip" "$(header Content-Encoding gz.h)"
		check_eq "$name: /$path with gzip: type" "$(type_of "$path")" "$(header Content-Type gz.h)"
		check_eq "$name: /$path with gzip: varies" "Accept-Encoding" "$(header Vary gz.h)"
		check_eq "$name: /$path with gzip: Last-Modified of the page" \
			"$(header Last-Modified plain.h)" "$(header Last-Modified gz.h)"
	done

	# A repository's folder answers with its about page where it has one,
	# else with its log, as the page itself (its links are relative to the
	# folder), precompressed too; the web root with the index of all
	# repositories.
	for pair in proj/:proj/log.html docs/:docs/about.html :index.html; do
		path=${pair%%:*}
		page=${pair#*:}
		got=$(curl -s -o body -w '%{http_code} %{content_type}' "$base/$path")
		check_eq "$name: /$path: status and type" "200 text/html; charset=utf-8" "$got"
		check_files_eq "$name: /$path is $page" "www/$page" body
		curl -s -H 'Accept-Encoding: gzip' -o body "$base/$path"
		check_files_eq "$name: /$path with gzip is $page.gz" "www/$page.gz" body
	done

	# Commit pages are kept for good, the rest is asked after each time.
	curl -s -o /dev/null -D h "$base/proj/commit/$first.html"
	check_eq "$name: commit page cached for good" "public, max-age=31536000, immutable" "$(header Cache-Control h)"
	for path in "" proj/ docs/ proj/log.html proj/atom.xml proj/style.css proj.git/info/refs proj/raw/README; do
		curl -s -o /dev/null -D h "$base/$path"
		check_eq "$name: /$path revalidated" "no-cache" "$(header Cache-Control h)"
	done

	# The hook's own files at the top are not served, nor what a clone
	# does not need of a published repository.
	for path in .proj.cache .repopage.lock proj.git/config proj.git/hooks/post-receive; do
		check_exists "$name: $path is there" "www/$path"
		check_eq "$name: /$path hidden" 404 "$(curl -s -o /dev/null -w '%{http_code}' "$base/$path")"
	done

	# Temporary files are not served; a file page whose name is that of a
	# temporary file plus ".html" is.
	for path in $temporaries; do
		check_eq "$name: /$path hidden" 404 "$(curl -s -o /dev/null -w '%{http_code}' "$base/$path")"
	done
	check_eq "$name: a file page like a temporary name" 200 \
		"$(curl -s -o /dev/null -w '%{http_code}' "$base/proj/file/notes.html.abcdef.html")"

	# raw/ is the repository's files as anyone who pushes wrote them: sent
	# byte for byte (a .gz beside one is a file of its own, a name like a
	# temporary file's too), as plain text but for images (not SVG, which
	# can hold script), never sniffed and sandboxed, so nothing of it runs
	# in the site's origin; also where the path takes a detour.
	for file in evil.html evil.svg a.png README src/main.c notes.html.abcdef; do
		raw_checks "$file" "proj/raw/$file"
	done
	raw_checks evil.html proj/%72aw/evil.html
	raw_checks evil.svg proj//raw/evil.svg
	raw_checks a.png proj/../proj/./raw/a.png

	# The published repository clones over plain HTTP.
	git clone -q "$base/proj.git" "clone-$name" 2>clone.err
	check_eq "$name: clone" "$head" "$(git -C "clone-$name" rev-parse HEAD 2>/dev/null)"
	check_eq "$name: clone has the tag" "v1.0" "$(git -C "clone-$name" tag 2>/dev/null)"

	checks=$((checks + 1))
	if ! /usr/bin/python3 "$here/../tools/linkcheck" --http "$base/" >linkcheck.out 2>&1; then
		fail "$name: links over HTTP"
		head -n 20 linkcheck.out
	fi
}

# raw_checks FILE PATH: raw/FILE as the server answers /PATH, taken as it
# is, to the server of serve_checks.
raw_checks() {
	curl -s -m 60 --path-as-is -H 'Accept-Encoding: gzip' -D h -o body "$base/$2"
	check_files_eq "$name: /$2" "work/$1" body
	check_eq "$name: /$2: type" "$(raw_type_of "$1")" "$(header Content-Type h)"
	check_eq "$name: /$2: not sniffed" nosniff "$(header X-Content-Type-Options h)"
	check_eq "$name: /$2: sandboxed" sandbox "$(header Content-Security-Policy h)"
}

# header NAME FILE: the value of a response header (the last response's).
header() {
	tr -d '\r' <"$2" | awk -v n="$1" 'BEGIN { n = tolower(n) ":" }
		tolower($1) == n { sub(/^[^:]*: */, ""); v = $0 } END { print v }'
}

# nginx: the sample server block inside an http block like Debian's, with
# its own port, pid, logs and temporary files.
port=$(free_port)
mkdir -p nginx/logs nginx/tmp
sed -e "s|listen 80;|listen 127.0.0.1:$port;|" -e '/listen \[::\]:80;/d' \
	-e "s|root /srv/git-www;|root $SCRATCH/www;|" "$contrib/nginx.conf" >nginx/site.conf
check_contains "nginx: port set" nginx/site.conf "listen 127.0.0.1:$port;"
check_contains "nginx: root set" nginx/site.conf "root $SCRATCH/www;"
{
	[ "$(id -u)" -ne 0 ] || echo 'user root;'
	cat <<EOF
pid $SCRATCH/nginx/nginx.pid;
error_log $SCRATCH/nginx/logs/error.log;
events { worker_connections 64; }
http {
	sendfile on;
	include /etc/nginx/mime.types;
	default_type application/octet-stream;
	access_log $SCRATCH/nginx/logs/access.log;
	gzip on;
	client_body_temp_path $SCRATCH/nginx/tmp/body;
	proxy_temp_path $SCRATCH/nginx/tmp/proxy;
	fastcgi_temp_path $SCRATCH/nginx/tmp/fastcgi;
	uwsgi_temp_path $SCRATCH/nginx/tmp/uwsgi;
	scgi_temp_path $SCRATCH/nginx/tmp/scgi;
	include $SCRATCH/nginx/site.conf;
}
EOF
} >nginx/nginx.conf
nginx -p "$SCRATCH/nginx" -c "$SCRATCH/nginx/nginx.conf" -e "$SCRATCH/nginx/logs/error.log" \
	-g 'daemon off;' >nginx/logs/stdout 2>&1 &
servers="$servers $!"
if await_server "$!" "http://127.0.0.1:$port/"; then
	serve_checks nginx "http://127.0.0.1:$port"
else
	fail "nginx did not start"
	cat nginx/logs/stdout nginx/logs/error.log
fi

# Caddy: the sample with the test's address instead of the host name, and
# no admin endpoint and no HTTPS.
port=$(free_port)
{
	printf '{\n\tadmin off\n\tauto_https off\n}\n'
	sed -e "s|^git.example.org {|http://127.0.0.1:$port {|" \
		-e "s|root \* /srv/git-www|root * $SCRATCH/www|" "$contrib/Caddyfile"
} >Caddyfile
check_contains "caddy: address set" Caddyfile "http://127.0.0.1:$port {"
check_contains "caddy: root set" Caddyfile "root * $SCRATCH/www"
caddy run --config Caddyfile --adapter caddyfile >caddy.log 2>&1 &
servers="$servers $!"
if await_server "$!" "http://127.0.0.1:$port/"; then
	serve_checks caddy "http://127.0.0.1:$port"
else
	fail "caddy did not start"
	cat caddy.log
fi
stop_servers

# robots.txt: crawlers that follow its rules (the longest matching rule
# wins, Allow on a tie; "*" any text, "$" the end) may read the index and
# the log, files and refs pages, with their style and images, and nothing
# else of the site.
find www www/proj.git/ -type f ! -name '.*' ! -name '*.gz' | sed 's|^www||' | sort -u >paths
echo / >>paths
/usr/bin/python3 - www/robots.txt paths >robots.out <<'EOF'
import re, sys
rules = []
for line in open(sys.argv[1]):
    line = line.split("#")[0].strip()
    key, _, value = line.partition(":")
    if key.lower() in ("allow", "disallow") and value.strip():
        value = value.strip()
        pattern = re.escape(value.rstrip("$")).replace(r"\*", ".*") + ("$" if value.endswith("$") else "")
        rules.append((len(value), key.lower() == "allow", re.compile(pattern)))
for path in open(sys.argv[2]).read().split("\n"):
    if path:
        hits = [(n, allow) for n, allow, r in rules if r.match(path)]
        print(("allow" if max(hits, default=(0, True))[1] else "deny") + " " + path)
EOF
grep '^allow ' robots.out | sed 's/^allow //' >allowed
cat >expected <<EOF
/
/docs/favicon.png
/docs/files.html
/docs/log.html
/docs/logo.png
/docs/refs.html
/docs/style.css
/favicon.png
/index.html
/logo.png
/proj/favicon.png
/proj/files.html
/proj/log.html
/proj/logo.png
/proj/refs.html
/proj/style.css
/style.css
EOF
sort allowed >allowed.sorted
check_files_eq "robots.txt: what crawlers may read" expected allowed.sorted
check_contains "robots.txt: a commit page kept out" robots.out "deny /proj/commit/$head.html"

finish
