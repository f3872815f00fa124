#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the quick start use.
#
#   scripts/install-deps.sh            install them (as root, or through sudo)
#   scripts/install-deps.sh --missing  only list those not installed yet
#                                      (scripts/test.sh asks this first)
set -euo pipefail
packages=(cmake ninja-build g++ clang libgtest-dev libgmock-dev python3 python3-aiosmtpd python3-requests
          curl ca-certificates lighttpd apache2 postfix logrotate chromium faketime
          g++-mingw-w64-x86-64 libssl-dev openssl strace
          spamassassin spamd rspamd redis-server opendkim opendkim-tools python3-dkim
          clamav clamav-daemon libsqlite3-dev sqlite3 libpq-dev postgresql-15)
# Wine's TLS needs libgnutls30, which libwine only recommends: these are
# installed in an apt-get call of their own, with the recommended packages.
wine_packages=(wine wine64)

missing() {
  local p
  for p in "${packages[@]}" "${wine_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      echo "$p"
  done
  # See the Node.js note below.
  if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
    echo nodejs; echo npm
  fi
}
if [ "${1:-}" = --missing ]; then
  missing
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
# sudo resets the environment, so the variable is passed through env. An
# apt-get already running elsewhere on the machine is waited for.
apt_get() {
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}
# postfix is only wanted for its test server; keep it from asking questions.
echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
apt_get update -q
apt_get install -y -q --no-install-recommends "${packages[@]}"
apt_get install -y -q "${wine_packages[@]}"
# The browser tests drive Chromium from Node.js. The machine's own Node.js
# package already carries npm (and conflicts with Debian's npm package), so
# only a machine without node gets Debian's pair.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  apt_get install -y -q --no-install-recommends nodejs npm
fi
