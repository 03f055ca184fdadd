#!/usr/bin/env bash
# An update cut off during the configuration write-back, then run again.
# korrin-update against korrin-unit-sim on a pseudo-terminal, scenario
# 'convert'; the unit keeps its memory between the two runs (--state) and the
# updater its saved copies of the unit's records in a fresh per-user folder.
#
#   kill_rerun.sh BUILD_DIR
#
# Run 1 is killed (SIGKILL) while the converted records are being written back.
# Run 2 then goes to its end: the unit must hold exactly the release's images
# and its records converted exactly once, and the console must show the
# recovery. Both runs take about 2.5 minutes in all.
# E2E_TIMEOUT: seconds one updater run may take before it counts as hung (default 300).
set -u -o pipefail

if [[ $# -ne 1 || $1 == -h || $1 == --help ]]; then
  sed -n '2,13p' "$0" >&2
  exit 2
fi
build_dir=$(cd "$1" && pwd) || exit 2
updater=$build_dir/korrin-update
sim=$build_dir/korrin-unit-sim
for program in "$updater" "$sim"; do
  [[ -f $program ]] || { echo "missing $program (build it first)" >&2; exit 2; }
done
timeout_s=${E2E_TIMEOUT:-300}

# The write-back sends each record in 256-byte 'D' blocks from its own address;
# the readout before it moves 64-byte 'M' blocks, so this 'A' comes only from
# the write-back, once records 1 and 2 are on the unit.
kill_at_address=0053A0
write_back_blocks=60
# What the console of run 2 says when it finds a saved copy that matches the
# unit's partly converted records.
recovery_text=

exact_verdict="unit OK: flashed with exactly the release's images (software and hardware), configuration converted exactly"

work=$build_dir/e2e-kill-rerun
rm -rf "$work"
mkdir -p "$work"
faults=()
fault() { faults+=("$*"); }

# The updater's per-user folder; nothing of the caller's own saved copies is
# seen or touched.
user_env=(HOME="$work/home" XDG_STATE_HOME="$work/home/state")
copies=$work/home/state/korrin

# Starts the simulator on the kept memory; sets sim_pid and device.
start_sim() {
  local run=$1 waited
  "$sim" --scenario convert --state "$work/unit.mem" --trace > "$work/$run.sim.out" 2> "$work/$run.trace" &
  sim_pid=$!
  for ((waited = 0; waited < 100; waited++)); do
    [[ -s $work/$run.sim.out ]] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  device=$(head -n 1 "$work/$run.sim.out")
  if [[ $device != /dev/* ]]; then
    echo "korrin-unit-sim did not start: $(cat "$work/$run.trace")" >&2
    kill -TERM "$sim_pid" 2>/dev/null
    exit 1
  fi
}

# SIGTERM: the simulator saves the unit's memory and gives its verdict.
stop_sim() {
  local run=$1
  kill -TERM "$sim_pid" 2>/dev/null
  wait "$sim_pid"
  echo $? > "$work/$run.sim_status"
}

# How many write-back blocks the unit received: 'D' lines after an 'A' in the
# configuration area.
count_write_back() {
  awk '$3 == "PC>" && $4 ~ /^A/ { address = substr($4, 2) }
       $3 == "PC>" && $4 == "D" && address >= "004000" && address < "008000" { n++ }
       END { print n + 0 }' "$1"
}

show() {
  local title=$1 file=$2 lines=${3:-}
  echo "  --- $title ($file):"
  if [[ -n $lines ]]; then tail -n "$lines" "$file"; else cat "$file"; fi | sed 's/^/  | /'
}

echo "Kill during the write-back, then run again (native)"
all_start=$(date +%s)
trap 'kill -KILL "${updater_pid:-}" 2>/dev/null; kill -TERM "${sim_pid:-}" 2>/dev/null; exit 130' INT TERM

# ---- Run 1: killed once the write-back is under way.

start_sim run1
# A simple command, not a function: $! must be the updater itself, or the kill
# would end only a subshell and leave the updater running.
env "${user_env[@]}" "KORRIN_COM1=$device" "$updater" -c1 < /dev/null > "$work/run1.console" 2>&1 &
updater_pid=$!
deadline=$(( $(date +%s) + timeout_s ))
seen=no
while (( $(date +%s) < deadline )) && kill -0 "$updater_pid" 2>/dev/null; do
  if grep -Eq "PC> +A$kill_at_address\$" "$work/run1.trace"; then seen=yes; break; fi
  sleep 0.05
done
# Within one redirection: bash reports a job killed by a signal as soon as it
# learns of it, which may be before the wait.
{ kill -KILL "$updater_pid"; wait "$updater_pid"; run1_status=$?; } 2>/dev/null
stop_sim run1
run1_blocks=$(count_write_back "$work/run1.trace")
echo "run 1: killed after $run1_blocks of $write_back_blocks write-back blocks ($(( $(date +%s) - all_start ))s)"

[[ $seen == yes ]] || fault "run 1: the write-back of A$kill_at_address never came"
[[ $run1_status == 137 ]] || fault "run 1: the updater ended by itself (status $run1_status) before it was killed"
[[ $(cat "$work/run1.console") != *"Press a key"* ]] || fault "run 1: the updater came to an exit of its own"
(( run1_blocks > 0 && run1_blocks < write_back_blocks )) ||
  fault "run 1: $run1_blocks write-back blocks reached the unit; the kill must leave the records partly written"
[[ $(cat "$work/run1.sim_status") == 1 ]] ||
  fault "run 1: korrin-unit-sim exit status $(cat "$work/run1.sim_status") (1: not flashed, memory saved)"
[[ -s $work/unit.mem ]] || fault "run 1: the simulator saved no memory"
saved_copies=$(find "$copies" -maxdepth 1 -type f 2>/dev/null | wc -l)
(( saved_copies > 0 )) || fault "run 1: no saved copy of the records in $copies"

# ---- Run 2: the same unit, to the end.

start_sim run2
run2_start=$(date +%s)
env "${user_env[@]}" "KORRIN_COM1=$device" timeout -k 5 "$timeout_s" "$updater" -c1 \
  < /dev/null > "$work/run2.console" 2> "$work/run2.stderr"
run2_status=$?
stop_sim run2
echo "run 2: status $run2_status ($(( $(date +%s) - run2_start ))s)"

console=$(cat "$work/run2.console")
[[ $run2_status == 1 ]] || fault "run 2: exit status $run2_status, expected 1"
[[ $console == *$'\nNow flashing\n'*$'\nPress a key to exit program' ]] ||
  fault "run 2: the console does not end with the flashing instructions and the key prompt"
sim_verdict=$(sed -n 2p "$work/run2.sim.out")
[[ $sim_verdict == "$exact_verdict" ]] || fault "run 2: unit verdict: $(tail -n +2 "$work/run2.sim.out" | tr '\n' ' ')"
[[ $(cat "$work/run2.sim_status") == 0 ]] || fault "run 2: korrin-unit-sim exit status $(cat "$work/run2.sim_status")"
if [[ -n $recovery_text ]]; then
  [[ $console == *"$recovery_text"* ]] || fault "run 2: the console does not say '$recovery_text'"
else
  echo "run 2: the console between identification and the images said:"
  sed -n '/^Update proceeding/,/^Sending SW update/p' "$work/run2.console" | sed 's/^/  | /'
fi

echo "Kill and rerun: $(( $(date +%s) - all_start ))s in all"
if (( ${#faults[@]} )); then
  echo "FAIL"
  printf '  %s\n' "${faults[@]}"
  show "run 1 console" "$work/run1.console"
  show "run 2 console" "$work/run2.console"
  [[ -s $work/run2.stderr ]] && show "run 2 updater stderr" "$work/run2.stderr" 20
  show "run 2 unit trace, last 30 lines" "$work/run2.trace" 30
  exit 1
fi
echo "ok"
