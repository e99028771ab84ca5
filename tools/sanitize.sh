#!/bin/sh
# sanitize.sh [thread]: builds both programs with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan/ and runs the whole test suite
# there: every end-to-end family takes its programs from CTest, so all of
# them run the sanitized binaries. Any sanitizer report fails the run (a
# test sees status 1 or a message on standard error it did not expect).
# With "thread": ThreadSanitizer in build-tsan/, and the families that
# walk histories, with four threads for every commit walk.
set -eu

if [ "${1:-}" = thread ]; then
	top=$(cd "$(dirname "$0")/.." && pwd)
	build="$top/build-tsan"
	cmake -S "$top" -B "$build" -DSANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build "$build" -j "${JOBS:-$(nproc)}" --target repopage repopage-index
	# A race report goes to standard error and ends the run with 66.
	TSAN_OPTIONS="halt_on_error=1:exitcode=66:second_deadlock_stack=1"
	REPOPAGE_JOBS=4
	export TSAN_OPTIONS REPOPAGE_JOBS
	cd "$build"
	exec ctest --output-on-failure -j "${JOBS:-$(nproc)}" -R 'e2e_(log|cache|faults|commits|files)'
fi

top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build-asan"
jobs=${JOBS:-$(nproc)}

cmake -S "$top" -B "$build" -DSANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs"

# Leaks in libgit2 itself, on error paths that only broken or crafted
# repositories reach (the tests make such repositories on purpose):
# - a reference whose target object is missing: revparse drops the
#   reference it looked up (revparse_lookup_object);
# - a commit that cannot be parsed during a revision walk: the fields parsed
#   so far are not freed (git_commit_list_parse);
# - a patch that cannot be set up: its path prefixes are not freed
#   (patch_generated_normalize_options);
# - a merge base that cannot be computed (a commit of the history cannot
#   be read): its queue is not freed (paint_down_to_common).
# And one of the sanitizer's own runtime: a run that ends while the thread
# that waits for signals is still starting leaves what the runtime had
# allocated to find that thread's stack (GetThreadStackTopAndBottom).
# The patterns match frames of the allocating stack, which the unwinder
# only sees in full without the fast frame-pointer walk: libgit2 is built
# without frame pointers.
supp="$build/lsan.supp"
cat >"$supp" <<'EOF'
leak:git_reference_dwim
leak:git_commit_list_parse
leak:patch_generated_normalize_options
leak:paint_down_to_common
leak:GetThreadStackTopAndBottom
EOF

# Leak checking stays on for every run. The fatal paths exit through err()
# with their records and handles still reachable from globals or from the
# frames below exit(), which LeakSanitizer does not count as leaks, so they
# need no exception. Reports go to standard error, where the families see
# them as unexpected output; the exit code 23 tells a leak from status 1.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:fast_unwind_on_malloc=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:exitcode=23"
LSAN_OPTIONS="suppressions=$supp:print_suppressions=0:exitcode=23"
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=23"
export ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS

cd "$build"
ctest --output-on-failure -j "$jobs"
