#!/usr/bin/env bash
# Starts and stops a local trial installation: a web server on 127.0.0.1
# serving deploy/site with the gateway as its CGI, and deploy/smtp_store.py
# keeping every message it is handed.
#
#   deploy/serve.sh start DIR [--web lighttpd|apache2] [--bin PATH] [--no-smtp]
#                             [--set LINE]... [--conf FILE]
#   deploy/serve.sh stop DIR
#
# start makes DIR the run directory (layout in deploy/lighttpd.conf), takes
# free ports, starts both servers in the background and writes DIR/state.env
# (QUILLON_URL, QUILLON_HTTP_PORT, QUILLON_SMTP_PORT, QUILLON_MAIL_DIR, ...).
# Run as root, the web server runs the CGI as www-data, and everything in
# DIR stays root's and read-only to www-data but the gateway's log file,
# cgi-bin/quillon.log, which www-data owns (mode 600), and the spool folder
# and rate state when the settings name them.
# --no-smtp starts no SMTP server and points the settings at a port where
# nothing listens, to see the failure page. --set appends LINE to the
# settings (a later line of a key wins); when the settings then name a
# spool folder or a key the rate state keeps, the folder and cgi-bin/quillon.rate are made
# for the CGI's user beforehand, as it may not create them itself.
# @HTTP_PORT@ in a LINE becomes the web server's port (for an
# allowed_origin line naming the site's own origin, say).
# --conf FILE starts the web server with FILE instead of deploy/WEB.conf
# (a copy of it with other limits, say); FILE must be an absolute path.
# stop ends what start started.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
python=${QUILLON_PYTHON:-/usr/bin/python3}
# The user both web server configurations run the CGI as when started as
# root (server.username in lighttpd.conf, User in apache2.conf).
web_user=www-data

die() { echo "serve.sh: $*" >&2; exit 1; }

