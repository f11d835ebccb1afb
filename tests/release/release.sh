#!/usr/bin/env bash
# The release as scripts/release makes it, in three steps over one folder:
#
#   release.sh build WORK               builds the release twice, in WORK/a and
#                                       WORK/b, and compares every file byte for byte
#   release.sh sign WORK LINUX_BUILD    (pcscd with vpcd running) signs WORK/a through
#                                       tokenhub with a SoftHSM2 key behind an emulated
#                                       card and a local time-stamp server; osslsigncode
#                                       accepts all six files with the test's CA and
#                                       refuses each with one byte changed; each
#                                       signature names the program "Penwick" and its
#                                       URL; tokenhub's trace shows C_Sign and never the PIN
#   release.sh check WORK WIN64_BUILD   the rebuild WORK/b plus WORK/a's detached
#                                       signatures give WORK/a's signed files byte for
#                                       byte; the signed x64 package installs, runs and
#                                       uninstalls (installer_lifecycle.py)
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
release=$root/scripts/release
files=(linux/libtokenhub.so win32/tokenhub.dll win32/tokenhub-host.exe win32/launcher.exe win32/penwick.msi
       win64/tokenhub.dll win64/tokenhub-host.exe win64/launcher.exe win64/penwick.msi
       policy/tokenhub.admx policy/en-US/tokenhub.adml)
signed=("${files[@]:1:8}")
work=$(realpath -m "${2:-.}")

case $1 in
build)
  bash "$release" build "$work/a"
  bash "$release" build "$work/b"
  same=0
  for f in "${files[@]}"; do
    printf '%s  %s\n%s  %s\n' "$(sha256sum <"$work/a/unsigned/$f" | cut -c1-64)" "a/$f" \
      "$(sha256sum <"$work/b/unsigned/$f" | cut -c1-64)" "b/$f"
    cmp "$work/a/unsigned/$f" "$work/b/unsigned/$f" && same=$((same + 1))
  done
  echo "$same of ${#files[@]} files the same in both builds"
  [ "$same" = "${#files[@]}" ] ;;

sign)
  build=$(cd "$3" && pwd)
  pin=Rel3asePin47  # a PIN no line of the trace can hold by chance
  source "$root/tests/tokenhub/integration/signing_rig.sh"
  rig_begin tokenhub-release
  rig_softhsm_token release "$pin"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -subj "/CN=tokenhub test CA" -days 30 \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
  issue() {  # NAME EXTENDED-KEY-USAGE
    openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=tokenhub test $1" 2>/dev/null
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,%s\n' "$2" >"$1.ext"
    openssl x509 -req -in "$1.csr" -CA ca.crt -CAkey ca.key -CAcreateserial -days 30 -extfile "$1.ext" -out "$1.crt" 2>/dev/null
  }
  cp ca.crt "$work/ca.crt"  # the verifier's trusted root
  issue codesign codeSigning
  issue tsa timeStamping
  openssl pkcs8 -topk8 -nocrypt -in codesign.key -outform DER -out codesign.p8
  openssl x509 -in codesign.crt -outform DER -out codesign.der
  for what in "codesign.p8 privkey" "codesign.der cert"; do
    set -- $what
    pkcs11-tool --module /usr/lib/softhsm/libsofthsm2.so --token-label release --login --pin "$pin" \
      --write-object "$1" --type "$2" --id 01 --label codesign >/dev/null
  done
  module=$work/a/unsigned/linux/libtokenhub.so
  export LD_LIBRARY_PATH=$build/softhsm-backend:$build/testbin TOKENHUB_LOG=$rig_work/trace.log
  rig_insert_card "$build"
  for _ in $(seq 1 30); do
    pkcs11-tool --module "$module" --token-label release --list-token-slots >/dev/null 2>&1 && break
    sleep 0.2
  done

  # The time-stamp server: openssl ts -reply behind HTTP on 127.0.0.1.
  printf '%s\n' '[tsa]' 'default_tsa = tsa1' '[tsa1]' 'serial = tsaserial' 'signer_cert = tsa.crt' \
    'signer_key = tsa.key' 'certs = ca.crt' 'signer_digest = sha256' 'default_policy = 1.3.6.1.4.1.4146.2.3' \
    'digests = sha256, sha384, sha512' 'accuracy = secs:1' 'ess_cert_id_alg = sha256' >tsa.cnf
  echo 01 >tsaserial
  /usr/bin/python3 - <<'EOF' &
