#!/usr/bin/env bash
# Unloading the initialised module finalises and unloads the backends; ending
# the process while it is loaded does not call into them (they may be gone).
# The backends are found beside the module, never in the current directory or
# on PATH.
#   module_lifecycle.sh PROGRAM MODULE_BESIDE_BACKENDS MODULE_ALONE BACKEND_DIR [EMULATOR...]
set -euo pipefail
program=$1 module=$2 alone=$3 backends=$4; shift 4
trace=$(mktemp); trap 'rm -f "$trace"' EXIT
export TOKENHUB_MOCK_TRACE=$trace TOKENHUB_MOCK_SLOTS="1:1:Lifecycle Reader"
# A Windows program under Wine opens the files through drive Z:.
if [ $# -gt 0 ]; then
  TOKENHUB_MOCK_TRACE="Z:${trace//\//\\}" module="Z:${module//\//\\}" alone="Z:${alone//\//\\}"
  export WINEPATH="Z:${backends//\//\\};${WINEPATH:-}"
fi
finalizes() { grep -c '^[1-4] 1$' "$trace" || true; }   # function 1 is C_Finalize

"$@" "$program" "$module" unload
[ "$(finalizes)" = 4 ] || { echo "FAIL: unload finalised $(finalizes) backends, want 4"; cat "$trace"; exit 1; }
echo "ok: unloading the module finalised the 4 backends beside it"

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

# The module in a folder of its own; the backends in the current directory
# and on PATH only.
: >"$trace"
(cd "$backends" && PATH="$backends:$PATH" && unset LD_LIBRARY_PATH && "$@" "$program" "$alone" unload)
if grep -q '^[1-4] 0$' "$trace"; then echo "FAIL: a backend from the current directory or PATH was loaded"; cat "$trace"; exit 1; fi
echo "ok: no backend was loaded from the current directory or PATH"
