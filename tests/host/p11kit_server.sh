#!/bin/bash
# tokenhub's hosted backends with p11-kit's own server as the host: every
# backend runs in `p11-kit remote MODULE`, role 1 being SoftHSM2 behind the
# emulated card in "Virtual PCD 00 00". pkcs11-tool signs through tokenhub,
# OpenSSL verifies; the hosts are gone once the consumer has finished.
#   p11kit_server.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
. "$(dirname "$0")/../tokenhub/integration/signing_rig.sh"
. "$(dirname "$0")/ec_signature.sh"
rig_begin tokenhub-host-server
rig_softhsm_token hosted 1234

# The module as installed, with p11-kit's server in the host's place beside it.
mkdir module
cp "$build/tokenhub/libtokenhub.so" module/
printf '#!/bin/sh\nexec /usr/libexec/p11-kit/p11-kit-remote "$@"\n' >module/tokenhub-host
chmod +x module/tokenhub-host
export TOKENHUB_HOST_BACKENDS=1
export LD_LIBRARY_PATH=$build/softhsm-backend:$build/testbin
rig_insert_card "$build"
p11() { pkcs11-tool --module "$rig_work/module/libtokenhub.so" --token-label hosted "$@"; }
for _ in $(seq 1 30); do p11 --list-objects >/dev/null 2>&1 && break; sleep 0.2; done
pkcs11-tool --module "$rig_work/module/libtokenhub.so" --list-slots | tee slots.out
grep -q "token label *: hosted" slots.out
ec_sign_and_verify 1234
# The backends ran in p11-kit's server, not in the consumer: none is left.
if pgrep -f "p11-kit-remote aetpkss1" >/dev/null; then echo "a host outlived its consumer"; exit 1; fi
echo "tokenhub signed through p11-kit's server"
