#!/usr/bin/env bash
# An update cut off during the configuration write-back or the hardware
# download, then run again.
# korrin-update against korrin-unit-sim on a pseudo-terminal, scenario
# 'convert'; the unit keeps its memory between the two runs (--state) and the
# updater its saved copies of the unit's records in a fresh folder.
#
#   kill_rerun.sh BUILD_DIR                    native: cases copy, no-copy, hardware and alike
#   kill_rerun.sh wine BUILD_DIR [SIM_DIR]     Windows executable: case other-account
#
# Run 1 is killed (SIGKILL) while the converted records are being written back.
# copy:    run 2 finds the copy saved by run 1 and writes its records again: the
#          unit must hold exactly the release's images and its records
#          converted exactly once, and the copy is gone afterwards.
# no-copy: the copy is deleted before run 2, which must not write the
#          configuration at all; asked whether to update anyway, it gets 'y'.
# hardware: run 1 is killed in the hardware download instead, once the unit's
#          identification window holds this release's software: run 2 takes
#          the unit for this release, must find its hardware image incomplete
#          and send it; the unit must be exact.
# alike:   two units set up alike but for a 4-byte ID in record 0 (scenarios
#          convert and convert-alike), each killed in its write-back on one PC,
#          then each run again: each must end with exactly its own records
#          converted, and no copy left.
# other-account: as copy, under Wine (one prefix, COM4), run 1 by the account
#          Юрий and run 2 by the account 山田 (names outside any one ANSI code
#          page): the copy in the PC's folder (C:\ProgramData\Korrin) is found.
# The native cases run side by side, about 5 minutes in all (alike takes four runs); the Wine case
# about 4.5 minutes. SIM_DIR holds korrin-unit-sim (default: build/native).
# E2E_TIMEOUT: seconds one updater run may take before it counts as hung (default 300).
set -u -o pipefail

if [[ ${1:-} == -h || ${1:-} == --help ]]; then
  sed -n '2,30p' "$0"
  exit 0
fi
mode=native
if [[ ${1:-} == wine ]]; then
  mode=wine
  shift
