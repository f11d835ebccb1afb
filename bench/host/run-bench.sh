#!/usr/bin/env bash
# Prints the cost that a module host adds per call against SoftHSM2 loaded in
# process, side by side: tokenhub's client and host, and for each p11-kit
# generation its proxy with its own p11-kit-remote and with tokenhub-host:
#   bench/host/run-bench.sh BUILD_DIR [ROUNDS [PREFIX...]]
# Each path runs REPEATS times (default 3), the paths in turn, and each
# figure is the median of its runs: one pass that the machine slowed down
# moves no figure.
# PREFIX: /usr for the system's p11-kit, or a prefix that
# ../shared/peers/build-p11-kit.sh built (default: /usr, and
# BUILD_DIR/p11-kit-0.26.4 when it is there). As root: the system's proxy
# reads its remote: module from /etc/pkcs11/modules.
# With WIN64_BUILD=DIR (a win64 build), it also prints the time of a call
# through the host under Wine beside Linux's, each with a mock module (no
# SoftHSM2 there). Wine moves a named pipe's bytes through its server (about
# eleven requests per round trip): a bare round trip on an overlapped named
# pipe alone costs it about 300 us on a machine where a whole call through
# the host takes 35 us on Linux.
set -euo pipefail
build=$(cd "$1" && pwd) rounds=${2:-2000}
shift $(($# < 2 ? $# : 2))
prefixes=("$@")
if [ ${#prefixes[@]} = 0 ]; then
  prefixes=(/usr)
  [ -d "$build/p11-kit-0.26.4" ] && prefixes+=("$build/p11-kit-0.26.4")
fi
softhsm=/usr/lib/softhsm/libsofthsm2.so
multiarch=$(gcc -print-multiarch)
work=$(mktemp -d) configs=()
trap 'rm -rf "$work"; rm -f "${configs[@]}"' EXIT
mkdir "$work/tokens" "$work/empty"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" >"$work/bench.conf"
printf 'directories.tokendir = %s/empty\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" >"$work/empty.conf"
export SOFTHSM2_CONF=$work/bench.conf
softhsm2-util --init-token --free --label bench --pin 1234 --so-pin 12345678 >/dev/null
pkcs11-tool --module $softhsm --token-label bench --login --pin 1234 --keypairgen --key-type EC:prime256v1 \
  --id 01 >/dev/null
bench=$build/bench/host_bench
runs=() names=()
for ((repeat = 0; repeat < ${REPEATS:-3}; ++repeat)); do
runs+=("$("$bench" direct $softhsm bench 1234 "$rounds")" "$("$bench" hosted "$build/tokenhub/tokenhub-host" $softhsm bench 1234 "$rounds")")
names+=("direct" "tokenhub")
# Through each generation's proxy; only its remote: module sees the token
# (the machine's SoftHSM2 module, which the system's proxy lists too, gets
# an empty folder).
for prefix in "${prefixes[@]}"; do
  if [ "$prefix" = /usr ]; then
    proxy=/usr/lib/$multiarch/p11-kit-proxy.so remote=/usr/libexec/p11-kit/p11-kit-remote
    dir=/etc/pkcs11/modules libs= pc=/usr/lib/$multiarch/pkgconfig/p11-kit-1.pc
  else
    proxy=$prefix/lib/p11-kit-proxy.so remote=$prefix/libexec/p11-kit/p11-kit-remote
    dir=$prefix/etc/pkcs11/modules libs=$prefix/lib pc=$prefix/lib/pkgconfig/p11-kit-1.pc
  fi
  generation=$(sed -n 's/^Version: //p' "$pc")
  config=$dir/tokenhub-host-bench-$$.module
  configs+=("$config")
  mkdir -p "$dir"
  for server in "$remote" "$build/tokenhub/tokenhub-host"; do
    echo "remote: |/usr/bin/env SOFTHSM2_CONF=$work/bench.conf LD_LIBRARY_PATH=$libs $server $softhsm" >"$config"
    runs+=("$(SOFTHSM2_CONF=$work/empty.conf LD_LIBRARY_PATH=$libs "$bench" proxy "$proxy" bench 1234 "$rounds")")
    names+=("$generation/$(basename "$server")")
  done
  rm -f "$config"
done
done
printf '%s\n' "${runs[@]}"
python3 - "${names[@]}" -- "${runs[@]}" <<'PY'
import statistics, sys
split = sys.argv.index('--')
names, lines = sys.argv[1:split], sys.argv[split + 1:]
runs = {}
for name, line in zip(names, lines):
    runs.setdefault(name, []).append({k: float(v) for k, v in (kv.split('=') for kv in line.split()[1:])})
median = {name: {k: statistics.median(run[k] for run in each) for k in each[0]} for name, each in runs.items()}
direct = median.pop("direct")
print(f"medians of {len(runs['direct'])} runs")
print(f"{'added us per call':28s}" + "".join(f"{k[:-3]:>14s}" for k in direct))
print(f"{'direct (absolute)':28s}" + "".join(f"{direct[k]:14.2f}" for k in direct))
for name, run in median.items():
    print(f"{name:28s}" + "".join(f"{run[k] - direct[k]:+14.2f}" for k in direct))
PY

windows=${WIN64_BUILD:-}
if [ -n "$windows" ]; then
  windows=$(cd "$windows" && pwd)
  z() { echo "Z:${1//\//\\}"; }
  call() { sed -n 's/.*session_info_us=\([0-9.]*\).*/\1/p'; }
  export TOKENHUB_MOCK_SLOTS="1:1:Bench reader"
  linux=$("$build/bench/host_bench" hosted "$build/tokenhub/tokenhub-host" "$build/testbin/aetpkss1.so" \
    "Mock token 1" 1234 "$rounds" | call)
  source "$(dirname "$0")/../../scripts/wine-env" 64
  [ -f "$WINEPREFIX/.ready" ] || bash "$(dirname "$0")/../../scripts/wine-setup"
  wine=$("$WINE_LOADER" "$windows/bench/host_bench.exe" hosted "$(z "$windows/tokenhub/tokenhub-host.exe")" \
    "$(z "$windows/testbin/aetpkss1.dll")" "Mock token 1" 1234 "$rounds" </dev/null | tr -d '\r' | call)
  python3 -c "import sys; l, w = map(float, sys.argv[1:]); print(f'C_GetSessionInfo through the host (mock module): Linux {l:.2f} us, Wine {w:.2f} us, Wine/Linux {w/l:.2f} (goal at most 2)')" "$linux" "$wine"
fi
