#!/usr/bin/env bash
# Unloading the initialised module finalises and unloads the backends; ending
# the process while it is loaded does not call into them (they may be gone).
#   module_lifecycle.sh PROGRAM MODULE [EMULATOR...]
set -euo pipefail
program=$1 module=$2; shift 2
trace=$(mktemp); trap 'rm -f "$trace"' EXIT
export TOKENHUB_MOCK_TRACE=$trace TOKENHUB_MOCK_SLOTS="1:1:Lifecycle Reader"
# A Windows program under Wine opens the trace through drive Z:.
if [ $# -gt 0 ]; then TOKENHUB_MOCK_TRACE="Z:${trace//\//\\}" module="Z:${module//\//\\}"; fi
finalizes() { grep -c '^[1-4] 1$' "$trace" || true; }   # function 1 is C_Finalize

"$@" "$program" "$module" unload
[ "$(finalizes)" = 4 ] || { echo "FAIL: unload finalised $(finalizes) backends, want 4"; cat "$trace"; exit 1; }
echo "ok: unloading the module finalised the 4 backends"

: >"$trace"
"$@" "$program" "$module" exit
grep -q '^1 0$' "$trace" || { echo "FAIL: the backends were not initialised"; exit 1; }
[ "$(finalizes)" = 0 ] || { echo "FAIL: process end called C_Finalize of $(finalizes) backends"; exit 1; }
echo "ok: ending the process left the backends alone"

if [ $# -eq 0 ]; then
  : >"$trace"
  "$program" "$module" fork
  [ "$(grep -c '^[1-4] 0$' "$trace")" = 8 ] || { echo "FAIL: want 4 initialisations by each process"; cat "$trace"; exit 1; }
  [ "$(finalizes)" = 8 ] || { echo "FAIL: $(finalizes) finalisations, want 4 by the child and 4 by the parent"; exit 1; }
  echo "ok: a forked child started the library afresh and left the parent's alone"
fi
