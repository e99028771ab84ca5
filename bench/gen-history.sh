#!/bin/sh
# gen-history.sh DEST [COMMITS [PROFILE]]: writes a bare repository DEST with
# a made-up but fixed history (10000 commits by default). PROFILE "default":
# a tree of about 3000 files, small and large hunks, renames with and without
# edits, binary files, a few large files, a side branch merged every 200
# commits, tags. PROFILE "wide": a tree of about 4500 small files in about
# 300 directories up to five levels deep; commits touch one to five files,
# mostly in one directory, with now and then a large commit, a directory
# moved, added or removed, renames, and a side branch merged every 300
# commits; the diffs there cost little beside the trees they walk.
# Dates, names and contents come from a seeded generator, so every run gives
# the same commit ids. The stream is written by perl (perl-base, always
# there on Debian) and read by git fast-import.
set -eu

[ $# -ge 1 ] && [ $# -le 3 ] || { echo "usage: $0 DEST [COMMITS [PROFILE]]" >&2; exit 1; }
dest=$1
commits=${2:-10000}
profile=${3:-default}
case $profile in
default | wide) ;;
*) echo "$0: unknown profile $profile" >&2; exit 1 ;;
esac
[ ! -e "$dest" ] || { echo "$0: $dest exists" >&2; exit 1; }

export GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null LC_ALL=C
git init -q --bare "$dest"
git -C "$dest" symbolic-ref HEAD refs/heads/master

# The stream ends in "done": a generator that stops short fails the import
# (a pipe tells no exit status but the last).
perl - "$commits" "$profile" <<'EOF' | git -C "$dest" fast-import --quiet --done
use strict;
use warnings;
no warnings "qw"; # the word list has commas in it
binmode STDOUT;

my $total = shift;
my $wide = shift eq "wide";
my $seed = 20240611;
# Park-Miller: the products stay below 2^53, so any perl gives the same run.
sub rnd { $seed = ($seed * 16807) % 2147483647; return $seed % $_[0]; }
sub pick { return $_[rnd(scalar @_)]; }

my @WORDS = qw(int char return if else while for struct static const void
	size_t buffer length count index value result error state node list
	tree commit parse write read open close free alloc next prev head tail
	key map set get update check flag mode path name file line text data
	offset limit table entry item begin end start stop (x) [i] {} = == !=
	+ - * / < > && || & ; , 0 1 42 "ok" 'c' -1 NULL nullptr);
my @PEOPLE = (["Ada Byron", "ada\@example.org", "+0000"],
	["Bo Lindqvist", "bo\@example.se", "+0100"],
	["Chandra Rao", "chandra\@example.in", "+0530"],
	["Dmitri Ivanov", "dmitri\@example.ru", "+0300"],
	["Emi Tanaka", "emi\@example.jp", "+0900"],
	["Femi Adeyemi", "femi\@example.ng", "+0100"],
	["Gus O'Neil & Sons", "gus\@example.com", "-0500"],
	["Hana Novak", "hana\@example.cz", "+0200"]);
my @VERBS = ("Fix", "Add", "Remove", "Rework", "Simplify", "Document", "Speed up",
	"Clean up", "Test", "Rename");

sub text_line {
	my $line = "\t" x rnd(3);
	$line .= pick(@WORDS) . " " for 0 .. rnd(9);
	return "$line\n";
}
sub text_lines { return [map { text_line() } 1 .. $_[0]]; }
sub binary_data { return join "", map { chr(rnd(256)) } 1 .. $_[0]; }

my %text;       # path -> lines of a text file on master
my %binary;     # path -> content of a binary file on master
my @text_paths; # the keys of %text in a fixed order, for picking
my %locked;     # paths the open side branch changes: master leaves them
my %side;       # path -> lines on the side branch while it is open
my $mark = 0;   # marks are commit numbers: :1 is the root commit
my $time = 1500000000;

sub quote { return "\"$_[0]\""; }
sub blob_op {
	my ($mode, $path, $data) = @_;
	return "M $mode inline " . quote($path) . "\ndata " . length($data) . "\n$data\n";
}
sub text_op { return blob_op("100644", $_[0], join "", @{$_[1]}); }