fi
if [[ $# -lt 1 || $# -gt 2 || ($mode == native && $# -ne 1) ]]; then
  sed -n '2,30p' "$0" >&2
  exit 2
fi
build_dir=$(cd "$1" && pwd) || exit 2
if [[ $mode == native ]]; then
  updater=$build_dir/korrin-update
  sim=$build_dir/korrin-unit-sim
  cases=(copy no-copy hardware alike)
  port=1
else
  updater=$build_dir/korrin-update.exe
  sim=${2:-$(dirname "$build_dir")/native}/korrin-unit-sim
  cases=(other-account)
  port=4
fi
for program in "$updater" "$sim"; do
  [[ -f $program ]] || { echo "missing $program (build it first)" >&2; exit 2; }
done
timeout_s=${E2E_TIMEOUT:-300}

# The write-back sends each record in 256-byte 'D' blocks from its own address;
# the readout before it moves 64-byte 'M' blocks, so this 'A' comes only from
# the write-back, once records 1 and 2 are on the unit.
kill_at_address=0053A0
write_back_blocks=60
config_from=$((0x4000)) config_bytes=$((0x4000))

hardware_incomplete="Checking HW image.. not whole on the unit"
recovered="Config partly converted by an earlier run: writing back the copy saved then"
no_copy_asked=$'Config partly converted by an earlier run, and no copy saved on this PC matches it:\nthe config will not be written. Update firmware anyway (y/n)'
flashing=$'\nNow flashing\n'
exact_verdict="unit OK: flashed with exactly the release's images (software and hardware), configuration converted exactly"

work=$build_dir/e2e-kill-rerun
rm -rf "$work"

if [[ $mode == wine ]]; then
  source "$(dirname "${BASH_SOURCE[0]}")/wine_tools.sh"
  # Wine names the account after USER, and reads names in the locale's charset.
  export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
  mkdir -p "$work"
  "$wine" reg add 'HKLM\Software\Wine\Ports' /v "COM$port" /t REG_SZ /d "$work/com$port" /f \
    >>"$work/wine-setup.log" 2>&1 || { echo "wine reg add failed:" >&2; tail -n 20 "$work/wine-setup.log" >&2; exit 1; }
  # A Wine session is one account: the first program after the server starts
  # names it, for as long as the server lives. The ports are mapped then too;
  # the server's output goes to the log.
  wine_session() {
    "$wineserver" -k 2>/dev/null
    "$wineserver" -w 2>/dev/null
    "$wineserver" -p >/dev/null 2>>"$work/wine-setup.log"
    USER=$1 "$wine" cmd /c exit >/dev/null 2>>"$work/wine-setup.log" </dev/null
  }
  wine_session Юрий
fi

# How many write-back blocks the unit received: 'D' lines after an 'A' in the
# configuration area (addresses are six upper-case digits, so they compare as text).
count_write_back() {
  awk '$3 == "PC>" && $4 ~ /^A/ { address = substr($4, 2) }
       $3 == "PC>" && $4 == "D" && address >= "004000" && address < "008000" { n++ }
       END { print n + 0 }' "$1"
}

config_area() { tail -c +$((config_from + 1)) "$1" | head -c "$config_bytes"; }

show() {
  local title=$1 file=$2 lines=${3:-}
  echo "  --- $title ($file):"
  if [[ -n $lines ]]; then tail -n "$lines" "$file"; else cat "$file"; fi | sed 's/^/  | /'
  echo
}

# Runs one case in $work/CASE; prints what happened, returns non-zero on a fault.
kill_and_rerun() {
  local case=$1 dir=$work/$1 faults=() sim_pid='' updater_pid='' device kill_at=$kill_at_address
  [[ $case == hardware ]] && kill_at=050000
  mkdir -p "$dir/home"
  # The updater's folders; nothing of the caller's own copies is seen or touched.
  local run1_env run2_env copies link_args=()
  if [[ $mode == native ]]; then
    run1_env=(HOME="$dir/home" XDG_STATE_HOME="$dir/home/state")
    run2_env=("${run1_env[@]}")
    copies=$dir/home/state/korrin
  else
    run1_env=(USER=Юрий) run2_env=(USER=山田)
    copies=$WINEPREFIX/drive_c/ProgramData/Korrin
    link_args=(--link "$work/com$port")
  fi
  # Run N of the updater, as one simple command (so that $! is the updater).
  updater_command() {
    local -n run_env=$1
    if [[ $mode == native ]]; then
      command=(env "${run_env[@]}" "KORRIN_COM$port=$device" "$updater" "-c$port")
    else
      command=(env "${run_env[@]}" "$wine" "$updater" "-c$port")
    fi
  }
  fault() { faults+=("$*"); }
  trap 'kill -KILL $updater_pid 2>/dev/null; kill -TERM $sim_pid 2>/dev/null; exit 130' INT TERM

  # Starts the simulator on the kept memory; sets sim_pid and device.
  start_sim() {
    local run=$1 waited
    "$sim" --scenario convert --state "$dir/unit.mem" --trace "${link_args[@]}" > "$dir/$run.sim.out" \
      2> "$dir/$run.trace" &
    sim_pid=$!
    for ((waited = 0; waited < 100; waited++)); do
      [[ -s $dir/$run.sim.out ]] && break
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    device=$(head -n 1 "$dir/$run.sim.out")
    [[ $device == /dev/* ]] && return 0
    echo "$case: korrin-unit-sim did not start: $(cat "$dir/$run.trace")"
    kill -TERM "$sim_pid" 2>/dev/null
    return 1
  }
  # SIGTERM: the simulator saves the unit's memory and gives its verdict.
  stop_sim() {
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid"
    echo $? > "$dir/$1.sim_status"
  }

  # ---- Run 1: killed once the write-back is under way.
  local start; start=$(date +%s)
  start_sim run1 || return 1
  # A simple command, not a function: $! must be the updater itself, or the kill
  # would end only a subshell and leave the updater running.
  local command
  updater_command run1_env
  "${command[@]}" < /dev/null > "$dir/run1.console" 2>&1 &
  updater_pid=$!
  local deadline=$((start + timeout_s)) seen=no run1_status
  while (( $(date +%s) < deadline )) && kill -0 "$updater_pid" 2>/dev/null; do
    if grep -Eq "PC> +A$kill_at\$" "$dir/run1.trace"; then seen=yes; break; fi
    sleep 0.05
  done
  # Within one redirection: bash reports a job killed by a signal as soon as it
  # learns of it, which may be before the wait.
  { kill -KILL "$updater_pid"; wait "$updater_pid"; run1_status=$?; } 2>/dev/null
  stop_sim run1
  cp "$dir/unit.mem" "$dir/run1.mem" 2>/dev/null
  local run1_blocks; run1_blocks=$(count_write_back "$dir/run1.trace")
  echo "$case: run 1 killed after $run1_blocks of $write_back_blocks write-back blocks ($(( $(date +%s) - start ))s)"

  [[ $seen == yes ]] || fault "run 1: A$kill_at never came"
  [[ $run1_status == 137 ]] || fault "run 1: the updater ended by itself (status $run1_status) before it was killed"
  [[ $(cat "$dir/run1.console") != *"Press a key"* ]] || fault "run 1: the updater came to an exit of its own"
  # The copy outlives the write-back until the flash command.
  local copies_left=1
  if [[ $case == hardware ]]; then
    (( run1_blocks == write_back_blocks )) || fault "run 1: $run1_blocks write-back blocks, expected all"
  else
    (( run1_blocks > 0 && run1_blocks < write_back_blocks )) ||
      fault "run 1: $run1_blocks write-back blocks reached the unit; the kill must leave the records partly written"
  fi
  [[ $(cat "$dir/run1.sim_status") == 1 ]] ||
    fault "run 1: korrin-unit-sim exit status $(cat "$dir/run1.sim_status") (1: not flashed, memory saved)"
  [[ -s $dir/unit.mem ]] || fault "run 1: the simulator saved no memory"
  local saved_copies; saved_copies=$(find "$copies" -maxdepth 1 -type f 2>/dev/null | wc -l)
  (( saved_copies == copies_left )) ||
    fault "run 1: $saved_copies saved copies of the records in $copies, expected $copies_left"

  # ---- Run 2: the same unit, to the end.
  local keys=
  if [[ $case == no-copy ]]; then
    rm -rf "$copies"
    keys=y
  fi
  [[ $case == other-account ]] && wine_session 山田
  printf %s "$keys" > "$dir/keys"
  start=$(date +%s)
  start_sim run2 || return 1
  updater_command run2_env
  timeout -k 5 "$timeout_s" "${command[@]}" < "$dir/keys" > "$dir/run2.console" 2> "$dir/run2.stderr"
  local run2_status=$?
  stop_sim run2
  echo "$case: run 2 status $run2_status ($(( $(date +%s) - start ))s)"

  local console verdict
  console=$(cat "$dir/run2.console")
  [[ $mode == wine ]] && console=${console//$'\r'/}  # the C runtime's text mode writes CR LF
  verdict=$(tail -n +2 "$dir/run2.sim.out")
  [[ $run2_status == 1 ]] || fault "run 2: exit status $run2_status, expected 1"
  [[ $console == *"$flashing"*$'\nPress a key to exit program' ]] ||
    fault "run 2: the console does not end with the flashing instructions and the key prompt"
  if [[ $case != no-copy ]]; then
    if [[ $case == hardware ]]; then
      [[ $console == *"$hardware_incomplete"*"Sending HW update.."* ]] ||
        fault "run 2: the console does not say: $hardware_incomplete, then send the hardware image"
    else
      [[ $console == *"$recovered"* ]] || fault "run 2: the console does not say: $recovered"
    fi
    [[ $verdict == "$exact_verdict" ]] || fault "run 2: unit verdict: $(echo "$verdict" | tr '\n' ' ')"
    [[ $(cat "$dir/run2.sim_status") == 0 ]] || fault "run 2: korrin-unit-sim exit status $(cat "$dir/run2.sim_status")"
    saved_copies=$(find "$copies" -maxdepth 1 -type f 2>/dev/null | wc -l)
    # A unit that needs no conversion in run 2 (it reports this release's build) has its
    # configuration area neither read nor compared with the copy: the copy stays.
    local copies_after=0
    [[ $case == hardware ]] && copies_after=1
    (( saved_copies == copies_after )) ||
      fault "run 2: $saved_copies saved copies left, expected $copies_after"
  else
    [[ $console == *"$no_copy_asked"* ]] || fault "run 2: the console does not say: $(printf %q "$no_copy_asked")"
    [[ $console != *"$recovered"* ]] || fault "run 2: claims to write back a copy that was deleted"
    # Images exact, records as run 1 left them.
    [[ $verdict == $'unit NOT as it must be:\n  configuration differs at '* && $(wc -l <<< "$verdict") == 2 ]] ||
      fault "run 2: unit verdict (only the configuration may differ): $(echo "$verdict" | tr '\n' ' ')"
    cmp -s <(config_area "$dir/run1.mem") <(config_area "$dir/unit.mem") ||
      fault "run 2: the configuration area changed, $(count_write_back "$dir/run2.trace") write-back blocks"
  fi

  if [[ $case == other-account ]]; then
    # Each run opened its account's own folder too (searched for older copies), through the UTF-16 calls.
    local account
    for account in Юрий 山田; do
      [[ -d $WINEPREFIX/drive_c/users/$account/AppData/Local/Korrin ]] ||
        fault "no folder C:\\users\\$account\\AppData\\Local\\Korrin"
    done
  fi

  if (( ${#faults[@]} )); then
    echo "FAIL $case"
    printf '  %s\n' "${faults[@]}"
    show "run 1 console" "$dir/run1.console"
    show "run 2 console" "$dir/run2.console"
    [[ -s $dir/run2.stderr ]] && show "run 2 updater stderr" "$dir/run2.stderr" 20
    show "run 2 unit trace, last 30 lines" "$dir/run2.trace" 30
    return 1
  fi
  echo "ok   $case"
}

# Two alike units on one PC; prints what happened, returns non-zero on a fault.
alike_units() {
  local dir=$work/alike faults=() sim_pid='' updater_pid='' device unit scenario run blocks
  mkdir -p "$dir/home"
  local run_env=(HOME="$dir/home" XDG_STATE_HOME="$dir/home/state") copies=$dir/home/state/korrin
  fault() { faults+=("$*"); }
  trap 'kill -KILL $updater_pid 2>/dev/null; kill -TERM $sim_pid 2>/dev/null; exit 130' INT TERM
  start_unit() {
    local waited
    "$sim" --scenario "$2" --state "$dir/$3.mem" --trace > "$dir/$1.sim.out" 2> "$dir/$1.trace" &
    sim_pid=$!
    for ((waited = 0; waited < 100; waited++)); do
      [[ -s $dir/$1.sim.out ]] && break
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    device=$(head -n 1 "$dir/$1.sim.out")
    [[ $device == /dev/* ]] && return 0
    echo "alike: korrin-unit-sim did not start: $(cat "$dir/$1.trace")"
    kill -TERM "$sim_pid" 2>/dev/null
    return 1
  }
  stop_unit() {
    kill -TERM "$sim_pid" 2>/dev/null
    wait "$sim_pid"
    echo $? > "$dir/$1.sim_status"
  }
  for unit in A B; do
    scenario=convert
    [[ $unit == B ]] && scenario=convert-alike
    run=run1-$unit
    start_unit "$run" "$scenario" "$unit" || return 1
    env "${run_env[@]}" "KORRIN_COM$port=$device" "$updater" "-c$port" < /dev/null > "$dir/$run.console" 2>&1 &
    updater_pid=$!
    local deadline=$(( $(date +%s) + timeout_s ))
    while (( $(date +%s) < deadline )) && kill -0 "$updater_pid" 2>/dev/null; do
      grep -Eq "PC> +A$kill_at_address\$" "$dir/$run.trace" && break
      sleep 0.05
    done
    { kill -KILL "$updater_pid"; wait "$updater_pid"; } 2>/dev/null
    stop_unit "$run"
    blocks=$(count_write_back "$dir/$run.trace")
    echo "alike: unit $unit ($scenario), run 1 killed after $blocks of $write_back_blocks write-back blocks"
    (( blocks > 0 && blocks < write_back_blocks )) || fault "unit $unit, run 1: $blocks write-back blocks"
  done
  (( $(find "$copies" -maxdepth 1 -type f 2>/dev/null | wc -l) == 2 )) || fault "run 1: not two saved copies"
  for unit in A B; do
    scenario=convert
    [[ $unit == B ]] && scenario=convert-alike
    run=run2-$unit
    start_unit "$run" "$scenario" "$unit" || return 1
    timeout -k 5 "$timeout_s" env "${run_env[@]}" "KORRIN_COM$port=$device" "$updater" "-c$port" < /dev/null \
      > "$dir/$run.console" 2>&1
    local status=$?
    stop_unit "$run"
    echo "alike: unit $unit, run 2 status $status"
    [[ $status == 1 ]] || fault "unit $unit, run 2: exit status $status, expected 1"
    [[ $(cat "$dir/$run.console") == *"$recovered"* ]] || fault "unit $unit, run 2: the console does not say: $recovered"
    [[ $(tail -n +2 "$dir/$run.sim.out") == "$exact_verdict" ]] ||
      fault "unit $unit, run 2: unit verdict: $(tail -n +2 "$dir/$run.sim.out" | tr '\n' ' ')"
  done
  (( $(find "$copies" -maxdepth 1 -type f 2>/dev/null | wc -l) == 0 )) || fault "copies left after both units' updates"
  if (( ${#faults[@]} )); then
    echo "FAIL alike"
    printf '  %s\n' "${faults[@]}"
    for run in run2-A run2-B; do show "$run console" "$dir/$run.console"; done
    return 1
  fi
  echo "ok   alike"
}

echo "Kill during the write-back or the hardware download, then run again ($mode): ${cases[*]}"
all_start=$(date +%s)
mkdir -p "$work"
case_pids=()
for case in "${cases[@]}"; do
  if [[ $case == alike ]]; then
    alike_units > "$work/$case.report" 2>&1 &
  else
    kill_and_rerun "$case" > "$work/$case.report" 2>&1 &
  fi
  case_pids+=($!)
done
trap 'kill -TERM "${case_pids[@]}" 2>/dev/null; [[ $mode == wine ]] && "$wineserver" -k 2>/dev/null; exit 130' INT TERM
failed=0
for pid in "${case_pids[@]}"; do wait "$pid" || failed=1; done
trap - INT TERM
for case in "${cases[@]}"; do cat "$work/$case.report"; done
echo "Kill and rerun: $(( $(date +%s) - all_start ))s in all"
if [[ $mode == wine ]]; then
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
fi
exit $failed
