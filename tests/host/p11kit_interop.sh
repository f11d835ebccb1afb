#!/bin/bash
# The module host against one generation of p11-kit's peers, both ways, with
# SoftHSM2 as the module:
#  1. p11-kit's proxy with `remote: |tokenhub-host softhsm2`: the operations
#     of interop_ops.py give what they give with p11-kit's own server in the
#     host's place; pkcs11-tool lists, reads every attribute (-O), signs
#     (OpenSSL verifies) and p11tool lists as through p11-kit's server.
#  2. tokenhub with that generation's p11-kit-remote as its host command: the
#     operations give what SoftHSM2 gives directly (a version 0 server only
#     refuses the parameters it cannot read); pkcs11-tool -O reads the same.
#   p11kit_interop.sh BUILD_DIR PREFIX   (PREFIX: /usr for the system's p11-kit)
set -euo pipefail
build=$(cd "$1" && pwd)
prefix=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tokenhub/integration/signing_rig.sh"
. "$here/ec_signature.sh"
host=$build/tokenhub/tokenhub-host
softhsm=/usr/lib/softhsm/libsofthsm2.so
if [ "$prefix" = /usr ]; then
  proxy=/usr/lib/$(gcc -print-multiarch)/p11-kit-proxy.so
  pc=/usr/lib/$(gcc -print-multiarch)/pkgconfig/p11-kit-1.pc
  remote=/usr/libexec/p11-kit/p11-kit-remote
  configs=/etc/pkcs11/modules
  libs=
else
  proxy=$prefix/lib/p11-kit-proxy.so
  remote=$prefix/libexec/p11-kit/p11-kit-remote
  configs=$prefix/etc/pkcs11/modules
  libs=$prefix/lib
  pc=$prefix/lib/pkgconfig/p11-kit-1.pc
fi
generation=$(sed -n 's/^Version: //p' "$pc")
# Servers before 0.25 speak version 0 only.
older=$([ "$(printf '%s\n0.25\n' "$generation" | sort -V | head -1)" = 0.25 ] && echo no || echo yes)
echo "p11-kit $generation"
[ -x "$remote" ] && [ -f "$proxy" ] || { echo "no p11-kit in $prefix"; exit 1; }
rig_begin tokenhub-interop
rig_softhsm_token hosted 1234
token_conf=$SOFTHSM2_CONF
ops() { /usr/bin/python3 "$here/interop_ops.py" "$1" hosted 1234; }
ops "$softhsm" >direct.ops

# 1. p11-kit's client. A configuration of this run's own (p11-kit reads no
# user configuration as root); the machine's SoftHSM2 module, which the
# system's proxy lists too, gets an empty token folder.
config=$configs/tokenhub-interop-$$.module
mkdir -p "$configs" empty
trap 'rm -f "$config"; rig_cleanup' EXIT
printf 'directories.tokendir = %s/empty\nobjectstore.backend = file\nlog.level = ERROR\n' "$rig_work" >empty.conf
serve() { echo "remote: |/usr/bin/env SOFTHSM2_CONF=$token_conf LD_LIBRARY_PATH=$libs $1 $softhsm" >"$config"; }
through_proxy() {
  SOFTHSM2_CONF=$rig_work/empty.conf LD_LIBRARY_PATH=$libs "$@"
}
p11() { through_proxy pkcs11-tool --module "$proxy" --token-label hosted "$@"; }
serve "$host"
ec_sign_and_verify 1234
for server in "$remote" "$host"; do
  name=$(basename "$server")
  serve "$server"
  through_proxy /usr/bin/python3 "$here/interop_ops.py" "$proxy" hosted 1234 >"$name.ops"
  p11 --login --pin 1234 -O >"$name.objects"
  # p11tool: GnuTLS through the p11-kit library of that generation and its
  # configuration. GnuTLS skips a module whose information repeats one it
  # has: the machine's SoftHSM2 module must not start here.
  SOFTHSM2_CONF=/nonexistent LD_LIBRARY_PATH=$libs p11tool --login --set-pin 1234 --list-all "pkcs11:token=hosted" \
    >"$name.p11tool"
