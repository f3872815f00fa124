#!/usr/bin/env bash
# Concurrency soak: SOAK_N submissions (default 200) at the same moment,
# started directly and then through lighttpd, sharing one log and one SMTP
# server. Fails when a mail is lost or doubled, a page or exit code is wrong,
# or a log record is missing, split or mixed with another process's. Then
# the same with "rate_limit 5/10", from one client address and from two:
# exactly 5 per address may be sent.
#
#   tests/soak/run_soak.sh                 the CI form
#   SOAK_N=2000 tests/soak/run_soak.sh     a longer soak
#   QUILLON_BIN=build-asan/quillon tests/soak/run_soak.sh
#
# QUILLON_BIN: the program (default build/quillon, built if missing).
# SOAK_MODE: binary, lighttpd or both (default); lighttpd is skipped, and
# said so, where it is not installed. What is skipped is also appended to
# $QUILLON_SKIP_LOG when that is set; exit code 77: nothing could run.
# said so, where it is not installed. SOAK_RATE: on (default), off, or only
# the rate-limit soaks.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
python=/usr/bin/python3
bin=${QUILLON_BIN:-$repo/build/quillon}

if ! "$python" -c 'import aiosmtpd' 2>/dev/null; then
  echo "soak skipped: $python has no aiosmtpd"
  [ -n "${QUILLON_SKIP_LOG:-}" ] && echo "soak: $python has no aiosmtpd" >>"$QUILLON_SKIP_LOG"
  exit 77
fi
if [ ! -x "$bin" ]; then
  echo "=== building $bin"
  cmake -S "$repo" -B "$repo"/build -G Ninja >/dev/null &&
    ninja -C "$repo"/build -j "${JOBS:-2}" quillon || exit 1
fi
# Leak reports are off for a sanitized build: the program leaves its tables
# to the process exit.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
exec timeout 600 "$python" "$here"/soak.py --bin "$bin" -n "${SOAK_N:-200}" \
  --mode "${SOAK_MODE:-both}" --rate "${SOAK_RATE:-on}"
