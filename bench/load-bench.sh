#!/usr/bin/env bash
# The load benchmark: builds what it needs (linux preset), makes sure the
# PC/SC daemon serves the vpcd readers, puts an emulated family-1 card into
# "Virtual PCD 00 00" and runs build/linux/bench/load_bench, which prints
# the throughput of the router, of SoftHSM2 alone, of p11-kit's proxy and of
# the router with hosted backends, and
# their ratios.
#   bash bench/load-bench.sh [processes threads seconds rounds [together]]   (default 8 4 5 3)
# A daemon that runs already is used and left running. One that this script
# starts is started with --auto-exit: it ends by itself once idle, so that
# no test that found it running meanwhile loses it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/linux
cd "$root"
[ -f "$build/build.ninja" ] || cmake --preset linux >/dev/null
cmake --build --preset linux --target load_bench tokenhub tokenhub-host softhsm_backend cardemu_tool >/dev/null

readers() { timeout 10 opensc-tool --list-readers 2>/dev/null | grep -cF "Virtual PCD 00 0" || true; }
if [ "$(readers)" -lt 2 ]; then
  if pgrep -x pcscd >/dev/null; then
    echo "load-bench: a pcscd without the vpcd readers is running; not replacing another's daemon" >&2
    exit 1
  fi
  mkdir -p /run/pcscd
  setsid pcscd --foreground --auto-exit >/dev/null 2>&1 </dev/null &
  for _ in $(seq 1 100); do [ "$(readers)" -ge 2 ] && break; sleep 0.1; done
  [ "$(readers)" -ge 2 ] || { echo "load-bench: the vpcd readers did not appear" >&2; exit 1; }
fi
if timeout 10 opensc-tool --reader 0 --atr >/dev/null 2>&1; then
  echo "load-bench: \"Virtual PCD 00 00\" holds a card already (another test's emulator?)" >&2
  exit 1
fi

work=$(mktemp -d /tmp/tokenhub-load-bench-XXXXXX)
mkfifo "$work/card"
"$build/testbin/cardemu" --reader 0 <"$work/card" >"$work/card.log" 2>&1 &
card=$!
exec 3>"$work/card"
cleanup() { exec 3>&-; wait "$card" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
for _ in $(seq 1 50); do timeout 10 opensc-tool --reader 0 --atr >/dev/null 2>&1 && break; sleep 0.1; done

LD_LIBRARY_PATH=$build/softhsm-backend "$build/bench/load_bench" "$build/tokenhub/libtokenhub.so" "$@"
