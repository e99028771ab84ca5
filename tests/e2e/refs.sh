# The refs page: which tables appear, the order of rows (kind, newest author
# time, byte order of names), annotated and symbolic references, and the
# gathering cut short or failing. One whole page against a golden file.
. ./lib.sh

table() {
	printf '<h2>%s</h2><table id="%s"><thead>\n<tr><td><b>Name</b></td><td><b>Last commit date</b></td><td><b>Author</b></td>\n</tr>\n</thead><tbody>\n' "$1" "$2"
}

frame_end() {
	printf '</div>\n</body>\n</html>\n'
}

# check_no_body WHAT PAGE: the page has its frame and nothing between.
check_no_body() {
	frame_end >"$SCRATCH/want"
	check_content "$1" "$2" <"$SCRATCH/want"
}

# --- The whole page ---------------------------------------------------------
new_repo refs-demo
r=refs-demo
rm -f $r/.git/description
commit_all $r "c1" 1600000000
c1=$(git -C $r rev-parse HEAD)
GIT_AUTHOR_NAME="Bob \"B\" O'Neil & Co" GIT_AUTHOR_DATE="@1650000000 +0530" \
	git -C $r commit -q --allow-empty -m c2
c2=$(git -C $r rev-parse HEAD)
commit_all $r "c3" 1700000000
git -C $r branch old "$c1"
git -C $r symbolic-ref refs/heads/alias refs/heads/master
git -C $r update-ref refs/remotes/origin/master "$c2"
GIT_COMMITTER_NAME="Tom Tagger" GIT_COMMITTER_DATE="@1690000000 +0000" \
	git -C $r tag -a -m release v1 "$c1"
for t in rel-9 rel-10 "q<&>\"'"; do git -C $r tag "$t" "$c2"; done
git -C $r tag alpha
git -C $r tag Zeta
run_site out ../$r
check_eq "status" 0 "$status"
check_files_eq "whole refs page" "$GOLDEN/refs-page.html" out/refs.html

# --- Nothing, only tags, only branches --------------------------------------
new_repo none
run_site out-none ../none
check_no_body "no refs at all" out-none/refs.html

new_repo remote
commit_all remote "c"
git -C remote update-ref refs/remotes/origin/master HEAD
git -C remote update-ref -d refs/heads/master
run_site out-remote ../remote
check_no_body "only a remote-tracking ref" out-remote/refs.html

new_repo tags
commit_all tags "c"
git -C tags tag t1
git -C tags update-ref -d refs/heads/master
run_site out-tags ../tags
check_content "only tags" out-tags/refs.html <<'EOF'
<h2>Tags</h2><table id="tags"><thead>
<tr><td><b>Name</b></td><td><b>Last commit date</b></td><td><b>Author</b></td>
</tr>
</thead><tbody>
<tr><td>t1</td><td>2023-11-14 22:13</td><td>Ann Author</td></tr>
</tbody></table><br/>
</div>
</body>
</html>
EOF

new_repo branches
commit_all branches "c"
run_site out-branches ../branches
check_content "only branches" out-branches/refs.html <<'EOF'
<h2>Branches</h2><table id="branches"><thead>
<tr><td><b>Name</b></td><td><b>Last commit date</b></td><td><b>Author</b></td>
</tr>
</thead><tbody>
<tr><td>master</td><td>2023-11-14 22:13</td><td>Ann Author</td></tr>
</tbody></table><br/>
</div>
</body>
</html>
EOF

# --- A tag of a tree ends the gathering where the iterator meets it ---------
# Which references come before it is the iterator's business: only check
# that it never shows, that the page is whole, and that the tags feed lists
# the same tags as the page.
new_repo treetag
commit_all treetag "c"
for t in a1 m5 z9; do git -C treetag tag $t; done
git -C treetag tag tree-tag 'HEAD^{tree}'
run_site out-treetag ../treetag
check_eq "tag of a tree: status" 0 "$status"
check_absent "tag of a tree: not listed" out-treetag/refs.html "tree-tag"
before_end=$(tail -n 4 out-treetag/refs.html | head -n 1)
[ "$before_end" != '<div id="content">' ] || before_end='</tbody></table><br/>' # empty body
check_eq "tag of a tree: tables closed" '</tbody></table><br/>' "$before_end"
sed -n 's|^<tr><td>\([a-z0-9]*\)</td>.*|\1|p' out-treetag/refs.html | grep -v master >"$SCRATCH/actual"
sed -n 's|^<title type="text">\[\(.*\)\] c</title>$|\1|p' out-treetag/tags.xml >"$SCRATCH/expected"
check_files_eq "tag of a tree: feed and page agree" "$SCRATCH/expected" "$SCRATCH/actual"

# --- A symbolic branch that does not resolve: nothing can be listed ---------
new_repo dangling
commit_all dangling "c"
git -C dangling tag t1
git -C dangling symbolic-ref refs/heads/broken refs/heads/nowhere
run_site out-dangling ../dangling
check_eq "dangling symbolic branch: status" 0 "$status"
check_no_body "dangling symbolic branch: empty body" out-dangling/refs.html
check_absent "dangling symbolic branch: no feed entry" out-dangling/tags.xml "<entry>"

finish
