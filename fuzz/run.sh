#!/usr/bin/env bash
# Builds the fuzz preset and runs each fuzz target for the given number of
# seconds (default 30) on a scratch copy of its committed corpus, so the
# committed seeds never grow. Exits non-zero on any finding: a broken
# property, a sanitizer report, a crash, a hang past the per-input time-out,
# or running out of memory. Findings are kept in build/fuzz/findings/<target>/.
#
#   fuzz/run.sh          30 s per target
#   fuzz/run.sh 600      a longer run
set -euo pipefail

seconds="${1:-30}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: fuzz/run.sh [seconds per target]" >&2
  exit 2
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

targets=(fuzz_unit_run fuzz_config_area)
# Longest input worth making: a configuration area is 16 KB; a unit a few hundred
# bytes; arguments long enough that their echo outgrows a short console text.
declare -A max_len=([fuzz_unit_run]=512 [fuzz_config_area]=16400)
# A whole run takes milliseconds; one that takes this long is a hang.
timeout_s=25

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
findings="$root/build/fuzz/findings"

failed=()
for target in "${targets[@]}"; do
  cp -r "fuzz/corpus/$target" "$scratch/$target"
  mkdir -p "$findings/$target"
  echo "=== $target: ${seconds} s"
  status=0
  "build/fuzz/fuzz/$target" \
    -max_total_time="$seconds" \
    -timeout="$timeout_s" \
    -max_len="${max_len[$target]}" \
    -len_control=0 \
    -print_final_stats=1 \
    -artifact_prefix="$findings/$target/" \
    "$scratch/$target" >"$scratch/$target.log" 2>&1 || status=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$scratch/$target.log" || true
  if [ "$status" -ne 0 ]; then
    echo "--- $target found something (exit $status):"
    grep -E -A30 'PROPERTY VIOLATED|ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error|ALARM|out-of-memory' \
      "$scratch/$target.log" | head -60 || tail -40 "$scratch/$target.log"
    ls -1 "$findings/$target"
    failed+=("$target")
  fi
done

if [ "${#failed[@]}" -ne 0 ]; then
  echo "FUZZING FOUND FAULTS in: ${failed[*]} (inputs in $findings; rerun one with build/fuzz/fuzz/<target> <input>)"
  exit 1
fi
echo "fuzzing: no findings in ${#targets[@]} targets, ${seconds} s each"
