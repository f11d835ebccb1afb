#!/usr/bin/env bash
# Unloading the initialised module finalises and unloads the backends on
# Linux; on Windows the unload runs under the loader lock and leaves them
# alone, and returns at once even with backends that end threads of their
# own in C_Finalize. Ending the process while it is loaded does not call into
# them (they may be gone). On Windows, loading and unloading it again and
# again leaks nothing. A backend that the host initialised itself serves
# and is finalised by the host only. Forked children start the library on
# their own and never finalise the backends they share with the parent. The
# backends are found beside the module, never in the current directory or on
# PATH, and on Windows so are the DLLs that they import.
#   module_lifecycle.sh PROGRAM MODULE_BESIDE_BACKENDS MODULE_ALONE BACKEND_DIR [EMULATOR...]
set -euo pipefail
program=$1 module=$2 alone=$3 backends=$4; shift 4
trace=$(mktemp) scratch=$(mktemp -d); trap 'rm -rf "$trace" "$scratch"' EXIT
export TOKENHUB_MOCK_TRACE=$trace TOKENHUB_MOCK_SLOTS="1:1:Lifecycle Reader;2:1:Lifecycle Reader;3:1:Lifecycle Reader;4:1:Lifecycle Reader"
# The module and its backends without the DLL the backends import.
cp "$(dirname "$module")"/* "$scratch"/ && rm -f "$scratch"/mockctl.dll
bare=$scratch/$(basename "$module")
# A Windows program under Wine opens the files through drive Z:.
z() { echo "Z:${1//\//\\}"; }
if [ $# -gt 0 ]; then
  TOKENHUB_MOCK_TRACE=$(z "$trace") module=$(z "$module") alone=$(z "$alone") bare=$(z "$bare")
  export WINEPATH="$(z "$backends");${WINEPATH:-}"
fi
calls() { grep -c "^[1-4] $1 ${2:-}" "$trace" || true; }   # function 0 is C_Initialize, 1 C_Finalize

# 32-bit Windows programs cost most of a minute a start under qemu-i386 and
# do not survive threads there: they skip the backends' own threads and the
# proofs whose code is the 64-bit build's (the host's backend, the imports).
full=1
if [ $# -gt 0 ] && [ "$(bash "$(dirname "$0")/../../scripts/pe-arch" "$program")" = 32 ]; then full=0; fi
# Each backend starts a thread in C_Initialize and waits for it in C_Finalize.
# A 32-bit program's start alone (qemu) can pass 30 s on a loaded machine;
# it proves no thread's end.
limit=30; [ $full = 1 ] || limit=240
TOKENHUB_MOCK_WORKER=$full timeout $limit "$@" "$program" "$module" unload
if [ $# -gt 0 ]; then want=0; else want=4; fi
[ "$(calls 1)" = $want ] || { echo "FAIL: unload finalised $(calls 1) backends, want $want"; cat "$trace"; exit 1; }
echo "ok: unloading the module finalised $want of the 4 backends beside it, within a second"

# A host that loads and frees the module per job: the rounds leave no TLS
# index, handle or thread behind, the backends' own threads included. One
# round leaked an index and two handles: fewer rounds for the slow 32-bit starts.
if [ $# -gt 0 ]; then
  rounds=${TOKENHUB_LIFECYCLE_ROUNDS:-$((full ? 200 : 100))}
  TOKENHUB_MOCK_WORKER=$full "$@" "$program" "$module" rounds "$rounds"
  echo "ok: $rounds rounds of load, C_Initialize, C_Finalize and unload left nothing behind"
fi
# Linux, the backends in module hosts: unloading without C_Finalize ends
# the hosts and gives every descriptor back.
if [ $# -eq 0 ]; then
  rounds=${TOKENHUB_LIFECYCLE_ROUNDS:-50}
  TOKENHUB_HOST_BACKENDS=1 "$program" "$module" rounds "$rounds"
  echo "ok: $rounds rounds of load, C_Initialize, use and unload without C_Finalize left no host behind"
fi

: >"$trace"
"$@" "$program" "$module" exit
[ "$(calls 0)" = 4 ] || { echo "FAIL: the backends were not initialised"; exit 1; }
[ "$(calls 1)" = 0 ] || { echo "FAIL: process end called C_Finalize of $(calls 1) backends"; exit 1; }
echo "ok: ending the process left the backends alone"

if [ $full = 1 ]; then
  TOKENHUB_MOCK_SLOTS="1:1:Lifecycle Reader" "$@" "$program" "$module" shared
  echo "ok: a backend that the host initialised served and was left to the host to finalise"
fi

if [ $# -eq 0 ]; then
  : >"$trace"
  children=$(TOKENHUB_MOCK_SLOW_FINALIZE=1 "$program" "$module" fork | sed -n 's/^child //p')
  for child in $children; do
    roles=$(grep "^[1-4] 4 $child\$" "$trace" | cut -d' ' -f1 | sort -u | wc -l)   # 4 is C_GetSlotList
    [ "$roles" = 4 ] || { echo "FAIL: child $child served $roles roles, want 4"; cat "$trace"; exit 1; }
    [ "$(calls 1 "$child\$")" = 0 ] || { echo "FAIL: child $child finalised the parent's backends"; cat "$trace"; exit 1; }
  done
  [ "$(calls 1)" = 4 ] || { echo "FAIL: $(calls 1) finalisations, want the parent's 4"; cat "$trace"; exit 1; }
  echo "ok: children forked after C_Initialize and inside C_Finalize served all four roles and finalised none"
fi

# A set-user-id host (effective user root, real user nobody) is never traced,
# whatever TOKENHUB_LOG says; the same program without the bit is.
if [ $# -eq 0 ] && [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
  mkdir -m 1777 "$scratch/logs" && cp "$program" "$scratch/suid" && chmod 755 "$scratch" && chmod 4755 "$scratch/suid"
  for host in "$program" "$scratch/suid"; do
    TOKENHUB_LOG=$scratch/logs/$(basename "$host").log setpriv --reuid=65534 --regid=65534 --clear-groups \
      "$host" "$module" exit >/dev/null 2>&1 || true
  done
  [ -s "$scratch/logs/$(basename "$program").log" ] || { echo "FAIL: the plain host was not traced"; exit 1; }
  [ ! -e "$scratch/logs/suid.log" ] || { echo "FAIL: the set-user-id host took the switch"; exit 1; }
  echo "ok: a set-user-id host took no trace switch from the environment"
fi

# The module in a folder of its own; the backends in the current directory
# and on PATH only.
: >"$trace"
(cd "$backends" && PATH="$backends:$PATH" && unset LD_LIBRARY_PATH && "$@" "$program" "$alone" unload)
if [ "$(calls 0)" != 0 ]; then echo "FAIL: a backend from the current directory or PATH was loaded"; cat "$trace"; exit 1; fi
echo "ok: no backend was loaded from the current directory or PATH"

if [ $# -gt 0 ] && [ $full = 1 ]; then
  # The backends beside the module, the DLL they import only in the current
  # directory and on PATH: they must not load.
  (cd "$backends" && "$@" "$program" "$bare" unload)
  if [ "$(calls 0)" != 0 ]; then echo "FAIL: a backend imported a DLL from the current directory or PATH"; cat "$trace"; exit 1; fi
  echo "ok: no backend took the DLL it imports from the current directory or PATH"
fi
