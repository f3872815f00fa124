#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the quick start use.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
# postfix is only wanted for its test server; keep it from asking questions.
echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
  cmake ninja-build g++ clang libgtest-dev libgmock-dev libssl-dev openssl python3 python3-aiosmtpd \
  curl ca-certificates lighttpd apache2 postfix chromium faketime \
  g++-mingw-w64-x86-64 wine wine64
# The browser tests drive Chromium from Node.js. The machine's own Node.js
# package already carries npm (and conflicts with Debian's npm package), so
# only a machine without node gets Debian's pair.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  $SUDO apt-get install -y -q --no-install-recommends nodejs npm
fi
