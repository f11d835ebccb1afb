#!/usr/bin/env bash
# Builds every preset and runs every test: the native suites (plain and under
# AddressSanitizer + UBSan, and under ThreadSanitizer), the fuzzers, the
# integration tests against the real PC/SC
# daemon with the virtual readers, the Windows builds' suites under Wine, and
# last the main demonstration. Prints each preset's CTest summary and a
# closing total.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/install-deps.sh || exit 1

# win32 before win64: the x64 installer package carries the win32 build's
# PE32 tokenhub.dll too.
presets=(${TOKENHUB_PRESETS:-linux linux-sanitize linux-tsan fuzz win32 win64})
for preset in "${presets[@]}"; do
  echo "== build $preset"
  cmake --preset "$preset" >"build-$preset.log" 2>&1 && cmake --build --preset "$preset" >>"build-$preset.log" 2>&1 \
    || { tail -40 "build-$preset.log"; echo "build of $preset failed"; exit 1; }
  rm -f "build-$preset.log"
done
for preset in "${presets[@]}"; do
  case $preset in win*) bash scripts/wine-setup ;; esac
done

passed=0 failed=0 status=0
summaries=()
for preset in "${presets[@]}"; do
  echo "== test $preset"
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
  rm -f "$log"
done
# The README's main job must keep working too: it runs last, on the builds
# made above.
if [[ " ${presets[*]} " == *" linux "* ]]; then
  echo "== main demonstration (scripts/demo.sh)"
  if bash scripts/demo.sh >demo.log 2>&1; then
    grep -E '^(==|Verified OK|jar verified)' demo.log
    passed=$((passed + 1)); summaries+=("demo: 1 passed, 0 failed")
    rm -f demo.log
  else
    tail -40 demo.log
    failed=$((failed + 1)); status=1; summaries+=("demo: 0 passed, 1 failed (demo.log)")
  fi
fi
bash scripts/pcscd-rig stop >/dev/null 2>&1 || true
echo
printf '%s\n' "${summaries[@]}"
echo "$passed passed, $failed failed"
exit $status
