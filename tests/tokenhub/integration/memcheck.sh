#!/usr/bin/env bash
# valgrind memcheck over the Linux flow through the built module: a SoftHSM2
# token with an EC key behind the SoftHSM2-backed backend, the card emulator
# holding a family-1 card in "Virtual PCD 00 00" of the running pcscd, and
# memcheck_flow doing initialise, list, open, login, find, sign, close and
# finalise several times. Any memcheck error or definite leak fails.
#
#   memcheck.sh BUILD_DIR FLOW_PROGRAM SUPPRESSIONS [ROUNDS]
set -euo pipefail
build=$(cd "$1" && pwd)
flow=$2 suppressions=$3 rounds=${4:-3}
pin=123456 label=tokenhub-memcheck

work=$(mktemp -d /tmp/tokenhub-memcheck-XXXXXX)
emulator=
cleanup() {
  [ -n "$emulator" ] && kill "$emulator" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" >softhsm2.conf
export SOFTHSM2_CONF=$work/softhsm2.conf
softhsm2-util --init-token --free --label "$label" --pin "$pin" --so-pin 12345678 >/dev/null
pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label "$label" --login --pin "$pin" \
  --keypairgen --key-type EC:prime256v1 --id 01 --label ec >/dev/null

module=$build/tokenhub/libtokenhub.so
export LD_LIBRARY_PATH=$build/softhsm-backend:$build/testbin
mkfifo card.in
"$build/testbin/cardemu" --port 35963 --atr "3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1" \
  <card.in >emulator.log 2>&1 &
emulator=$!
exec 3>card.in
for _ in $(seq 1 50); do grep -q inserted emulator.log && break; sleep 0.1; done
grep -q inserted emulator.log || { cat emulator.log; exit 1; }
# pcscd takes a moment to power the new card and read its ATR.
for _ in $(seq 1 30); do "$flow" "$module" "$label" "$pin" 1 >/dev/null 2>&1 && break; sleep 0.2; done

valgrind --tool=memcheck --error-exitcode=1 --errors-for-leak-kinds=definite --leak-check=full \
  --suppressions="$suppressions" --log-file=memcheck.log \
  "$flow" "$module" "$label" "$pin" "$rounds" && status=0 || status=$?
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|suppressed:' memcheck.log || true
[ "$status" = 0 ] || cat memcheck.log
exit "$status"