sub add_text {
	my ($path, $lines) = @_;
	push @text_paths, $path unless exists $text{$path};
	$text{$path} = $lines;
	return text_op($path, $lines);
}
sub drop_text {
	my $path = shift;
	delete $text{$path};
	@text_paths = grep { $_ ne $path } @text_paths;
}
sub free_path {
	while (1) {
		my $path = pick(@text_paths);
		return $path unless $locked{$path} || $path =~ m{^data/};
	}
}

# One small hunk, two of them, or now and then a large one.
sub edit_lines {
	my $lines = shift;
	my $kind = rnd(20);
	for my $hunk (0 .. ($kind == 1 ? 1 : 0)) {
		my $at = rnd(@$lines + 1);
		my ($cut, $put) = $kind == 0 ? (rnd(300), rnd(300)) : (rnd(4), rnd(5));
		$cut = @$lines - $at if $at + $cut > @$lines;
		$put = 1 if $cut + $put == 0;
		splice @$lines, $at, $cut, @{text_lines($put)};
	}
}

sub new_name {
	my $old = shift;
	(my $dir = $old) =~ s{/[^/]*$}{};
	$dir = pick("src/core", "lib/util", "doc", "tests/unit", $dir);
	return sprintf "%s/moved-%d-%s", $dir, $mark, (split m{/}, $old)[-1];
}

sub commit {
	my ($ref, $from, $merge, $ops) = @_;
	$mark++;
	$time += 1800 + rnd(1800);
	my $who = pick(@PEOPLE);
	my $subject = pick(@VERBS) . " " . join(" ", map { pick(@WORDS) } 0 .. rnd(6));
	$subject = "Merge branch 'side'" if $merge;
	my $body = rnd(3) ? "" : "\n" . join("", @{text_lines(1 + rnd(5))});
	my $msg = "$subject\n$body";
	print "commit $ref\nmark :$mark\n";
	print "author $who->[0] <$who->[1]> $time $who->[2]\n";
	print "committer $who->[0] <$who->[1]> ", $time + rnd(600), " $who->[2]\n";
	print "data ", length($msg), "\n$msg\n";
	print "from :$from\n" if $from;
	print "merge :$merge\n" if $merge;
	print $ops, "\n";
	return $mark;
}

sub root_tree {
	my $ops = add_text("README.md", text_lines(40));
	$ops .= add_text("LICENSE", text_lines(20));
	$ops .= "M 120000 inline \"latest\"\ndata 9\nREADME.md\n";
	for my $top (qw(src lib doc tests tools include examples scripts web vendor api cli)) {
		for my $sub (qw(alpha beta gamma delta epsilon)) {
			for my $leaf (qw(one two three four five)) {
				for my $k (1 .. 10) {
					my $ext = pick(qw(c h txt md py));
					my $n = rnd(20) ? 5 + rnd(70) : 200 + rnd(800);
					$ops .= add_text("$top/$sub/$leaf/file$k.$ext", text_lines($n));
				}
			}
		}
	}
	$ops .= add_text("doc/notes & <ideas>.txt", text_lines(30));
	for my $k (1 .. 20) {
		$binary{"assets/image$k.bin"} = binary_data(2000 + rnd(60000));
	}
	$binary{"assets/archive.bin"} = binary_data(1000000);
	$ops .= blob_op("100644", $_, $binary{$_}) for sort keys %binary;
	# Two large text files: 50000 short lines, and about 4 MB of long ones.
	$ops .= add_text("data/table.csv", [map { "$_," . rnd(100000) . "," . pick(@WORDS) . "\n" } 1 .. 50000]);
	$ops .= add_text("data/corpus.txt", [map { join("", map { text_line() } 1 .. 8) =~ tr/\n/ /r . "\n" } 1 .. 20000]);
	return $ops;
}

