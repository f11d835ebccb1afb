#!/usr/bin/env bash
# Builds every preset and runs every test: the native suites (plain and under
# AddressSanitizer + UBSan, and under ThreadSanitizer), the fuzzers, the
# integration tests against the real PC/SC
# daemon with the virtual readers, the Windows builds' suites under Wine, the
# release (reproducible, signed through tokenhub). The main demonstration runs
# first, before any preset is built. Prints each preset's CTest summary and a
# closing total.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh || exit 1

passed=0 failed=0 status=0
summaries=()
# elapsed SECONDS: minutes and seconds, for the summary.
elapsed() { printf '%dm%02ds' $(($1 / 60)) $(($1 % 60)); }
# step NAME LOG PATTERN COMMAND...: a counted check besides the presets'
# suites; its log's lines matching PATTERN are shown, the whole log kept when
# it fails.
step() {
  local name=$1 log=$2 pattern=$3
  shift 3
  if "$@" >"$log" 2>&1; then
    grep -E "$pattern" "$log"
    passed=$((passed + 1)); summaries+=("$name: 1 passed, 0 failed")
    rm -f "$log"
  else
    tail -40 "$log"
    failed=$((failed + 1)); status=1; summaries+=("$name: 0 passed, 1 failed ($log)")
  fi
}
# The README's main job first, on the fresh tree of a new clone: it builds
# what it uses itself, so a step that relies on another preset's build fails
# here rather than passing on the builds made below.
if [[ " ${TOKENHUB_PRESETS:-linux} " == *" linux "* ]]; then
  echo "== main demonstration (scripts/demo.sh)"
  started=$SECONDS
  step demo demo.log '^(==|Verified OK|jar verified)' bash scripts/demo.sh
  summaries[-1]+=" ($(elapsed $((SECONDS - started))))"
fi

# win32 before win64: the x64 installer package carries the win32 build's
# PE32 tokenhub.dll too.
presets=(${TOKENHUB_PRESETS:-linux linux-sanitize linux-tsan fuzz win32 win64})
declare -A buildTime
for preset in "${presets[@]}"; do
  echo "== build $preset"
  started=$SECONDS
  cmake --preset "$preset" >"build-$preset.log" 2>&1 && cmake --build --preset "$preset" >>"build-$preset.log" 2>&1 \
    || { tail -40 "build-$preset.log"; echo "build of $preset failed"; exit 1; }
  rm -f "build-$preset.log"
  buildTime[$preset]=$((SECONDS - started))
done
for preset in "${presets[@]}"; do
  case $preset in win*) bash scripts/wine-setup ;; esac
done

for preset in "${presets[@]}"; do
  echo "== test $preset"
  started=$SECONDS
  log=$(mktemp)
  ctest --preset "$preset" -j2 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" = 0 ] || status=1
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$line" ]; then
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad)); failed=$((failed + bad))
    summaries+=("$preset: $((total - bad)) passed, $bad failed")
  else
    status=1; summaries+=("$preset: no summary")
  fi
  summaries[-1]+=" (build $(elapsed ${buildTime[$preset]}), tests $(elapsed $((SECONDS - started))))"
  rm -f "$log"
done
# The release (tests/release/release.sh): the shipped files built twice in
# fresh trees and compared, signed through tokenhub against the real daemon,
# and rebuilt signed from the detached signatures; the signed x64 package's
# life cycle under Wine.
release_test() {
  local work rc=0
  work=$(mktemp -d /tmp/tokenhub-release-XXXXXX)
  bash tests/release/release.sh build "$work" || rc=1
  if [ $rc = 0 ]; then
    bash scripts/pcscd-rig start >/dev/null 2>&1 || rc=1
    [ $rc = 1 ] || bash tests/release/release.sh sign "$work" build/linux || rc=1
    bash scripts/pcscd-rig stop >/dev/null 2>&1 || true
  fi
  [ $rc = 1 ] || bash tests/release/release.sh check "$work" build/win64 || rc=1
  [ $rc = 1 ] || rm -rf "$work"
  return $rc
}
if [[ " ${presets[*]} " == *" linux "* && " ${presets[*]} " == *" win32 "* && " ${presets[*]} " == *" win64 "* ]]; then
  echo "== release (tests/release/release.sh)"
  started=$SECONDS
  step release release.log '^(ok|[0-9]+ of [0-9]+|tokenhub.s trace|the signed)' release_test
  summaries[-1]+=" ($(elapsed $((SECONDS - started))))"
fi
bash scripts/pcscd-rig stop >/dev/null 2>&1 || true
echo
printf '%s\n' "${summaries[@]}"
echo "whole run: $(elapsed $SECONDS)"
echo "$passed passed, $failed failed"
exit $status