done
for what in ops objects p11tool; do
  diff -u "p11-kit-remote.$what" "tokenhub-host.$what"
done
grep -q "EC_POINT\|EC point" tokenhub-host.objects
grep -q "hosted-key" tokenhub-host.p11tool
if p11 --login --pin 9999 --list-objects >wrongpin.out 2>&1; then exit 1; fi
grep -q CKR_PIN_INCORRECT wrongpin.out
echo "== p11-kit's client through tokenhub-host, against SoftHSM2 directly:"
paste -d'|' direct.ops tokenhub-host.ops

# The PKCS#11 3.0 calls, which p11-kit carries from 0.25 on: through the
# proxy, each server in front of a module that offers them (testkit's, on
# the same token), the same results step by step.
if [ "$older" = no ]; then
  for server in "$remote" "$host"; do
    serve "$server"
    sed -i "s|$softhsm\$|$build/testbin/libinterface30_module.so|" "$config"
    through_proxy "$build/testbin/interface30_client" "$proxy" hosted 1234 >"$(basename "$server").v30" \
      || { cat "$(basename "$server").v30"; exit 1; }
  done
  diff -u p11-kit-remote.v30 tokenhub-host.v30
  echo "== the 3.0 calls through tokenhub-host: $(grep -c . tokenhub-host.v30) steps as through p11-kit-remote"
fi

# 2. tokenhub's client in front of p11-kit's server: the module as installed,
# with that server in the host's place beside it, role 1 being SoftHSM2
# behind the emulated card in "Virtual PCD 00 00".
rm -f "$config"
mkdir module
cp "$build/tokenhub/libtokenhub.so" module/
printf '#!/bin/sh\nLD_LIBRARY_PATH=%s exec %s "$@"\n' "$libs" "$remote" >module/tokenhub-host
chmod +x module/tokenhub-host
export TOKENHUB_HOST_BACKENDS=1 SOFTHSM2_CONF=$token_conf
export LD_LIBRARY_PATH=$build/softhsm-backend:$build/testbin
rig_insert_card "$build"
routed() { pkcs11-tool --module "$rig_work/module/libtokenhub.so" --token-label hosted "$@"; }
for _ in $(seq 1 30); do routed --list-objects >/dev/null 2>&1 && break; sleep 0.2; done
ops "$rig_work/module/libtokenhub.so" >routed.ops
routed --login --pin 1234 -O >routed.objects
pkcs11-tool --module "$softhsm" --token-label hosted --login --pin 1234 -O >direct.objects
diff -u direct.objects routed.objects
echo "== tokenhub through p11-kit-remote, against SoftHSM2 directly:"
paste -d'|' direct.ops routed.ops
# The same results; a version 0 server takes the fields of RSA_PKCS_PSS and
# OAEP only, so the parameters of ECDH, GCM and the hashing PSS do not go to
# it, and it cannot answer a nested template (as to its own client).
paste -d'|' direct.ops routed.ops | while IFS='|' read -r want got; do
  [ "$want" = "$got" ] && continue
  case "$got" in
    aes-gcm*": CKR_MECHANISM_PARAM_INVALID" | "derive-ecdh: CKR_MECHANISM_PARAM_INVALID" | \
      "sign-rsa-pss: CKR_MECHANISM_PARAM_INVALID" | "wrap-template: CKR_DEVICE_ERROR")
      [ "$older" = yes ] && continue ;;
  esac
  echo "differs: $want | $got"
  exit 1
done
if pgrep -f "p11-kit-remote aetpkss1" >/dev/null; then echo "a host outlived its consumer"; exit 1; fi
echo "p11-kit $generation in $prefix and tokenhub-host agree both ways"