# The changes of one commit on master at step $n.
sub master_ops {
	my $n = shift;
	my $ops = "";
	for (0 .. rnd(4)) {
		my $path = free_path();
		edit_lines($text{$path});
		$ops .= text_op($path, $text{$path});
	}
	if ($n % 37 == 0 || $n % 53 == 0) {
		my $old = free_path();
		my $new = new_name($old);
		$ops .= "R " . quote($old) . " " . quote($new) . "\n";
		my $lines = $text{$old};
		drop_text($old);
		if ($n % 53 == 0) {
			edit_lines($lines);
			$ops .= add_text($new, $lines);
		} else {
			push @text_paths, $new;
			$text{$new} = $lines;
		}
	}
	if ($n % 41 == 0) {
		my $path = sprintf "assets/image%d.bin", 1 + rnd(20);
		substr($binary{$path}, rnd(length $binary{$path}), 16) = binary_data(16);
		$ops .= blob_op("100644", $path, $binary{$path});
	}
	$ops .= add_text("src/new/added-$n.c", text_lines(10 + rnd(100))) if $n % 97 == 0;
	if ($n % 131 == 0) {
		my $path = free_path();
		drop_text($path);
		$ops .= "D " . quote($path) . "\n";
	}
	$ops .= blob_op("100755", $_, join "", @{$text{$_}}) for $n % 400 == 0 ? (free_path()) : ();
	for my $path ($n % 250 == 0 ? ("data/table.csv") : (), $n % 1000 == 0 ? ("data/corpus.txt") : ()) {
		edit_lines($text{$path});
		$ops .= text_op($path, $text{$path});
	}
	return $ops;
}

sub side_ops {
	my @open = sort keys %side;
	my $path = @open && rnd(2) ? pick(@open) : free_path();
	$locked{$path} = 1;
	$side{$path} //= [@{$text{$path}}];
	edit_lines($side{$path});
	return text_op($path, $side{$path});
}

# The wide profile. Directories of four levels under six top ones, two in
# five of the deepest with a fifth level: about 300 in all.
my @dirs;
sub wide_root_tree {
	for my $top (qw(core net ui storage tools docs)) {
		push @dirs, $top;
		for my $mid (qw(api impl util test)) {
			push @dirs, "$top/$mid";
			for my $low (qw(base extra more)) {
				push @dirs, "$top/$mid/$low";
				for my $leaf (qw(one two)) {
					push @dirs, "$top/$mid/$low/$leaf";
					push @dirs, "$top/$mid/$low/$leaf/deep" if rnd(5) < 2;
				}
			}
		}
	}
	my $ops = add_text("README.md", text_lines(40));
	$ops .= "M 120000 inline \"latest\"\ndata 9\nREADME.md\n";
	for my $dir (@dirs) {
		for my $k (1 .. 5 + rnd(20)) {
			my $ext = pick(qw(c h txt md py));
			my $n = rnd(20) ? 5 + rnd(50) : 200 + rnd(500);
			$ops .= add_text("$dir/file$k.$ext", text_lines($n));
		}
	}
	for my $k (1 .. 10) {
		$binary{"assets/image$k.bin"} = binary_data(2000 + rnd(20000));
	}
	$ops .= blob_op("100644", $_, $binary{$_}) for sort keys %binary;
	return $ops;
}

# A path beside $text_paths[$at]: the paths of one directory lie together.
sub near_path {
	my $at = shift;
	return $text_paths[($at + rnd(9)) % @text_paths];
}

sub edit_op {
	my $path = shift;
	edit_lines($text{$path});
	return text_op($path, $text{$path});
}

# Every file under $dir moved to $to, in one "R" of the directory.
sub move_dir {
	my ($dir, $to) = @_;
	for my $path (@text_paths) {
		my $old = $path;
		$text{$path} = delete $text{$old} if $path =~ s{^\Q$dir\E/}{$to/};
	}
	return "R " . quote($dir) . " " . quote($to) . "\n";
}

sub drop_dir {
	my $dir = shift;
	delete @text{grep { m{^\Q$dir\E/} } @text_paths};
	@text_paths = grep { !m{^\Q$dir\E/} } @text_paths;
	@dirs = grep { $_ ne $dir && !m{^\Q$dir\E/} } @dirs;
	return "D " . quote($dir) . "\n";
}

