#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a short, fixed time
# (FUZZ_SECONDS, default 20) from the seed corpus in tests/fuzz/corpus.
# A longer run: FUZZ_SECONDS=3600 tests/fuzz/run_fuzzers.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
# Without clang: exit code 77, and a line in $QUILLON_SKIP_LOG when
# scripts/test.sh asks for one.
if ! command -v clang++ >/dev/null; then
  echo "clang++ not found: fuzzing skipped"
  [ -n "${QUILLON_SKIP_LOG:-}" ] && echo "fuzzing: clang++ not found" >>"$QUILLON_SKIP_LOG"
  exit 77
fi
seconds=${FUZZ_SECONDS:-20}
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQUILLON_FUZZ=ON \
  -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets="form settings address tokens reply decoders spool request http_answer"
# shellcheck disable=SC2046
ninja -C "$build" -j "${JOBS:-2}" $(for t in $targets; do echo "${t}_fuzz"; done)
# Undefined behaviour ends the run like a crash (a crash-* file), so that it
# fails this stage instead of scrolling past.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for target in $targets; do
  work=$(mktemp -d)
  cp tests/fuzz/corpus/$target/* "$work"/
  echo "--- $target: ${seconds}s"
  if ! (cd "$build" && ASAN_OPTIONS=detect_leaks=0 ./${target}_fuzz -max_total_time="$seconds" \
          -max_len=70000 -print_final_stats=0 "$work" 2>&1 | tail -n 3); then
    status=1
  fi
  # A crash leaves crash-* (or leak-/timeout-) files beside the binary.
  if ls "$build"/crash-* "$build"/timeout-* >/dev/null 2>&1; then
    echo "--- $target found a failing input:"; ls "$build"/crash-* "$build"/timeout-* 2>/dev/null
    status=1
  fi
  rm -rf "$work"
done
exit $status
