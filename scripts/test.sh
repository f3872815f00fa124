#!/usr/bin/env bash
# Runs every test: the plain and the sanitized build (unit, black-box and
# deployment tests, all ctest entries), the Windows build under Wine, short
# fuzzing runs and the soak test. Packages that are missing are installed
# first (scripts/install-deps.sh) when this runs as root or may use sudo
# without a password; QUILLON_NO_INSTALL=1 never installs.
#
# A stage passes, fails, or is skipped. Skipped: it could not run for want
# of a tool (it exits with 77), or it ran but left parts out: a ctest entry
# shown as Skipped, or a line its runners appended to $QUILLON_SKIP_LOG
# ("what: why", e.g. a Postfix row without Postfix). The last line is
# "N passed, M failed, K skipped", counting stages. The exit code is
# non-zero when a stage failed and, under CI (CI=true), also when one was
# skipped: CI runs every suite.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
jobs=${JOBS:-2}
skip_code=77
passed=() failed=() skipped=()
skip_notes=
last=
work=$(mktemp -d /tmp/quillon-test-XXXXXX)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
export QUILLON_SKIP_LOG=$work/skipped

install_missing() {
  local missing
  missing=$(scripts/install-deps.sh --missing | tr '\n' ' ')
  [ -z "$missing" ] && return 0
  if [ "${QUILLON_NO_INSTALL:-}" = 1 ]; then
    echo "=== not installing (QUILLON_NO_INSTALL=1): $missing"
  elif [ "$(id -u)" -eq 0 ] || sudo -n true 2>/dev/null; then
    echo "=== installing: $missing"
    scripts/install-deps.sh ||
      echo "=== installing failed: stages that need those packages will be skipped"
  else
    echo "=== cannot install (not root, no password-free sudo): $missing"
  fi
}

# stage NAME COMMAND...: runs the command and counts the stage.
stage() {
  local name=$1 rc; shift
  echo "=== $name"
  : >"$QUILLON_SKIP_LOG"
  "$@"
  rc=$?
  if [ $rc -ne 0 ] && [ $rc -ne $skip_code ]; then
    last=failed; failed+=("$name"); echo "=== $name FAILED"
  elif [ $rc -eq $skip_code ] || [ -s "$QUILLON_SKIP_LOG" ]; then
    last=skipped; skipped+=("$name"); echo "=== $name SKIPPED"
  else
    last=passed; passed+=("$name")
  fi
  if [ -s "$QUILLON_SKIP_LOG" ]; then
    echo "=== $name left out:"
    skip_notes+=$(sed "s|^|  $name: |" "$QUILLON_SKIP_LOG")$'\n'
    sed 's/^/  /' "$QUILLON_SKIP_LOG"
  elif [ $rc -eq $skip_code ]; then
    skip_notes+="  $name: could not run (see its output)"$'\n'
  fi
}

# Skipped ctest entries (the deployment suites exit with 77 without their
# tools) go into the skip log, so the stage counts as skipped.
build_and_ctest() {
  local dir=$1 rc; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null &&
    ninja -C "$dir" -j "$jobs" || return 1
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300 |
    tee "$work/ctest.out"
  rc=${PIPESTATUS[0]}
  sed -nE 's/^[[:space:]]+[0-9]+ - (.*) \(Skipped\)$/ctest \1: skipped/p' \
    "$work/ctest.out" >>"$QUILLON_SKIP_LOG"
  return "$rc"
}

# The Windows executable is cross-built here so that the Wine run below
# always tests the sources of this checkout, never an older build.
windows_build() {
  if ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
    echo "no MinGW-w64 compiler (apt-get install g++-mingw-w64-x86-64)"
    return $skip_code
  fi
  cmake -S . -B build-windows -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake >/dev/null &&
    ninja -C build-windows -j "$jobs"
}

not_run() { echo "not run: $1"; [ "$2" = skip ] && return $skip_code; return 1; }

install_missing
# The browser suite and the CLI suite's proof-of-work case share the pinned
# npm packages of tests/deploy: installed once here, before suites run side
# by side (two npm ci at once in one folder would spoil it).
if command -v npm >/dev/null 2>&1; then
  (cd tests/deploy && node -e '
    const lock = require("./package-lock.json").packages;
    for (const p of ["playwright-core", "altcha-lib", "altcha"]) {
      let have;
      try { have = require("./node_modules/" + p + "/package.json").version; } catch (e) {}
      if (have !== lock["node_modules/" + p].version) process.exit(1);
    }' 2>/dev/null || npm ci --no-audit --no-fund -q) ||
    echo "=== npm ci failed: the cases that need its packages count as not run"
fi
stage "plain build" build_and_ctest build
# Leak reports are off: the program leaves its tables to the process exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
stage "sanitized build" build_and_ctest build-asan -DQUILLON_SANITIZE=ON
stage "windows build" windows_build
case $last in
  passed) stage "wine" tests/wine/run_cli_tests.sh ;;
  skipped) stage "wine" not_run "there is no Windows build" skip ;;
  *) stage "wine" not_run "the Windows build failed" fail ;;
esac
stage "fuzzing" tests/fuzz/run_fuzzers.sh
stage "soak" tests/soak/run_soak.sh

echo "stages passed: ${passed[*]:-none}"
echo "stages failed: ${failed[*]:-none}"
echo "stages skipped: ${skipped[*]:-none}"
[ -n "$skip_notes" ] && printf '%s' "$skip_notes"
status=0
[ ${#failed[@]} -eq 0 ] || status=1
if [ "${CI:-}" = true ] && [ ${#skipped[@]} -gt 0 ]; then
  echo "CI: skipped stages fail the run, every suite must run here: ${skipped[*]}"
  status=1
fi
echo "${#passed[@]} passed, ${#failed[@]} failed, ${#skipped[@]} skipped"
exit $status
