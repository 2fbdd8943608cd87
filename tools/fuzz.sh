#!/usr/bin/env bash
# Builds the libFuzzer target fuzz/fuzz_open.cpp with clang (ASan + UBSan +
# coverage) and runs it for SECONDS (default 60) on a fresh copy of the seed
# corpus fuzz/seeds/. Prints libFuzzer's final statistics; exits non-zero when
# the fuzzer finds a crash, a leak, a sanitizer report, a broken property or a
# timeout. The input that triggered it is left in BUILD_DIR/artifacts/.
#
#   bash tools/fuzz.sh            # one minute
#   bash tools/fuzz.sh 1800       # half an hour
#
# Environment:
#   BUILD_DIR   build folder (default: build/fuzz)
#   CXX         clang++ to use (default: clang++)
#   FUZZ_JOBS   parallel build jobs (default: 2)
#   FUZZ_FLAGS  extra libFuzzer flags
#   KEEP_CORPUS=1  keep the corpus grown by an earlier run instead of
#                  starting again from the seeds
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_TO_RUN=${1:-60}
case "$SECONDS_TO_RUN" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
BUILD_DIR=${BUILD_DIR:-build/fuzz}
FUZZ_JOBS=${FUZZ_JOBS:-2}
CXX=${CXX:-clang++}
case "$CXX" in
  *clang++*) CC=${CC:-${CXX/clang++/clang}} ;;
  *) echo "fuzz.sh needs clang++ (libFuzzer); CXX=$CXX" >&2; exit 2 ;;
esac
export CC CXX

generator=()
if command -v ninja >/dev/null 2>&1 && [ ! -f "$BUILD_DIR/Makefile" ]; then
  generator=(-G Ninja)
fi

echo "== building fuzz_open with $CXX in $BUILD_DIR"
cmake -S . -B "$BUILD_DIR" "${generator[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAGLEX_FUZZ=ON \
  -DTAGLEX_BUILD_TESTS=OFF \
  -DTAGLEX_BUILD_PYTHON=OFF \
  -DTAGLEX_SANITIZE= >/dev/null
cmake --build "$BUILD_DIR" -j "$FUZZ_JOBS" --target fuzz_open

corpus="$BUILD_DIR/corpus"
artifacts="$BUILD_DIR/artifacts/"
rm -rf "$artifacts"
if [ "${KEEP_CORPUS:-0}" != 1 ]; then
  rm -rf "$corpus"
fi
mkdir -p "$corpus" "$artifacts"
cp fuzz/seeds/* "$corpus"/
echo "== fuzzing for ${SECONDS_TO_RUN}s from $(ls "$corpus" | wc -l) inputs"

# -close_fd_mask=2: the library reports every internal error on stderr, which
# the fuzzer provokes constantly; libFuzzer and the sanitizers keep their own
# copy of stderr for their reports.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
log="$BUILD_DIR/fuzz.log"
set +e
"$BUILD_DIR/fuzz/fuzz_open" \
  -max_total_time="$SECONDS_TO_RUN" \
  -max_len=4096 \
  -timeout=10 \
  -rss_limit_mb=2048 \
  -dict=fuzz/tlex.dict \
  -close_fd_mask=2 \
  -print_final_stats=1 \
  -artifact_prefix="$artifacts" \
  ${FUZZ_FLAGS:-} \
  "$corpus" >"$log" 2>&1
status=$?
set -e

# libFuzzer's progress goes to the log only; print the last status line
# (executions, coverage, corpus) and the totals.
echo "== final stats"
grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1 || true
grep -E '^Done [0-9]+ runs|^stat::' "$log" || true

if [ "$status" -ne 0 ]; then
  tail -n 80 "$log" >&2
  echo "== fuzz_open FAILED (exit $status); full log in $log; reproducer(s):" >&2
  ls -l "$artifacts" >&2 || true
  exit "$status"
fi
echo "== fuzz_open: no findings in ${SECONDS_TO_RUN}s"