# One to five files, mostly of one directory; now and then a large commit,
# a rename, a directory moved, added or removed, a binary or a mode change.
sub wide_ops {
	my $n = shift;
	my $at = rnd(scalar @text_paths);
	my (%seen, $ops);
	for (0 .. rnd(5)) {
		my $path = near_path($at);
		$ops .= edit_op($path) unless $locked{$path} || $seen{$path}++;
	}
	$ops .= edit_op(free_path()) for $n % 997 == 0 ? (1 .. 100 + rnd(200)) : ();
	if ($n % 37 == 0 || $n % 53 == 0) {
		my $old = free_path();
		my $new = sprintf "%s/moved-%d-%s", pick(@dirs), $mark, (split m{/}, $old)[-1];
		$ops .= "R " . quote($old) . " " . quote($new) . "\n";
		$text{$new} = delete $text{$old};
		$_ = $new for grep { $_ eq $old } @text_paths;
		$ops .= edit_op($new) if $n % 53 == 0;
	}
	my @movable = grep { m{/one$} } @dirs; # all moved once in a long history
	if ($n % 1499 == 0 && @movable) {
		my $dir = pick(@movable);
		my $to = "$dir-moved-$n";
		unless (grep { $locked{$_} && m{^\Q$dir\E/} } @text_paths) {
			$ops .= move_dir($dir, $to);
			s{^\Q$dir\E(/|$)}{$to$1} for @dirs;
		}
	}
	if ($n % 503 == 0) {
		my $dir = pick(grep { tr{/}{} < 4 } @dirs) . "/added-$n";
		push @dirs, $dir;
		$ops .= add_text("$dir/part$_.c", text_lines(5 + rnd(40))) for 1 .. 3 + rnd(10);
	}
	my @added = grep { m{/added-} } @dirs;
	if ($n % 2003 == 0 && @added) {
		my $dir = pick(@added);
		$ops .= drop_dir($dir) unless grep { $locked{$_} && m{^\Q$dir\E/} } @text_paths;
	}
	if ($n % 41 == 0) {
		my $path = sprintf "assets/image%d.bin", 1 + rnd(10);
		substr($binary{$path}, rnd(length $binary{$path}), 16) = binary_data(16);
		$ops .= blob_op("100644", $path, $binary{$path});
	}
	$ops .= blob_op("100755", $_, join "", @{$text{$_}}) for $n % 400 == 0 ? (free_path()) : ();
	return $ops // "";
}

my $period = $wide ? 300 : 200; # of the side branch
my $master = commit("refs/heads/master", 0, 0, $wide ? wide_root_tree() : root_tree());
my ($n, $side_tip) = (1, 0);
while ($mark < $total) {
	if ($n % $period == 0 && $side_tip) {
		my $ops = join "", map { text_op($_, $text{$_} = $side{$_}) } sort keys %side;
		$master = commit("refs/heads/master", $master, $side_tip, $ops);
		$side_tip = 0;
		%side = ();
		%locked = ();
	} elsif ($n % $period == $period / 2 && $total - $mark > 150) {
		$side_tip = commit("refs/heads/side", $master, 0, side_ops());
	} elsif ($side_tip && rnd(25) == 0) {
		$side_tip = commit("refs/heads/side", $side_tip, 0, side_ops());
	} else {
		$master = commit("refs/heads/master", $master, 0, $wide ? wide_ops($n) : master_ops($n));
	}
	if ($n % 500 == 0) {
		my $tag = "v" . $n / 500;
		my $msg = "Release $tag\n";
		print "tag $tag\nfrom :$master\ntagger $PEOPLE[0][0] <$PEOPLE[0][1]> $time +0000\n";
		print "data ", length($msg), "\n$msg\n";
	} elsif ($n % 250 == 0) {
		print "reset refs/tags/snapshot-$n\nfrom :$master\n\n";
	}
	$n++;
}
print "done\n";
EOF

# fast-import's pack deltas each blob against the one before it in the
# stream; a full repack gives the layout of a real repository. One thread
# keeps the pack the same from run to run.
git -C "$dest" -c pack.threads=1 repack -q -a -d -f
git -C "$dest" prune-packed