import http.server, subprocess
class TimeStamp(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "tsa.cnf", "-queryfile", "/dev/stdin",
                                "-out", "/dev/stdout"], input=query, capture_output=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamp)
open("tsa.port.partial", "w").write(str(server.server_address[1]))
__import__("os").rename("tsa.port.partial", "tsa.port")
server.serve_forever()
EOF
  tsa=$!
  trap 'kill $tsa; rig_cleanup' EXIT
  for _ in $(seq 1 50); do [ -f tsa.port ] && break; sleep 0.1; done

  url=https://penwick.orvane.example/release-test
  RELEASE_KEY="pkcs11:token=release;object=codesign;type=private" RELEASE_CERT=$rig_work/codesign.crt \
    RELEASE_TSA=http://127.0.0.1:$(cat tsa.port) RELEASE_PIN=$pin RELEASE_URL=$url bash "$release" sign "$work/a"
  failed=0
  for f in "${signed[@]}"; do
    if opus=$(/usr/bin/python3 "$here/opus_info.py" "$work/a/signatures/$f.p7s") \
       && [ "$opus" = "Penwick $url" ]; then
      echo "ok    $f: the signature names \"Penwick\" and $url"
    else
      echo "FAIL  $f: the signature names ${opus:-nothing}"; failed=1
    fi
    if osslsigncode verify -CAfile ca.crt -TSA-CAfile ca.crt -in "$work/a/signed/$f" >verify.out 2>&1 \
       && grep -q "^Timestamp Server Signature verification: ok" verify.out \
       && grep -q "^Signature verification: ok" verify.out; then
      echo "ok    $f: signature and time stamp verified"
    else
      cat verify.out; echo "FAIL  $f: not verified"; failed=1
    fi
    [ "$f" != win64/penwick.msi ] || cp verify.out "$work/verify-win64-penwick.msi.txt"
    cp "$work/a/signed/$f" changed
    size=$(stat -c %s changed)
    printf '\xa5' | dd of=changed bs=1 seek=$((size / 2)) conv=notrunc status=none
    if osslsigncode verify -CAfile ca.crt -TSA-CAfile ca.crt -in changed >/dev/null 2>&1; then
      echo "FAIL  $f: accepted with a byte changed"; failed=1
    else
      echo "ok    $f: refused with a byte changed"
    fi
  done
  # One signature a file, each a C_Sign that the backend answered with CKR_OK.
  signs=$(grep -cE " C_Sign\(.*\) = CKR_OK$" trace.log || true)
  echo "tokenhub's trace: $signs C_Sign lines"
  cp trace.log "$work/trace.log"
  [ "$signs" -ge 8 ] || { echo "FAIL  the signatures did not go through tokenhub"; failed=1; }
  ! grep -qF "$pin" trace.log || { echo "FAIL  tokenhub's trace holds the PIN"; failed=1; }
  exit $failed ;;

check)
  RELEASE_CAFILE=$work/ca.crt bash "$release" attach "$work/b" "$work/a/signatures"
  same=0
  for f in "${signed[@]}"; do
    cmp "$work/a/signed/$f" "$work/b/signed/$f" && same=$((same + 1))
  done
  echo "$same of ${#signed[@]} signed files rebuilt byte for byte from the detached signatures"
  [ "$same" = "${#signed[@]}" ]
  /usr/bin/python3 "$root/tests/installer/installer_lifecycle.py" "$(cd "$3" && pwd)" "$work/a/signed"
  echo "the signed x64 package installs, runs and uninstalls" ;;
*)
  sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 2 ;;
esac
