#!/usr/bin/env bash
# The main demonstration, on built-in defaults:
#  1. builds tokenhub for Linux and starts the PC/SC daemon with the two
#     virtual readers;
#  2. a real PKCS#11 consumer (pkcs11-tool) loads the module, which finds an
#     emulated card in each reader and reads the cards' serial numbers itself;
#  3. a SoftHSM2 token with an EC and an RSA key stands behind a backend
#     module for "Virtual PCD 00 00"; real consumers (pkcs11-tool, p11tool,
#     PyKCS11, Java keytool/jarsigner, the OpenSSL engine) sign through
#     tokenhub and every signature is verified;
#  4. when the launcher is built, it starts a real Java program under Wine;
#  5. a few lines of tokenhub's diagnostic trace of step 3.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
step() { printf '\n==== %s\n' "$*"; }

step "installing dependencies"
bash scripts/install-deps.sh
step "building (preset linux)"
cmake --preset linux >/dev/null && cmake --build --preset linux | tail -1
module=$root/build/linux/tokenhub/libtokenhub.so

step "starting pcscd with the virtual readers"
bash scripts/pcscd-rig start
trap 'bash scripts/pcscd-rig stop' EXIT

step "pkcs11-tool loads tokenhub; an emulated card in each reader (mock backends report the readers)"
export LD_LIBRARY_PATH=$root/build/linux/testbin
echo "pkcs11-tool --module $module --show-info"
# The readers are still empty here, so pkcs11-tool ends with "No slot with a
# token was found." and exit code 1 after the library information.
info=$(TOKENHUB_MOCK_SLOTS="1:1:Virtual PCD 00 00;3:2:Virtual PCD 00 01" \
  pkcs11-tool --module "$module" --show-info 2>&1 || true)
echo "$info"
grep -q '^Cryptoki version 2.11' <<<"$info" || { echo "demo: pkcs11-tool could not load the module" >&2; exit 1; }
bash tests/tokenhub/integration/pkcs11_tool_slots.sh "$module" "$root/build/linux/testbin/cardemu"
unset LD_LIBRARY_PATH

step "signing through tokenhub with real consumers, SoftHSM2 keys behind the backend"
# tokenhub's diagnostic trace is on for these runs (docs/trace.md).
trace=$root/build/linux/demo-trace.log
rm -f "$trace" "$trace.1"
TOKENHUB_LOG=$trace bash tests/tokenhub/integration/consumers.sh "$root/build/linux" router

if [ -x scripts/demo-launcher.sh ]; then
  step "the launcher starts a Java program"
  bash scripts/demo-launcher.sh
fi
step "a few lines of tokenhub's trace of the signing runs ($trace)"
for event in 'module load' 'backend role 1' 'slot registration' 'recognition' 'serial read' 'C_OpenSession(' \
  'C_Login(' 'C_SignInit(' 'C_Sign('; do
  grep -m1 -F -- "$event" "$trace"
done
step "done"
