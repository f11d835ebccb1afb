#!/usr/bin/env bash
# A real consumer lists the router's slots: pkcs11-tool against the built
# module, the four mock backends listing both virtual readers, a Starcos 2.3
# card (serial file of layout 1) in reader 0 and a Starcos 3.2 card (layout 2)
# in reader 1, both emulated.
#   pkcs11_tool_slots.sh MODULE CARDEMU
set -euo pipefail
module=$1 cardemu=$2
work=$(mktemp -d)
cleanup() {
  exec 3>&- 4>&- || true
  wait || true
  rm -rf "$work"
}
trap cleanup EXIT

# A module built with AddressSanitizer needs its runtime loaded first in the consumer.
asan=$(ldd "$module" | awk '/libasan/ {print $3}')
if [ -n "$asan" ]; then export LD_PRELOAD=$asan ASAN_OPTIONS=detect_leaks=0; fi

slots=""
for role in 1 2 3 4; do slots+="$role:1:Virtual PCD 00 00;$role:2:Virtual PCD 00 01;"; done
export TOKENHUB_MOCK_SLOTS=$slots

mkfifo "$work/in0" "$work/in1"
"$cardemu" --reader 0 --atr "3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1" --layout 1 \
  --serial "1A2B3C4D5E EEEEEEEEEEEEEEEEEEEEEEEEEEEEEE" <"$work/in0" >"$work/out0" &
exec 3>"$work/in0"
"$cardemu" --reader 1 --atr "3B 9F 96 81 B1 FE 45 1F 07 00 64 05 1E B2 00 31 B0 73 96 21 DB 05 90 00 5C" \
  --layout 2 --serial "0102030405 EEEEEEEEEEEEEEEE ABCDEF EEEEEEEE" <"$work/in1" >"$work/out1" &
exec 4>"$work/in1"

# Both cards in and seen by the daemon.
for _ in $(seq 1 100); do
  [ "$(opensc-tool --list-readers 2>/dev/null | grep -c 'Yes.*Virtual PCD 00 0')" = 2 ] && break
  sleep 0.1
done

check() {  # check FILE TEXT: the consumer's output has the line
  grep -qF -- "$2" "$1" || { echo "FAIL: no \"$2\" in:"; cat "$1"; exit 1; }
}

pkcs11-tool --module "$module" --list-slots >"$work/L" 2>&1 || { cat "$work/L"; exit 1; }
echo "== pkcs11-tool --list-slots"; cat "$work/L"
[ "$(grep -c '^Slot ' "$work/L")" = 4 ] || { echo "FAIL: want 4 slots"; exit 1; }
check "$work/L" "Virtual PCD 00 00 common profile"
check "$work/L" "Virtual PCD 00 00 secure profile"
check "$work/L" "Virtual PCD 00 01 common profile"
check "$work/L" "Virtual PCD 00 01 secure profile"

pkcs11-tool --module "$module" --list-token-slots >"$work/T" 2>&1 || { cat "$work/T"; exit 1; }
echo "== pkcs11-tool --list-token-slots"; cat "$work/T"
[ "$(grep -c '^Slot ' "$work/T")" = 4 ] || { echo "FAIL: want 4 slots with tokens"; exit 1; }
[ "$(grep -c 'serial num *: 1A2B3C4D5E$' "$work/T")" = 2 ] || { echo "FAIL: layout-1 serial"; exit 1; }
[ "$(grep -c 'serial num *: ABCDEF0102030405$' "$work/T")" = 2 ] || { echo "FAIL: layout-2 serial"; exit 1; }
[ "$(grep -c 'token model *: LumeraSecure 2.0$' "$work/T")" = 4 ] || { echo "FAIL: adjusted model"; exit 1; }
echo "ok: pkcs11-tool lists two slots per reader with the cards' serials"
