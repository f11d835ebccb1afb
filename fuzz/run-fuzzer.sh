#!/usr/bin/env bash
# run-fuzzer.sh FUZZER CORPUS [LIBFUZZER-OPTIONS...]: replays the committed
# corpus, then fuzzes for TOKENHUB_FUZZ_SECONDS (default 10) with new inputs
# kept in a scratch folder. Fails when either run finds a fault.
set -euo pipefail
fuzzer=$1 corpus=$2 seconds=${TOKENHUB_FUZZ_SECONDS:-10}
shift 2
scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT
"$fuzzer" -runs=0 "$@" "$corpus" 2>&1 | tail -1
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 "$@" "$scratch" "$corpus" 2>&1 \
  | { grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::new_units_added|==[0-9]+== ?ERROR|SUMMARY)' || true; }
