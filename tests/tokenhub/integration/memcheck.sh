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

source "$(dirname "${BASH_SOURCE[0]}")/signing_rig.sh"
rig_begin tokenhub-memcheck
rig_softhsm_token "$label" "$pin"
pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label "$label" --login --pin "$pin" \
  --keypairgen --key-type EC:prime256v1 --id 01 --label ec >/dev/null

module=$build/tokenhub/libtokenhub.so
export LD_LIBRARY_PATH=$build/softhsm-backend:$build/testbin
rig_insert_card "$build" >/dev/null || { cat emulator.log; exit 1; }
# pcscd takes a moment to power the new card and read its ATR.
for _ in $(seq 1 30); do "$flow" "$module" "$label" "$pin" 1 >/dev/null 2>&1 && break; sleep 0.2; done

valgrind --tool=memcheck --error-exitcode=1 --errors-for-leak-kinds=definite --leak-check=full \
  --suppressions="$suppressions" --log-file=memcheck.log \
  "$flow" "$module" "$label" "$pin" "$rounds" && status=0 || status=$?
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|suppressed:' memcheck.log || true
[ "$status" = 0 ] || cat memcheck.log
exit "$status"
