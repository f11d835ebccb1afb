#!/bin/bash
# A 64-bit consumer under wine64 with the card module installed only as a
# PE32 module in SysWOW64 (the installed layout of the x64 package, the
# module host in both system folders): the PE32+ tokenhub.dll serves it
# through the PE32 host. Then a 32-bit consumer with the module installed
# only as a PE32+ module in the native System32: the PE32 tokenhub.dll
# serves it through the PE32+ host, which is handed the module's System32
# path (Sysnative exists for 32-bit processes only). The module's token is
# SoftHSM2's on the Linux side, served by p11-kit's server through a TCP
# relay; each consumer signs, OpenSSL verifies. Last, with the host switch
# on, a 64-bit consumer of a tokenhub.dll in a folder whose name has
# non-ASCII letters: the host beside it serves the module beside it.
#   wine_bitness.sh WIN64_BUILD_DIR WIN32_BUILD_DIR
set -euo pipefail
build64=$(cd "$1" && pwd)
build32=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
for f in "$build32/tokenhub/tokenhub-host.exe" "$build32/softhsm-backend/aetpkss1.dll" \
         "$build32/winscard-double/bitness_sign.exe"; do
  [ -f "$f" ] || { echo "missing $f: build the win32 preset first"; exit 1; }
done
. "$root/tests/tokenhub/integration/signing_rig.sh"
source "$root/scripts/wine-env" 64
[ -f "$WINEPREFIX/.ready" ] || bash "$root/scripts/wine-setup"
system=$WINEPREFIX/drive_c/windows/system32
wow=$WINEPREFIX/drive_c/windows/syswow64
installed=("$system/tokenhub.dll" "$system/tokenhub-host.exe" "$wow/tokenhub.dll" "$wow/tokenhub-host.exe"
           "$wow/aetpkss1.dll" "$system/aetpkss1.dll")
server=
# The Wine programs this test starts: one that outlives its starter (a
# relay whose host was ended while it started) would keep Wine's server
# holding the consumer's output, and the next test's Wine busy.
ours='(tcp_relay|tokenhub-host|bitness_sign)\.exe'
user="$WINEPREFIX/drive_c/users/Jürgen Åström"
finish() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  pkill -9 -f "$ours" 2>/dev/null || true
  rm -f "${installed[@]}"
  rm -rf "$user"
  "$WINE_LOADER" reg delete 'HKLM\Software\Varenzo\tokenhub' /v HostBackends /f >/dev/null 2>&1 || true
  rig_cleanup
}
rig_begin tokenhub-host-bitness
trap finish EXIT
rig_softhsm_token hosted 1234
soft() { pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label hosted "$@"; }
soft --login --pin 1234 --keypairgen --key-type rsa:2048 --id 01 --label hosted-key >/dev/null
soft --read-object --type pubkey --id 01 -o rsa.der >/dev/null
openssl pkey -pubin -inform DER -in rsa.der -out rsa.pub

# p11-kit's server of SoftHSM2, one per connection to the port it prints.
python3 -u -c '
import socket, subprocess
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(4); print(s.getsockname()[1])
while True:
    c, _ = s.accept()
    subprocess.Popen(["/usr/libexec/p11-kit/p11-kit-remote", "/usr/lib/softhsm/libsofthsm2.so"], stdin=c, stdout=c)
    c.close()' >port &
server=$!
for _ in $(seq 1 50); do [ -s port ] && break; sleep 0.1; done

# Installed as the x64 package installs, with the card module as its
# vendor's 32-bit-only package would put it.
cp "$build64/tokenhub/tokenhub.dll" "$build64/tokenhub/tokenhub-host.exe" "$system/"
cp "$build32/tokenhub/tokenhub.dll" "$build32/tokenhub/tokenhub-host.exe" "$build32/softhsm-backend/aetpkss1.dll" "$wow/"
printf 'reader Virtual PCD 00 00\ninsert Virtual PCD 00 00|3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1|1|1A2B3C4D5E%s\n' \
  "$(printf 'E%.0s' $(seq 30))" >card.script
head -c 3000 /dev/urandom >data.bin
export TOKENHUB_WINSCARD_SCRIPT="Z:$rig_work/card.script"
# The test backend reaches SoftHSM2 through a relay it starts: the 64-bit
# one for every host, as a 32-bit start takes a minute under qemu, which
# the host's C_Initialize must not spend against the router's call bound.
export TOKENHUB_TEST_RELAY="Z:${build64//\//\\}\\testbin\\tcp_relay.exe" TOKENHUB_TEST_SOFTHSM_PORT=$(cat port)
export WINEDLLOVERRIDES=winscard=n
# consumer LOADER BUILD DLL [unload]: signs data.bin into data.sig, its
# output in out.txt. A file, not a pipe, and a bound: a Wine program left
# behind cannot hold the test.
consumer() {
  local rc=0
  timeout 240 "$1" "$2/winscard-double/bitness_sign.exe" "$3" 1234 hosted-key "Z:$rig_work/data.bin" \
    "Z:$rig_work/data.sig" "${@:4}" </dev/null >raw.txt 2>&1 || rc=$?
  tr -d '\r' <raw.txt >out.txt
  cat out.txt
  [ $rc = 0 ] || { echo "the consumer ended with $rc (124: still running after 240 s)"; return 1; }
}
consumer "$WINE_LOADER" "$build64" 'C:\windows\system32\tokenhub.dll'
check_signed() {  # BITS of the host
  grep -qx 'slot 1 serial "1A2B3C4D5E      "' out.txt
  grep -qx "host: $1-bit" out.txt
  grep -qx 'module hosts left after C_Finalize: none' out.txt
  openssl dgst -sha256 -verify rsa.pub -signature data.sig data.bin
}
check_signed 32
echo "a 64-bit consumer signed through the PE32 module host"

# The vendor's 64-bit-only package instead: a 32-bit consumer (one 32-bit
# start, most of a minute under qemu).
rm -f "$wow/aetpkss1.dll" data.sig
cp "$build64/softhsm-backend/aetpkss1.dll" "$system/"
consumer "${WINE_LOADER%64}" "$build32" 'C:\windows\system32\tokenhub.dll' unload
check_signed 64
echo "a 32-bit consumer signed through the PE32+ module host"
# FreeLibrary without C_Finalize ends the host it started.
grep -qx 'module host before FreeLibrary: 64-bit' out.txt
grep -qx 'module hosts left after FreeLibrary: none' out.txt
echo "FreeLibrary without C_Finalize left no module host"

# A router in a folder named with non-ASCII letters hosts its module.
rm -f "${installed[@]}" data.sig
mkdir -p "$user/tokenhub"
cp "$build64/tokenhub/tokenhub.dll" "$build64/tokenhub/tokenhub-host.exe" "$build64/softhsm-backend/aetpkss1.dll" \
  "$user/tokenhub/"
"$WINE_LOADER" reg add 'HKLM\Software\Varenzo\tokenhub' /v HostBackends /t REG_DWORD /d 1 /f >/dev/null 2>&1
consumer "$WINE_LOADER" "$build64" 'C:\users\Jürgen Åström\tokenhub\tokenhub.dll'
check_signed 64
echo "a router in a folder named with non-ASCII letters signed through its module host"
