#!/usr/bin/env bash
# Deployment tests: the sample site under real web servers, a real browser,
# and real SMTP servers, all on 127.0.0.1 and all started and stopped here.
#
#   tests/deploy/run_all.sh [browser] [webservers] [interop] [quickstart] [localqueue] [docs]
#                           [filters] [dkim] [farm] [clamd] [spam] [altcha]
#
# Default: all of them. farm starts its own PostgreSQL 15 (the shared state), clamd its own
# clamd. docs checks the configuration shown in README.md and
# docs/ with the servers' own tools. quickstart runs scripts/quickstart.sh --no-stay, which
# builds in build/ (a no-op after a build) and installs nothing that is there.
#
# QUILLON_BIN: the program (default build/quillon, built if missing).
# QUILLON_ARTIFACTS: where screenshots go (default build/deploy-artifacts).
# A suite whose tools are missing is skipped and said so, and so is each
# case that lacks its server (a Postfix row without Postfix). The last line
# is "N passed, M failed, K skipped", counting single test cases. Exit code:
# 1 when a case failed, 77 (ctest's SKIP_RETURN_CODE) when every case was
# skipped, else 0. When QUILLON_SKIP_LOG names a file (scripts/test.sh sets
# it), each skip is appended to it as "deploy SUITE: what: why".
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
python=/usr/bin/python3
export QUILLON_BIN=${QUILLON_BIN:-$repo/build/quillon}
export QUILLON_ARTIFACTS=${QUILLON_ARTIFACTS:-$repo/build/deploy-artifacts}
suites=("$@")
[ ${#suites[@]} -eq 0 ] && suites=(browser webservers interop quickstart localqueue docs filters dkim farm clamd spam altcha)

passed=0 failed=0 skipped=0
work=$(mktemp -d /tmp/quillon-deploy-XXXXXX)
# Run as root, the web servers run the CGI as www-data, which must pass
# through here to the run directories that deploy/serve.sh makes.
chmod 711 "$work"

# Suites run in pipelines (subshells), so what they started is found by
# its run directory under $work, not by a variable.
cleanup() {
  local d
  for d in "$work"/*/; do
    [ -d "$d/logs" ] && "$repo"/deploy/serve.sh stop "$d"
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Runs one suite, shows its output, and adds the counts of its closing
# "N passed, M failed[, K skipped]" line; a suite without such a line
# counts as one test, passed or failed by its exit code. The cases that
# unittest skipped are noted with their reasons.
run_suite() {
  local name=$1; shift
  local out=$work/$name.out rc counts
  echo "=== $name"
  "$@" 2>&1 | tee "$out"
  rc=${PIPESTATUS[0]}
  counts=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$out" | tail -1)
  if [ -n "$counts" ]; then
    local p f s
    p=$(sed -E 's/^([0-9]+) passed.*/\1/' <<<"$counts")
    f=$(sed -E 's/^[0-9]+ passed, ([0-9]+) failed.*/\1/' <<<"$counts")
    s=$(sed -nE 's/.*, ([0-9]+) skipped.*/\1/p' <<<"$counts")
    passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + ${s:-0}))
    [ "$rc" -ne 0 ] && [ "$f" -eq 0 ] && failed=$((failed + 1))
    while IFS= read -r line; do note_skip "$name" "$line"; done < <(
      sed -nE "s/^([^ ]+) \(.*\) \.\.\. skipped '(.*)'\$/\1: \2/p" "$out")
  elif [ "$rc" -ne 0 ]; then
    failed=$((failed + 1))
  else
    passed=$((passed + 1))
  fi
  return 0
}

skip_notes=()
note_skip() {
  skip_notes+=("$1: $2")
  [ -n "${QUILLON_SKIP_LOG:-}" ] && echo "deploy $1: $2" >>"$QUILLON_SKIP_LOG"
  return 0
}

skip_suite() {
  echo "=== $1 skipped: $2"
  skipped=$((skipped + 1))
  note_skip "$1" "$2"
}

has_aiosmtpd() { "$python" -c 'import aiosmtpd' 2>/dev/null; }

ensure_program() {
  [ -x "$QUILLON_BIN" ] && return 0
  echo "=== building $QUILLON_BIN"
  cmake -S "$repo" -B "$repo"/build -G Ninja >/dev/null && ninja -C "$repo"/build quillon
}

