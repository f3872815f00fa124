#!/usr/bin/env bash
# Quick start: installs what is missing, builds, and runs the gateway under
# lighttpd on 127.0.0.1 with a local SMTP server that keeps every message.
# Posts one sample submission and shows the e-mail and the reply page.
#
#   scripts/quickstart.sh            build, start, try once, leave both servers running
#   scripts/quickstart.sh --no-stay  the same, then stop both servers (CI, tests)
#   scripts/quickstart.sh stop       stop the servers of an earlier run
#
# Build directory: build/ (QUILLON_BUILD_DIR overrides). Run directory:
# build/quickstart (the web root, the program with its settings and log,
# the stored messages in mail/). Run as root, lighttpd runs the program as
# www-data, which can read it and its settings and write its log, nothing
# else (deploy/serve.sh lays it out so). When www-data cannot reach the
# build directory (a checkout in root's own home), the run directory is
# made below /tmp and build/quickstart is a link to it.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QUILLON_BUILD_DIR:-$repo/build}
state=$build_dir/quickstart
serve=$repo/deploy/serve.sh

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libssl-dev python3 python3-aiosmtpd lighttpd curl)

install_missing() {
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "missing packages (install them as root): ${missing[*]}" >&2; exit 1; }
    sudo=sudo
  fi
  echo "== installing: ${missing[*]}"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
}

# As root: makes $state a link to a fresh directory below /tmp, unless
# www-data can reach the build directory or $state already is such a link.
place_run_dir() {
  [ "$(id -u)" -eq 0 ] || return 0
  if [ -L "$state" ]; then
    local target
    target=$(readlink "$state")
    [ -d "$target" ] && [ "$(stat -c %u "$target")" = 0 ] && return 0
    rm -f "$state"
  fi
  runuser -u www-data -- test -x "$build_dir" && return 0
  if [ -d "$state" ]; then
    "$serve" stop "$state"
    rm -rf "$state"
  fi
  ln -s "$(mktemp -d /tmp/quillon-quickstart-XXXXXX)" "$state"
}

build() {
  echo "== building in $build_dir"
  cmake -S "$repo" -B "$build_dir" -G Ninja >/dev/null
  ninja -C "$build_dir"
}

# Waits for the first stored message; prints nothing and fails after 10 s.
wait_for_mail() {
  for _ in $(seq 100); do
    [ -f "$state"/mail/0001.eml ] && return 0
    sleep 0.1
  done
  return 1
}

try_once() {
  # shellcheck disable=SC1091
  . "$state"/state.env
  echo "== posting a sample submission to $QUILLON_CGI_URL"
  curl -s -o "$state"/reply.html \
    --data-urlencode 'Name:=Alex Example' \
    --data-urlencode 'Email:=alex@example.org' \
    --data-urlencode 'Message:=Hello from the quick start.
This is a second line.' \
    "$QUILLON_CGI_URL"
  local ok=0
  if wait_for_mail; then
    echo "== the e-mail as the SMTP server received it ($QUILLON_MAIL_DIR/0001.eml)"
    tr -d '\r' < "$state"/mail/0001.eml
  else
    echo "== no e-mail arrived; the gateway's log is $QUILLON_CGI_LOG" >&2
    ok=1
  fi
  echo "== the reply page"
  cat "$state"/reply.html
  grep -q 'Message sent' "$state"/reply.html || { echo "== not the success page" >&2; ok=1; }
  return $ok
}

case ${1:-} in
  stop)
    "$serve" stop "$state"
    echo "stopped"
    exit 0 ;;
  --no-stay|"") ;;
  *) echo "usage: scripts/quickstart.sh [--no-stay | stop]" >&2; exit 2 ;;
esac

install_missing
build
place_run_dir
echo "== starting lighttpd and the SMTP server"
"$serve" start "$state" --bin "$build_dir"/quillon
status=0
try_once || status=1

if [ "${1:-}" = --no-stay ]; then
  "$serve" stop "$state"
  echo "== stopped both servers"
else
  stop_hint="scripts/quickstart.sh stop"
  [ -n "${QUILLON_BUILD_DIR:-}" ] && stop_hint="QUILLON_BUILD_DIR=$build_dir $stop_hint"
  cat <<EOT

== running:
   form:         $QUILLON_URL
   stored mail:  $QUILLON_MAIL_DIR (the SMTP server prints each message to $QUILLON_RUN/logs/smtp.out)
   gateway log:  $QUILLON_CGI_LOG
   settings:     $QUILLON_RUN/cgi-bin/quillon.ini
   stop with:    $stop_hint
EOT
fi
exit $status
