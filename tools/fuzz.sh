#!/bin/sh
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded time; the corpora stay in build-fuzz/corpus/ for the next run.
# A crash leaves its input as build-fuzz/crash-<target>-*.
# usage: tools/fuzz.sh [seconds per target, default 20]
set -eu

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-fuzz"
seconds=${1:-20}
targets="fuzz_escape fuzz_arguments fuzz_cache_head fuzz_file_lines"

cmake -S "$top" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DFUZZ=ON \
	-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target $targets

# seed TARGET NAME BYTES: one starting input (printf format).
seed() {
	mkdir -p "$build/corpus/$1"
	[ -e "$build/corpus/$1/$2" ] || printf -- "$3" >"$build/corpus/$1/$2"
}
seed fuzz_escape markup 'a<b>&"c'"'"'\r\n\0x'
seed fuzz_escape utf8 '\303\251 \355\240\200 \357\277\276 \360\237\230\200 \364\220\200\200 \300\257'
seed fuzz_arguments options '-c\0cache\0-u\0https://example.org/\0repo'
seed fuzz_arguments limit '-l\0 +5\0-x\0-\0repo'
seed fuzz_file_lines c '\006\002main.c\000\003\001\010\003\006int a; /* <&>\r\n" */\n\0x'
seed fuzz_file_lines shebang '\003\002run\000\002\004\003\001\003#!/usr/bin/env -S python3 -u\n# vim: set ft=python:'
seed fuzz_cache_head id '0123456789abcdef0123456789ABCDEF01234567\n<tr></tr>\n'

failed=
for target in $targets; do
	echo "fuzz: $target for ${seconds}s"
	"$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
		-artifact_prefix="$build/crash-$target-" "$build/corpus/$target" \
		>"$build/$target.log" 2>&1 || failed="$failed $target"
	grep -E '^stat::number_of_executed_units|^Done' "$build/$target.log" || true
done
if [ -n "$failed" ]; then
	for target in $failed; do
		echo "fuzz: $target FAILED, see $build/$target.log"
		grep -A 30 -E '^==[0-9]+==ERROR|deadly signal|SUMMARY' "$build/$target.log" | head -n 40
	done
	exit 1
fi
echo "fuzz: no failure"