free_port() {
  "$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits until $1 exists and is not empty, or the process $2 has died.
wait_for_file() {
  local file=$1 pid=$2
  for _ in $(seq 100); do
    [ -s "$file" ] && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

wait_for_url() {
  local url=$1 pid=$2
  for _ in $(seq 100); do
    curl -sf -o /dev/null "$url" && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

stop() {
  local dir=$1 f pid
  for f in "$dir"/logs/web.pid "$dir"/logs/smtp.pid; do
    [ -f "$f" ] || continue
    pid=$(cat "$f")
    rm -f "$f"
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  done
}

# Makes the spool folder and the rate state the settings $1 name (a key
# that the state keeps: rate_limit, duplicate_window, autoreply_to_variable,
# captcha altcha),
# owned by the CGI's user $2 and private to it (run as root), or else by
# whoever runs this. A relative spool path is taken from the settings'
# folder, as the program takes it.
make_state() {
  local ini=$1 user=$2 cgi spool
  cgi=$(dirname "$ini")
  spool=$(sed -n 's/^spool_folder //p' "$ini" | tail -n 1)
  if [ -n "$spool" ]; then
    case $spool in /*) ;; *) spool=$cgi/$spool ;; esac
    mkdir -p "$spool"
    chmod 700 "$spool"
    [ -z "$user" ] || chown "$user": "$spool"
  fi
  if grep -Eq '^((rate_limit|duplicate_window|autoreply_to_variable) |captcha altcha)' "$ini"; then
    touch "$cgi"/quillon.rate
    chmod 600 "$cgi"/quillon.rate
    [ -z "$user" ] || chown "$user": "$cgi"/quillon.rate
  fi
  return 0
}

make_run_dir() {
  local dir=$1 bin=$2 web=$3 smtp_server=$4 extra=$5
  mkdir -p "$dir"/htdocs "$dir"/cgi-bin "$dir"/pages "$dir"/logs "$dir"/mail
  cp "$repo"/deploy/site/index.html "$repo"/deploy/site/captcha.html "$dir"/htdocs/
  cp "$repo"/deploy/site/success.html "$repo"/deploy/site/failure.html "$dir"/pages/
  cp "$bin" "$dir"/cgi-bin/quillon
  chmod 755 "$dir"/cgi-bin/quillon
  sed -e "s|@SMTP_SERVER@|$smtp_server|" -e "s|@PAGES_DIR@|$dir/pages|" \
    "$repo"/deploy/site/quillon.ini > "$dir"/cgi-bin/quillon.ini
  [ -z "$extra" ] || printf '%s' "$extra" >> "$dir"/cgi-bin/quillon.ini
  if [ "$(id -u)" -ne 0 ]; then
    make_state "$dir"/cgi-bin/quillon.ini ""
    return 0
  fi

  # Started as root, both servers run the CGI as $web_user. It may read the
  # site and write its log file, nothing else: a program, settings file or
  # folder it could change would let anything running as that user take
  # the gateway over. It must reach every directory on the way (those
  # above DIR are left as they are).
  chown -R root:root "$dir"/htdocs "$dir"/cgi-bin "$dir"/pages
  chmod 755 "$dir"/htdocs "$dir"/cgi-bin "$dir"/pages
  chmod 644 "$dir"/htdocs/*.html "$dir"/pages/*.html "$dir"/cgi-bin/quillon.ini
  chmod go-w,o+x "$dir"
  chmod 700 "$dir"/mail   # the stored messages, as private as the log
  touch "$dir"/cgi-bin/quillon.log
  chown "$web_user": "$dir"/cgi-bin/quillon.log
  chmod 600 "$dir"/cgi-bin/quillon.log
  make_state "$dir"/cgi-bin/quillon.ini "$web_user"
  if [ "$web" = lighttpd ]; then
    # lighttpd opens its error log after it has become $web_user.
    touch "$dir"/logs/lighttpd-error.log
    chown "$web_user": "$dir"/logs/lighttpd-error.log
  fi
  runuser -u "$web_user" -- test -x "$dir"/cgi-bin/quillon ||
    die "$web_user cannot reach $dir; choose a run directory below /tmp"
  ! runuser -u "$web_user" -- test -w "$dir" ||
    die "$web_user may write $dir; choose a run directory of root's"
}

start() {
  local dir=$1; shift
  local web=lighttpd bin="$repo"/build/quillon smtp=yes extra= conf=
  while [ $# -gt 0 ]; do
    case $1 in
      --web) web=$2; shift 2 ;;
      --bin) bin=$2; shift 2 ;;
      --no-smtp) smtp=no; shift ;;
      --set) extra+="$2"$'\n'; shift 2 ;;
      --conf) conf=$2; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  [ -x "$bin" ] || die "no program at $bin (build it first)"
  case $web in lighttpd|apache2) ;; *) die "--web must be lighttpd or apache2" ;; esac
  command -v "$web" >/dev/null || die "$web is not installed"
  [ -n "$conf" ] || conf=$repo/deploy/$web.conf
  case $conf in /*) [ -f "$conf" ] || die "no configuration at $conf" ;;
    *) die "--conf needs an absolute path" ;; esac
  mkdir -p "$dir"
  # The real path: the web server's user may not be able to follow a link
  # to it (one in root's home, say).
  dir=$(cd "$dir" && pwd -P)
  stop "$dir"
  rm -rf "$dir"/htdocs "$dir"/cgi-bin "$dir"/pages "$dir"/logs "$dir"/mail
  mkdir -p "$dir"/logs "$dir"/mail

  local smtp_port
  if [ $smtp = yes ]; then
    rm -f "$dir"/logs/smtp.port
    setsid "$python" "$repo"/deploy/smtp_store.py --dir "$dir"/mail \
      --port-file "$dir"/logs/smtp.port > "$dir"/logs/smtp.out 2>&1 < /dev/null &
    echo $! > "$dir"/logs/smtp.pid
    wait_for_file "$dir"/logs/smtp.port "$!" ||
      { cat "$dir"/logs/smtp.out >&2; stop "$dir"; die "the SMTP server did not start"; }
    smtp_port=$(cat "$dir"/logs/smtp.port)
  else
    smtp_port=$(free_port)   # nothing listens there
  fi
  make_run_dir "$dir" "$bin" "$web" "127.0.0.1:$smtp_port" "$extra"
  local ini=$dir/cgi-bin/quillon.ini
  grep -q '@HTTP_PORT@' "$ini" && cp "$ini" "$dir"/logs/quillon.ini.in

  # A free port can be taken by someone else before the server binds it:
  # try a few.
  local http_port attempt pid
  for attempt in 1 2 3; do
    http_port=$(free_port)
    # Writing into the existing file keeps its owner and mode.
    [ ! -f "$dir"/logs/quillon.ini.in ] ||
      sed "s|@HTTP_PORT@|$http_port|g" "$dir"/logs/quillon.ini.in > "$ini"
    if [ "$web" = lighttpd ]; then
      QUILLON_RUN=$dir QUILLON_HTTP_PORT=$http_port \
        setsid lighttpd -D -f "$conf" > "$dir"/logs/web.out 2>&1 < /dev/null &
    else
      QUILLON_RUN=$dir QUILLON_HTTP_PORT=$http_port \
        setsid apache2 -DFOREGROUND -f "$conf" > "$dir"/logs/web.out 2>&1 < /dev/null &
    fi
    pid=$!
    echo $pid > "$dir"/logs/web.pid
    wait_for_url "http://127.0.0.1:$http_port/" $pid && break
    cat "$dir"/logs/web.out "$dir"/logs/*error*.log 2>/dev/null >&2 || true
    rm -f "$dir"/logs/web.pid
    kill $pid 2>/dev/null || true
    [ $attempt = 3 ] && { stop "$dir"; die "$web did not start"; }
  done

  cat > "$dir"/state.env <<EOT
QUILLON_WEB=$web
QUILLON_RUN=$dir
QUILLON_HTTP_PORT=$http_port
QUILLON_URL=http://127.0.0.1:$http_port/
QUILLON_CGI_URL=http://127.0.0.1:$http_port/cgi-bin/quillon
QUILLON_SMTP_PORT=$smtp_port
QUILLON_MAIL_DIR=$dir/mail
QUILLON_CGI_LOG=$dir/cgi-bin/quillon.log
EOT
}

case ${1:-} in
  start) [ $# -ge 2 ] || die "usage: serve.sh start DIR [options]"; shift; start "$@" ;;
  stop) [ $# -eq 2 ] || die "usage: serve.sh stop DIR"; stop "$2" ;;
  *) die "usage: serve.sh start DIR [--web lighttpd|apache2] [--bin PATH] [--no-smtp] [--set LINE]... [--conf FILE] | stop DIR" ;;
esac
