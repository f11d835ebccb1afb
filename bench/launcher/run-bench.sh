#!/usr/bin/env bash
# Prints the launcher's time from process start to its child's creation as a
# ratio to a bare CreateProcessW of the same child, under wine64.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cmake --build --preset win64 --target launcher launcher_bench childprobe >/dev/null
source "$root/scripts/wine-env" 64
[ -f "$WINEPREFIX/.ready" ] || bash "$root/scripts/wine-setup"
mkdir -p "$WINEPREFIX/drive_c/ProgramData/Orvane/Penwick"
work=$root/build/bench-launcher
rm -rf "$work" && mkdir -p "$work/app" "$work/data"
win() { echo "Z:${1//\//\\}"; }
cp "$root/build/win64/launcher/launcher.exe" "$work/app/"
touch "$work/app/bench.jar"  # the launcher looks for the jar before it starts Java
cat >"$work/app/launcher.toml" <<TOML
[jre]
main_jar = "bench.jar"
[app]
exec = '$(win "$root/build/win64/testbin/childprobe.exe")'
data_dir = '$(win "$work/data")'
TOML
"$WINE_LOADER" "$root/build/win64/testbin/launcher_bench.exe" "$(win "$work/app/launcher.exe")" \
  "$(win "$root/build/win64/testbin/childprobe.exe")" "$(win "$work/data")" "${1:-7}"
