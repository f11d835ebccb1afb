#!/usr/bin/env bash
# Prints the cost that a module host adds per call, tokenhub's and p11-kit's
# remote: path side by side, against SoftHSM2 loaded in process, in one run:
#   bench/host/run-bench.sh BUILD_DIR [ROUNDS]
# (as root: p11-kit's proxy reads its remote: module from /etc/pkcs11/modules).
set -euo pipefail
build=$(cd "$1" && pwd) rounds=${2:-2000}
softhsm=/usr/lib/softhsm/libsofthsm2.so
work=$(mktemp -d) config=/etc/pkcs11/modules/tokenhub-host-bench-$$.module
trap 'rm -rf "$work"; rm -f "$config"' EXIT
mkdir "$work/tokens" "$work/empty"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" >"$work/bench.conf"
printf 'directories.tokendir = %s/empty\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" >"$work/empty.conf"
export SOFTHSM2_CONF=$work/bench.conf
softhsm2-util --init-token --free --label bench --pin 1234 --so-pin 12345678 >/dev/null
pkcs11-tool --module $softhsm --token-label bench --login --pin 1234 --keypairgen --key-type EC:prime256v1 \
  --id 01 >/dev/null
bench=$build/bench/host_bench
direct=$("$bench" direct $softhsm bench 1234 "$rounds")
hosted=$("$bench" hosted "$build/tokenhub/tokenhub-host" $softhsm bench 1234 "$rounds")
# Only p11-kit's remote: module sees the token: the machine's SoftHSM2
# module, which the proxy lists too, gets an empty folder.
mkdir -p /etc/pkcs11/modules
echo "remote: |/usr/bin/env SOFTHSM2_CONF=$work/bench.conf /usr/libexec/p11-kit/p11-kit-remote $softhsm" >"$config"
proxy=$(SOFTHSM2_CONF=$work/empty.conf "$bench" proxy /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so bench 1234 "$rounds")
printf '%s\n%s\n%s\n' "$direct" "$hosted" "$proxy"
python3 - "$direct" "$hosted" "$proxy" <<'PY'
import sys
runs = [dict(kv.split('=') for kv in line.split()[1:]) for line in sys.argv[1:]]
d, h, p = ({k: float(v) for k, v in r.items()} for r in runs)
for k in d:
    print(f"{k[:-3]:13s} direct {d[k]:8.2f} us  tokenhub host +{h[k]-d[k]:8.2f} us  p11-kit remote +{p[k]-d[k]:8.2f} us"
          f"  added cost tokenhub/p11-kit {(h[k]-d[k])/max(p[k]-d[k], 1e-9):.2f}")
PY
