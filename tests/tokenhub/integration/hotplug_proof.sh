#!/bin/bash
# A reader plugged in while a program uses tokenhub, with the real daemon of
# scripts/pcscd-hotplug ("Staying Reader 00 00" attached, "Unpluggable
# Reader 00 00" plugged in later) and the SoftHSM2-backed module in role 1,
# which lists a reader's slot only while the daemon lists the reader, the
# staying reader's first. NSS (nss_hotplug, the module loaded once) gets the
# event of the new reader's slot within a second, sees its token and signs;
# unplugged and plugged in again, the reader keeps its slot. pkcs11-tool then
# finds the reader under the same slot ids and signs there; OpenSSL verifies.
#   hotplug_proof.sh BUILD_DIR HOTPLUG_DIR NSS_HOTPLUG
# NSS_HOTPLUG runs this script's steps itself: hotplug_proof.sh plug|insert|unplug.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
rescan() { "$here/../../../scripts/pcscd-hotplug" rescan "$HOTPLUG_DIR"; }
case ${1:-} in
  plug) rm -f "$HOTPLUG_DIR/unplugged-a"; rescan; exit 0 ;;
  unplug)
    touch "$HOTPLUG_DIR/unplugged-a"
    rescan
    [ -f "$PROOF_WORK/holder.pid" ] && kill "$(cat "$PROOF_WORK/holder.pid")" 2>/dev/null
    exit 0 ;;
  insert)
    # An emulated family-1 card in the plugged reader, held in while its input stays open.
    cd "$PROOF_WORK"
    rm -f card.in && mkfifo card.in
    for _ in $(seq 1 50); do
      "$PROOF_BUILD/testbin/cardemu" --port "${PCSCD_HOTPLUG_PORT:-35975}" \
        --atr "3B B7 94 00 81 31 FE 65 53 50 4B 32 33 90 00 D1" <card.in >emulator.log 2>&1 &
      sleep infinity >card.in &
      echo $! >holder.pid
      for _ in $(seq 1 20); do grep -q inserted emulator.log && exit 0; sleep 0.05; done
      kill "$(cat holder.pid)" 2>/dev/null || true
      sleep 0.1
    done
    echo "hotplug_proof: the card was not inserted" >&2; cat emulator.log >&2; exit 1 ;;
esac

build=$(cd "$1" && pwd)
export HOTPLUG_DIR=$2 PROOF_BUILD=$build
nss=$3
. "$here/signing_rig.sh"
rig_begin tokenhub-hotplug
export PROOF_WORK=$rig_work
trap '[ -f holder.pid ] && kill "$(cat holder.pid)" 2>/dev/null; touch "$HOTPLUG_DIR/unplugged-a"; rescan; rig_cleanup' EXIT
rig_softhsm_token later 1234
pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label later --login --pin 1234 \
  --keypairgen --key-type rsa:2048 --id 01 --label later-key >/dev/null
export PCSCLITE_CSOCK_NAME=$HOTPLUG_DIR/run/pcscd.comm
export LD_LIBRARY_PATH=$build/softhsm-backend:$build/testbin
export TOKENHUB_TEST_READER="Unpluggable Reader 00 00" TOKENHUB_TEST_OTHER_READER="Staying Reader 00 00"
export TOKENHUB_TEST_READER_LISTED=1
module=$build/tokenhub/libtokenhub.so

# Only the staying reader at the start.
touch "$HOTPLUG_DIR/unplugged-a"
rescan
"$nss" "$module" 1234 "$0 plug" "$0 insert" "$0 unplug"

# The reader is in now: a fresh program numbers it as the one that ran saw it.
pkcs11-tool --module "$module" --list-slots | tee slots.out
grep -q "Slot 2 (0x3): Unpluggable Reader 00 00 common profile" slots.out
p11() { pkcs11-tool --module "$module" --slot 3 "$@"; }
p11 --read-object --type pubkey --id 01 -o rsa.der >/dev/null
openssl pkey -pubin -inform DER -in rsa.der -out rsa.pub
head -c 3000 /dev/urandom >data.bin
p11 --login --pin 1234 --sign --mechanism SHA256-RSA-PKCS --id 01 -i data.bin -o rsa.sig
openssl dgst -sha256 -verify rsa.pub -signature rsa.sig data.bin
echo "hotplug proof: NSS and pkcs11-tool signed on the reader plugged in later"
