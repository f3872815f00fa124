#!/bin/sh
# Runs the black-box tests against the Windows executable under Wine.
#
#   tests/wine/run_cli_tests.sh [path/to/quillon.exe] [unittest names...]
#
# The executable defaults to build-windows/quillon.exe (see docs/windows.md
# for the cross build). When platform_check.exe lies beside it, it runs
# first; then tests/wine/tls_checks.sh runs the TLS checks. Names after the
# executable (test_commands, or test_commands.SomeCase.test_x) narrow the
# run; without them every tests/cli/test_*.py runs. Builds nothing itself.
#
# Environment: WINEPREFIX (default: a prefix of our own, created on first
# use and kept), QUILLON_WINE (default: wine), QUILLON_PYTHON (default:
# /usr/bin/python3, which has aiosmtpd), QUILLON_WINEDEBUG (default:
# -all,err+all; e.g. +process,+loaddll,err+all to follow a failing start).
set -u

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

exe=${1:-$root/build-windows/quillon.exe}
[ $# -gt 0 ] && shift
case $exe in
  /*) ;;
  *) exe=$(pwd)/$exe ;;
esac
# A machine without the tools skips this suite: exit code 77, and a line
# in $QUILLON_SKIP_LOG when scripts/test.sh asks for one.
skip() {
  echo "run_cli_tests: skipped, $1"
  [ -n "${QUILLON_SKIP_LOG:-}" ] && echo "wine: $1" >>"$QUILLON_SKIP_LOG"
  exit 77
}
if [ ! -f "$exe" ] && ! command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
  skip "no MinGW-w64 compiler (apt-get install g++-mingw-w64-x86-64)"
fi
if [ ! -f "$exe" ]; then
  echo "run_cli_tests: no executable at $exe; build it first:" >&2
  echo "  cmake -S . -B build-windows -G Ninja" \
       "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake && ninja -C build-windows" >&2
  exit 1
fi

QUILLON_WINE=${QUILLON_WINE:-wine}
wine=$QUILLON_WINE
. "$here/wine_run.sh"
python=${QUILLON_PYTHON:-/usr/bin/python3}
if ! command -v "$QUILLON_WINE" >/dev/null 2>&1; then
  skip "$QUILLON_WINE not found (apt-get install wine wine64)"
fi
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)

# Headless and quiet: no Mono or Gecko installer prompt, no menu entries.
# Wine's error channel stays on: a run that Wine could not start then says
# why on its standard error (most of Wine's start-up failures are reported
# there only), and the harness tells Wine's lines from the program's.
WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/quillon/wineprefix}
WINEDEBUG=${QUILLON_WINEDEBUG:--all,err+all}
WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
TZ=${TZ:-UTC}
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES QUILLON_WINE TZ

# One run at a time per prefix: runs wait here for each other instead of
# sharing, and so stopping each other's, wineserver.
mkdir -p "$(dirname "$WINEPREFIX")"
if command -v flock >/dev/null 2>&1; then
  exec 9>"$WINEPREFIX.lock"
  flock 9
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "run_cli_tests: creating the Wine prefix $WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 </dev/null || true
  # Its wineserver would leave soon; the resident one below replaces it.
  "$wineserver" -w >/dev/null 2>&1
fi

# The wineserver holds a descriptor for every file, mapped library and pipe
# of every Wine process: some 170 for Wine's own services and about eight
# per run of the program. Once they run out, Wine cannot start the next
# run ("wine: failed to load ... c000011f", exit code 1, or exit code 53,
# or a hang), and the tests that start many runs at once would fail for
# it. The soft limit goes up to the hard one, and a root run raises the
# hard one too.
hard=$(ulimit -Hn)
if [ "$hard" != unlimited ] && [ "$hard" -lt 65536 ] && [ "$(id -u)" = 0 ]; then
  ulimit -Hn 65536 2>/dev/null
fi
ulimit -Sn "$(ulimit -Hn)" 2>/dev/null
echo "run_cli_tests: open files limit $(ulimit -Sn)"
# A wineserver from an earlier session keeps the limit it started with.
"$wineserver" -k >/dev/null 2>&1

# A resident wineserver turns each start of the program from seconds into
# a tenth of one; it is stopped again on the way out.
"$wineserver" -p >/dev/null 2>&1 </dev/null
trap '"$wineserver" -k >/dev/null 2>&1' EXIT
trap 'exit 130' INT TERM
# The first program of a session starts Wine's own services, which inherit
# its standard output and live as long as the wineserver. Started from a
# test, they would hold that test's pipe open and its read would never end.
"$QUILLON_WINE" wineboot >/dev/null 2>&1 </dev/null

status=0
passed=0
failed=0
skipped=0

# Adds the "N passed, N failed" closing line of a check run (its output,
# then its exit code) to the totals; a failed run without one counts once.
add_counts() {
  # Windows programs end their lines with CR LF.
  counts=$(printf '%s\n' "$1" | tr -d '\r' |
           sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' | tail -n 1)
  if [ -n "$counts" ]; then
    passed=$((passed + ${counts% *}))
    failed=$((failed + ${counts#* }))
  fi
  [ "$2" -eq 0 ] || { status=1; [ -n "$counts" ] || failed=$((failed + 1)); }
}

check=$(dirname "$exe")/platform_check.exe
if [ -f "$check" ]; then
  echo "== platform checks ($check)"
  wine_run "$check"
  echo "$out"
  add_counts "$out" $rc
fi

# TLS client checks against openssl s_server; exit 77 means skipped.
echo "== TLS checks"
out=$(sh "$here/tls_checks.sh" "$(dirname "$exe")" 2>&1)
rc=$?
echo "$out"
if [ $rc -eq 77 ]; then
  skipped=$((skipped + 1))
  [ -n "${QUILLON_SKIP_LOG:-}" ] &&
    echo "wine: TLS checks: $(echo "$out" | sed -n 's/^tls_checks: skipped, //p')" >>"$QUILLON_SKIP_LOG"
else
  add_counts "$out" $rc
fi

cd "$root/tests/cli" || exit 1
if [ $# -gt 0 ]; then
  modules="$*"
else
  modules=$(ls test_*.py | sed 's/\.py$//')
fi

echo "== CLI tests under Wine ($exe)"
log=$(mktemp)
probe=$(dirname "$exe")/captcha_probe.exe
[ -f "$probe" ] && export QUILLON_CAPTCHA_PROBE="$probe"
QUILLON_BIN=$exe PYTHONDONTWRITEBYTECODE=1 \
  "$python" -m unittest -v $modules >"$log" 2>&1
rc=$?
cat "$log"
# unittest closes with "Ran N tests" (subtests not counted) and "OK" or
# "FAILED (...)"; a test counts as failed once, however many of its
# subtests failed. The output holds bytes of the tests' hostile inputs, so
# grep reads it as text (-a): else it would print "binary file matches"
# instead of the lines, and failures and skips would go uncounted.
ran=$(sed -n 's/^Ran \([0-9]*\) tests\{0,1\} in .*/\1/p' "$log" | tail -n 1)
bad=$(grep -aE '^(FAIL|ERROR): ' "$log" | sed 's/^[A-Z]*: \([^ ]* ([^)]*)\).*/\1/' |
      sort -u | wc -l)
summary=$(grep -aE '^(OK|FAILED)( \(.*\))?$' "$log" | tail -n 1)
skip=$(echo "$summary" | grep -oE 'skipped=[0-9]+' | sed 's/.*=//')
rm -f "$log"
ran=${ran:-0}
skip=${skip:-0}
passed=$((passed + ran - bad - skip))
failed=$((failed + bad))
skipped=$((skipped + skip))
if [ $rc -ne 0 ]; then
  status=1
  [ "$bad" -gt 0 ] || failed=$((failed + 1))
fi

echo "wine: $passed passed, $failed failed, $skipped skipped"
exit $status
