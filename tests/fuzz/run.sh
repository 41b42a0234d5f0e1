#!/usr/bin/env bash
# Builds the fuzz target with clang in BUILD-DIR, writes its first corpus
# there, and fuzzes the decoding for SECONDS (default 60). It fuzzes in a
# process of its own (libFuzzer's fork mode), so that an input that takes
# more than the decoding helper may (an allocation beyond its memory bound, a
# second of processor time, well above what it allows a file this small) is
# set aside as one the helper's limits stop, and the fuzzing goes on; a crash,
# a sanitizer report or a leak ends it. Inputs that ever failed are kept in
# tests/fuzz/regressions and run first.
#
# Usage: run.sh BUILD-DIR [SECONDS]
# Exits 0 when nothing was found, 1 with what was found (in BUILD-DIR/artifacts),
# 77 (skipped) without clang and its libFuzzer run time.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=$1
SECONDS_TO_RUN=${2:-60}

clang=$(command -v clang++-14 || command -v clang++ || true)
if [ -z "$clang" ] || [ ! -f "$("$clang" -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]; then
    echo "skipped: no clang with libFuzzer (Debian packages clang-14 and libclang-rt-14-dev)"
    exit 77
fi

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_CXX_COMPILER="$clang" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DIMAGE_VIEWER_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$BUILD" --target fuzz-lecture fuzz-graines --parallel "$(nproc 2>/dev/null || echo 2)" >/dev/null
rm -rf "$BUILD/corpus" "$BUILD/artifacts"
mkdir -p "$BUILD/artifacts"
"$BUILD/tests/fuzz/fuzz-graines" "$BUILD/corpus"

runtime=$(mktemp -d)
trap 'rm -rf "$runtime"' EXIT
# Reports name functions, and the leak suppressions match them, only when
# the sanitizers find llvm-symbolizer (Debian package llvm-14). The target's
# own scratch files go in the run's folder: a process stopped at a limit
# leaves them behind.
symbolizer=$("$clang" -print-prog-name=llvm-symbolizer)
[ -x "$symbolizer" ] || symbolizer=
export ASAN_SYMBOLIZER_PATH=$symbolizer QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$runtime TMPDIR=$runtime \
    ASAN_OPTIONS=halt_on_error=1:quarantine_size_mb=64:fast_unwind_on_malloc=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
suppressions=suppressions=$ROOT/tests/lsan-system-libraries.supp:print_suppressions=0
# Leaks: libFuzzer looks for them after each input that reaches new code, and
# afterwards every input the corpus kept is read again in one process, whose
# exit is checked; not at the exits of fork mode's own processes, where a
# leak would name no input.
set +e
LSAN_OPTIONS=$suppressions:leak_check_at_exit=0 \
    "$BUILD/tests/fuzz/fuzz-lecture" "$BUILD/corpus" "$HERE/regressions" \
    -fork=1 -ignore_timeouts=1 -ignore_ooms=1 -ignore_crashes=0 \
    -max_total_time="$SECONDS_TO_RUN" -timeout=1 -malloc_limit_mb=1104 -rss_limit_mb=1536 \
    -max_len=16384 -artifact_prefix="$BUILD/artifacts/" -print_final_stats=1 2> "$BUILD/fuzz.log"
status=$?
# Once more, every input kept, with room for those the helper's limits stop.
LSAN_OPTIONS=$suppressions \
    "$BUILD/tests/fuzz/fuzz-lecture" "$BUILD/corpus" "$HERE/regressions" -runs=0 -timeout=30 \
    -malloc_limit_mb=4096 -rss_limit_mb=4096 -artifact_prefix="$BUILD/artifacts/" 2> "$BUILD/corpus.log"
corpus_status=$?
set -e
grep -E '^(INFO: -fork=|#[0-9]+: cov:.*exec/s)' "$BUILD/fuzz.log" | tail -n 2 || true
contained=$(find "$BUILD/artifacts" -type f \( -name 'timeout-*' -o -name 'oom-*' -o -name 'slow-unit-*' \) | sort)
[ -z "$contained" ] || echo "stopped by the helper's limits, not findings: $(wc -w <<<"$contained") input(s)"
found=$(find "$BUILD/artifacts" -type f -not \( -name 'timeout-*' -o -name 'oom-*' -o -name 'slow-unit-*' \) | sort)
# Fork mode exits with the status of its last process, even one stopped at
# a limit it was told to set aside: that is no finding.
case $status in
    70) [ -z "$(find "$BUILD/artifacts" -name 'timeout-*')" ] || status=0 ;;
    71) [ -z "$(find "$BUILD/artifacts" -name 'oom-*')" ] || status=0 ;;
esac
if [ "$status" -ne 0 ] || [ -n "$found" ]; then
    tail -n 60 "$BUILD/fuzz.log"
    echo "FAIL: the fuzzer found $(wc -w <<<"$found") input(s) (status $status): keep each in $HERE/regressions once fixed"
    echo "$found"
    exit 1
fi
if [ "$corpus_status" -ne 0 ]; then
    tail -n 60 "$BUILD/corpus.log"
    echo "FAIL: reading the corpus again (status $corpus_status)"
    exit 1
fi
echo "ok: nothing found in ${SECONDS_TO_RUN} s; the $(find "$BUILD/corpus" -type f | wc -l) inputs kept read again without a leak"
