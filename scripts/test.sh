#!/usr/bin/env bash
# Runs every test: the plain and the sanitized build (unit and black-box tests),
# the Windows build under Wine, the soak test and short fuzzing runs (the
# deployment tests with real web, mail and browser components are ctest entries).
# Each stage that needs a tool the machine lacks says so and is skipped.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
failed=()
passed=()

stage() {
  local name=$1; shift
  echo "=== $name"
  if "$@"; then passed+=("$name"); else failed+=("$name"); echo "=== $name FAILED"; fi
}

build_and_ctest() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null &&
    ninja -C "$dir" -j "$jobs" &&
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
}

stage "plain build" build_and_ctest build
# Leak reports are off: the program leaves its tables to the process exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
stage "sanitized build" build_and_ctest build-asan -DQUILLON_SANITIZE=ON

# The Windows executable is cross-built here so that the Wine run below
# always tests the sources of this checkout, never an older build.
windows_build() {
  cmake -S . -B build-windows -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null &&
    ninja -C build-windows -j "$jobs"
}
if command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
  stage "windows build" windows_build
else
  echo "=== windows build skipped: no MinGW-w64 compiler"
fi

for extra in tests/wine/run_cli_tests.sh tests/fuzz/run_fuzzers.sh \
             tests/soak/run_soak.sh; do
  [ -x "$extra" ] || continue
  if [ "$extra" = tests/wine/run_cli_tests.sh ] &&
     [[ " ${failed[*]:-} " == *" windows build "* ]]; then
    failed+=("$extra"); echo "=== $extra not run: the Windows build failed"; continue
  fi
  stage "$extra" "$extra"
done

echo "stages passed: ${passed[*]:-none}"
echo "stages failed: ${failed[*]:-none}"
echo "${#passed[@]} passed, ${#failed[@]} failed"
[ ${#failed[@]} -eq 0 ]
