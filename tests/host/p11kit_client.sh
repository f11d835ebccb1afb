#!/bin/bash
# p11-kit's own client runs the module host: a remote: module configuration
# starts tokenhub-host with SoftHSM2, and pkcs11-tool, through p11-kit's
# proxy, makes a key, lists the slots and signs; OpenSSL verifies.
#   p11kit_client.sh TOKENHUB_HOST
set -euo pipefail
host=$1
. "$(dirname "$0")/../tokenhub/integration/signing_rig.sh"
. "$(dirname "$0")/ec_signature.sh"
rig_begin tokenhub-host-client
rig_softhsm_token hosted 1234

# p11-kit reads no user configuration as root: the machine's folder, with a
# file of this run's own that goes when the run ends.
config=/etc/pkcs11/modules/tokenhub-host-test-$$.module
mkdir -p /etc/pkcs11/modules
trap 'rm -f "$config"; rig_cleanup' EXIT
# Only the host sees the token: the machine's own SoftHSM2 module, which
# p11-kit's proxy lists too, gets an empty token folder.
echo "remote: |/usr/bin/env SOFTHSM2_CONF=$SOFTHSM2_CONF $host /usr/lib/softhsm/libsofthsm2.so" >"$config"
mkdir empty
printf 'directories.tokendir = %s/empty\nobjectstore.backend = file\nlog.level = ERROR\n' "$rig_work" >empty.conf
export SOFTHSM2_CONF=$rig_work/empty.conf

p11() { pkcs11-tool --module /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so --token-label hosted "$@"; }
pkcs11-tool --module /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so --list-slots >slots.out
cat slots.out
[ "$(grep -c "token label *: hosted" slots.out)" = 1 ]
ec_sign_and_verify 1234
# A wrong PIN comes back as the module's own result.
if p11 --login --pin 9999 --list-objects >wrongpin.out 2>&1; then exit 1; fi
grep -q CKR_PIN_INCORRECT wrongpin.out
echo "p11-kit's client signed through tokenhub-host"