# npm ci only when a pinned package (playwright-core, altcha-lib, altcha) is not
# what is installed.
ensure_node_modules() {
  local want have package
  for package in playwright-core altcha-lib altcha; do
    want=$(node -p "require('$here/package-lock.json').packages['node_modules/$package'].version")
    have=$(node -p "require('$here/node_modules/$package/package.json').version" 2>/dev/null || true)
    [ "$want" = "$have" ] || { (cd "$here" && npm ci --no-audit --no-fund); return; }
  done
}

free_port() {
  "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# tests/cli/captcha_server.py on 127.0.0.1, serving until its stdin (fd 3
# here) closes; its CA and a secret copied where the CGI's user (www-data)
# may read them. Sets captcha_url (its refusing twin: captcha_refuse_url),
# captcha_pid and captcha_files.
start_captcha_server() {
  local line ca
  captcha_files=$work/captcha-files
  mkdir -p "$captcha_files"
  chmod 755 "$captcha_files"
  mkfifo "$captcha_files"/in
  "$python" "$repo"/tests/cli/captcha_server.py --log "$captcha_files"/requests.jsonl \
    < "$captcha_files"/in > "$captcha_files"/out 2>&1 &
  captcha_pid=$!
  exec 3>"$captcha_files"/in
  for _ in $(seq 100); do
    line=$(head -n 1 "$captcha_files"/out)
    [ -n "$line" ] && break
    sleep 0.1
  done
  [[ $line =~ ^port=([0-9]+)\ ca=(.+)$ ]] || { cat "$captcha_files"/out; return 1; }
  ca=${BASH_REMATCH[2]}
  install -m 644 "$ca" "$captcha_files"/ca.pem
  echo "test-secret-$RANDOM" > "$captcha_files"/secret
  chmod 640 "$captcha_files"/secret
  [ "$(id -u)" -ne 0 ] || chgrp www-data "$captcha_files"/secret
  captcha_url=https://127.0.0.1:${BASH_REMATCH[1]}/turnstile/siteverify
  captcha_refuse_url=https://127.0.0.1:${BASH_REMATCH[1]}/refuse/siteverify
}

# Installations: lighttpd with SMTP (and Apache, when installed, set up
# alike) for the form and fetch() cases, one with no SMTP server, and
# lighttpd checking a CAPTCHA with the local verification service. The
# fetch() pages of another origin come from browser_test.js itself on
# QUILLON_ORIGIN_PORT, which the first two allow besides their own origin.
browser_suite() {
  local sent=$work/browser-sent dead=$work/browser-not-sent apache=$work/browser-apache
  local captcha=$work/browser-captcha rc origin_port web_settings run
  origin_port=$(free_port)
  web_settings=(--set 'logging debug' --set 'allowed_origin http://127.0.0.1:@HTTP_PORT@'
    --set "allowed_origin http://127.0.0.1:$origin_port")
  start_captcha_server || { echo "the CAPTCHA service did not start"; return 1; }
  "$repo"/deploy/serve.sh start "$sent" --bin "$QUILLON_BIN" "${web_settings[@]}" &&
    "$repo"/deploy/serve.sh start "$dead" --bin "$QUILLON_BIN" --no-smtp &&
    "$repo"/deploy/serve.sh start "$captcha" --bin "$QUILLON_BIN" --set 'logging debug' \
      --set 'captcha turnstile' --set "captcha_secret_file $captcha_files/secret" \
      --set "captcha_verify_url $captcha_url" --set "captcha_ca_file $captcha_files/ca.pem" ||
    return 1
  if command -v apache2 >/dev/null; then
    "$repo"/deploy/serve.sh start "$apache" --web apache2 --bin "$QUILLON_BIN" \
      "${web_settings[@]}" || return 1
  fi
  # The form with a file and the one with checkboxes, through both servers:
  # installations with attachments on (within the shipped 100 KiB limit)
  # and a body line for the checkboxes.
  QUILLON_FORMS_SITES=
  for web in lighttpd apache2; do
    "$repo"/deploy/serve.sh start "$work/browser-forms-$web" --bin "$QUILLON_BIN" --web $web \
      --set "attachments_max_kb 64" --set "use_submitted_variable_for_bodycontent Topics:" ||
      return 1
    QUILLON_FORMS_SITES+="$web|$(. "$work/browser-forms-$web"/state.env &&
      echo "$QUILLON_URL|$QUILLON_MAIL_DIR") "
  done
  export QUILLON_FORMS_SITES
  (
    # shellcheck source=/dev/null
    . "$sent"/state.env
    # shellcheck source=/dev/null
    QUILLON_DEAD_URL=$(. "$dead"/state.env && echo "$QUILLON_URL")
    export QUILLON_URL QUILLON_MAIL_DIR QUILLON_DEAD_URL QUILLON_ORIGIN_PORT=$origin_port
    runs=$sent
    [ -f "$apache"/state.env ] && runs+=" $apache"
    export QUILLON_WEB_RUNS=$runs
    export QUILLON_CAPTCHA_RUN=$captcha QUILLON_CAPTCHA_LOG=$captcha_files/requests.jsonl
    export QUILLON_CAPTCHA_SECRET_FILE=$captcha_files/secret
    export QUILLON_CAPTCHA_REFUSE_URL=$captcha_refuse_url
    node "$here"/browser_test.js
  )
  rc=$?
  for run in "$sent" "$dead" "$captcha" "$apache"; do
    [ -d "$run"/logs ] && "$repo"/deploy/serve.sh stop "$run"
  done
  for web in lighttpd apache2; do "$repo"/deploy/serve.sh stop "$work/browser-forms-$web"; done
  exec 3>&-
  wait "$captcha_pid"
  return $rc
}

