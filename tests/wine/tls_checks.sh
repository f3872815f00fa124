#!/bin/sh
# TLS client checks of the Windows build under Wine: makes a test CA, an
# intermediate and server certificates with the openssl CLI, starts openssl
# s_server on 127.0.0.1 and runs tls_check.exe against it, first with the CA
# given as a file, then with the CA in the prefix's ROOT store (put there by
# add_root_cert.exe and taken out again afterwards).
#
#   tests/wine/tls_checks.sh [build-dir]     (default: build-windows)
#
# Run by run_cli_tests.sh inside its Wine environment (WINEPREFIX, resident
# wineserver). Exits 77 when openssl, Wine or the check programs are
# missing; otherwise 0 when every check passed. Ends on "N passed, N failed".
set -u

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin=${1:-$root/build-windows}
case $bin in
  /*) ;;
  *) bin=$(pwd)/$bin ;;
esac
wine=${QUILLON_WINE:-wine}
. "$here/wine_run.sh"

skip() {
  echo "tls_checks: skipped, $1"
  exit 77
}
command -v openssl >/dev/null 2>&1 || skip "no openssl (apt-get install openssl)"
command -v "$wine" >/dev/null 2>&1 || skip "$wine not found (apt-get install wine wine64)"
for exe in tls_check.exe add_root_cert.exe; do
  [ -f "$bin/$exe" ] || skip "no $bin/$exe (cross build first)"
done

work=$(mktemp -d)
pids=""
in_root_store=no
cleanup() {
  [ "$in_root_store" = yes ] && "$wine" "$bin/add_root_cert.exe" -d "$(win "$work/ca.pem")"
  for pid in $pids; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Wine sees the host's root directory as drive Z:.
win() {
  echo "Z:$1" | tr / '\\'
}

# Certificates for this run only: CA -> intermediate -> leaf for localhost
# and 127.0.0.1, the same leaf again but expired, and a second CA that has
# the first one's name and another key. (A subshell, for the cd.)
make_certs() (
  cd "$work" || return 1
  printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' >ca.ext
  printf '%s\n' 'subjectAltName=DNS:localhost,IP:127.0.0.1' \
    'extendedKeyUsage=serverAuth' 'basicConstraints=CA:FALSE' \
    'keyUsage=critical,digitalSignature,keyEncipherment' >leaf.ext
  # The name is this run's own, so that a root store that kept an earlier
  # run's CA (Wine's does) cannot offer that one for this run's chains.
  tag=$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')
  for ca in ca other; do
    openssl req -x509 -newkey rsa:2048 -nodes -keyout $ca.key -out $ca.pem \
      -days 2 -subj "/CN=QUILLON test CA $tag" \
      -addext basicConstraints=critical,CA:TRUE \
      -addext keyUsage=critical,keyCertSign,cRLSign || return 1
  done
  openssl req -newkey rsa:2048 -nodes -keyout int.key -out int.csr \
    -subj "/CN=QUILLON test intermediate" &&
  openssl x509 -req -in int.csr -CA ca.pem -CAkey ca.key -set_serial 2 \
    -days 2 -extfile ca.ext -out int.pem &&
  openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr \
    -subj "/CN=localhost" &&
  openssl x509 -req -in srv.csr -CA int.pem -CAkey int.key -set_serial 3 \
    -days 2 -extfile leaf.ext -out srv.pem || return 1
  # openssl x509 cannot date a certificate in the past; openssl ca can.
  : >index.txt
  echo 04 >serial
  printf '%s\n' '[ca]' 'default_ca = test' '[test]' 'database = index.txt' \
    'new_certs_dir = .' 'serial = serial' 'default_md = sha256' \
    'policy = any' '[any]' 'commonName = supplied' >ca.cnf
  openssl ca -batch -config ca.cnf -cert int.pem -keyfile int.key \
    -in srv.csr -out expired.pem -notext -extfile leaf.ext \
    -startdate 20200101000000Z -enddate 20200201000000Z || return 1
  # The file the client gets lists the unrelated CA first.
  cat other.pem ca.pem >bundle.pem
  cat int.pem ca.pem >full-chain.pem
)

# Starts s_server with the given options on a free port of 127.0.0.1 and
# sets $port. Its stdin is $input: at EOF, which -rev does not mind, unless
# the caller names a file (a FIFO for typing its commands).
input=/dev/null
start_server() {
  name=$1
  shift
  openssl s_server -accept 127.0.0.1:0 "$@" <"$input" >"$work/$name.log" 2>&1 &
  pids="$pids $!"
  port=
  tries=0
  while [ -z "$port" ] && [ $tries -lt 100 ]; do
    sleep 0.1
    port=$(sed -n 's/^ACCEPT .*:\([0-9]*\)$/\1/p' "$work/$name.log")
    tries=$((tries + 1))
  done
  [ -n "$port" ] || { echo "tls_checks: s_server $name did not start:"; cat "$work/$name.log"; return 1; }
}

passed=0
failed=0
# Runs tls_check.exe with the arguments and adds up its closing count; a
# run that ends without one counts as one failure.
run_check() {
  wine_run "$bin/tls_check.exe" "$@"
  # Windows programs end their lines with CR LF.
  out=$(printf '%s\n' "$out" | tr -d '\r')
  echo "$out"
  counts=$(echo "$out" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' | tail -n 1)
  if [ -n "$counts" ]; then
    passed=$((passed + ${counts% *}))
    failed=$((failed + ${counts#* }))
  fi
  [ $rc -eq 0 ] || [ -n "$counts" ] || failed=$((failed + 1))
}

make_certs >"$work/certs.log" 2>&1 || { cat "$work/certs.log"; echo "0 passed, 1 failed"; exit 1; }
start_server good -cert "$work/srv.pem" -key "$work/srv.key" \
  -cert_chain "$work/int.pem" -rev || exit 1
good=$port
start_server full -cert "$work/srv.pem" -key "$work/srv.key" \
  -cert_chain "$work/full-chain.pem" -rev || exit 1
full=$port
start_server expired -cert "$work/expired.pem" -key "$work/srv.key" \
  -cert_chain "$work/int.pem" -rev || exit 1
expired=$port
# OpenSSL 3 turns TLS 1.1 off below security level 0.
start_server old -cert "$work/srv.pem" -key "$work/srv.key" \
  -cert_chain "$work/int.pem" -rev -tls1_1 -cipher 'DEFAULT@SECLEVEL=0' || exit 1
old=$port
# A server told to renegotiate ("r" on its stdin) once its handshake is done.
# Opened for reading too, so that neither side waits for the other here.
mkfifo "$work/renegotiate.in"
exec 8<>"$work/renegotiate.in"
input=$work/renegotiate.in
start_server renegotiate -cert "$work/srv.pem" -key "$work/srv.key" \
  -cert_chain "$work/int.pem" -tls1_2 || exit 1
renegotiate=$port
input=/dev/null
(
  tries=0
  until grep -q '^CIPHER is' "$work/renegotiate.log" || [ $tries -ge 300 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
  echo r >&8
) &
pids="$pids $!"

run_check files "$(win "$work/bundle.pem")" "$(win "$work/other.pem")" \
  "$(win "$work/missing.pem")" "$good" "$full" "$old" "$expired" "$renegotiate"

if wine_run "$bin/add_root_cert.exe" "$(win "$work/ca.pem")"; then
  in_root_store=yes
  run_check system "$good"
  wine_run "$bin/add_root_cert.exe" -d "$(win "$work/ca.pem")" && in_root_store=no
else
  echo "$out"
  echo "FAIL the test CA could not be added to the ROOT store"
  failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