# lighttpd with `captcha altcha` and a key only the CGI's user may read;
# tests/deploy/altcha_browser.js drives npm's widget against it.
altcha_suite() {
  local run=$work/altcha files=$work/altcha-files rc
  mkdir -p "$files"
  chmod 755 "$files"
  od -An -N32 -tx1 /dev/urandom | tr -d ' \n' > "$files"/altcha.key
  echo >> "$files"/altcha.key
  chmod 640 "$files"/altcha.key
  [ "$(id -u)" -ne 0 ] || chgrp www-data "$files"/altcha.key
  "$repo"/deploy/serve.sh start "$run" --bin "$QUILLON_BIN" --set 'logging debug' \
    --set 'captcha altcha' --set "altcha_key_file $files/altcha.key" || return 1
  (
    # shellcheck source=/dev/null
    . "$run"/state.env
    export QUILLON_RUN
    node "$here"/altcha_browser.js "$@"
  )
  rc=$?
  "$repo"/deploy/serve.sh stop "$run"
  return $rc
}

ensure_program || { echo "cannot build the program"; echo "0 passed, 1 failed"; exit 1; }

for suite in "${suites[@]}"; do
  case $suite in
    browser|altcha)
      if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
        skip_suite "$suite" "node or npm is missing"
      elif [ ! -x "${QUILLON_CHROMIUM:-/usr/bin/chromium}" ]; then
        skip_suite "$suite" "chromium is missing"
      elif ! command -v lighttpd >/dev/null ||
           { [ "$suite" = browser ] && ! command -v apache2 >/dev/null; }; then
        skip_suite "$suite" "lighttpd or apache2 is missing"
      elif ! ensure_node_modules; then
        echo "=== $suite: npm ci failed"; failed=$((failed + 1))
      else
        run_suite "$suite" "${suite}_suite"
      fi ;;
    webservers|interop|filters|dkim|farm|clamd|spam)
      if ! has_aiosmtpd; then
        skip_suite "$suite" "$python has no aiosmtpd"
      else
        run_suite "$suite" "$python" "$here/test_$suite.py"
      fi ;;
    quickstart) run_suite quickstart "$repo"/scripts/quickstart.sh --no-stay ;;
    localqueue) run_suite localqueue "$python" "$here"/test_localqueue.py ;;
    docs) run_suite docs "$python" "$here"/test_docs.py ;;
    *) echo "unknown suite $suite"; failed=$((failed + 1)) ;;
  esac
done

for note in "${skip_notes[@]}"; do echo "skipped: $note"; done
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] || exit 1
[ "$passed" -eq 0 ] && [ "$skipped" -gt 0 ] && exit 77
exit 0
