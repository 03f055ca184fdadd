#!/usr/bin/env bash
# End-to-end runs: the updater against korrin-unit-sim on a pseudo-terminal,
# natively or as the Windows executable under Wine. Each scenario checks the
# operator's console, the updater's exit status, and the simulated unit's own
# verdict on what it holds afterwards (byte for byte).
#
#   run_e2e.sh [--jobs N] [--sim DIR] native BUILD_DIR [SCENARIO...]
#   run_e2e.sh [--jobs N] [--sim DIR] wine   BUILD_DIR [SCENARIO...]
#
# native: BUILD_DIR holds korrin-update and korrin-unit-sim.
# wine:   BUILD_DIR holds korrin-update.exe; the simulator comes from --sim DIR
#         (default: build/native beside BUILD_DIR).
# Scenarios: convert uptodate fallback wrong-model unknown-refused (default: all).
# Runs up to N scenarios at once (default 4; a pty run is mostly waiting on the
# protocol's pauses). Each runs on its own port, COM1 to COM4.
# E2E_TIMEOUT: seconds one updater run may take before it counts as hung (default 600).
set -u -o pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

jobs=4
sim_dir=
while [[ $# -gt 0 ]]; do
  case $1 in
    --jobs) jobs=${2:?--jobs needs a number}; shift 2 ;;
    --sim) sim_dir=${2:?--sim needs a directory}; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) break ;;
  esac
done
if [[ $# -lt 2 ]]; then
  sed -n '2,16p' "$0" >&2
  exit 2
fi
mode=$1
build_dir=$(cd "$2" && pwd) || exit 2
shift 2
all_scenarios=(convert fallback uptodate unknown-refused wrong-model)  # longest first
if [[ $# -gt 0 ]]; then scenarios=("$@"); else scenarios=("${all_scenarios[@]}"); fi
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "--jobs wants a positive number" >&2; exit 2; }
(( jobs > 4 )) && jobs=4  # one COM port each
timeout_s=${E2E_TIMEOUT:-600}

case $mode in
  native)
    updater=$build_dir/korrin-update
    sim=${sim_dir:-$build_dir}/korrin-unit-sim
    ;;
  wine)
    updater=$build_dir/korrin-update.exe
    sim=${sim_dir:-$(dirname "$build_dir")/native}/korrin-unit-sim
    ;;
  *) echo "mode must be native or wine, not '$mode'" >&2; exit 2 ;;
esac
for program in "$updater" "$sim"; do
  [[ -f $program ]] || { echo "missing $program (build it first)" >&2; exit 2; }
done

work=$build_dir/e2e-$mode
rm -rf "$work/runs"
mkdir -p "$work/runs" "$work/ports"

# ---- Wine: one prefix whose COM1..COM4 are links that each run points at its pty.

if [[ $mode == wine ]]; then
  source "$here/wine_tools.sh"
  export WINEPREFIX=$work/prefix
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer in a test prefix
  ports_key='HKLM\Software\Wine\Ports'
  configured=yes
  for n in 1 2 3 4; do
    "$wine" reg query "$ports_key" /v "COM$n" 2>/dev/null | grep -qF "$work/ports/com$n" || configured=no
  done
  if [[ $configured == no ]]; then
    echo "Setting up the Wine prefix $WINEPREFIX"
    for n in 1 2 3 4; do
      "$wine" reg add "$ports_key" /v "COM$n" /t REG_SZ /d "$work/ports/com$n" /f >>"$work/wine-setup.log" 2>&1 ||
        { echo "wine reg add failed:" >&2; tail -n 20 "$work/wine-setup.log" >&2; exit 1; }
    done
  fi
  # Wine maps the ports when its server starts. One persistent server for all
  # runs, started here so that its output and that of Wine's services go to a
  # log and not into the first run's; a first program brings the services up.
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
  "$wineserver" -p >/dev/null 2>>"$work/wine-setup.log"
  "$wine" cmd /c exit >/dev/null 2>>"$work/wine-setup.log" </dev/null
fi

# ---- What each scenario must show.

release_size() { stat -c %s "$source_dir/release/$1"; }
blocks() { echo $(( ($1 + 1023) / 1024 )); }
sw_dots=$(( $(blocks 0x4000) + $(blocks $(( $(release_size sw_image.bin) - 0x8000 ))) ))
hw_dots=$(blocks "$(release_size hw_image.bin)")
release_rev=$(sed -n 's/^revision=//p' "$source_dir/release/release.txt")

flashed_sw_hw="unit OK: flashed with exactly the release's images (software and hardware), configuration converted exactly"
flashed_sw="unit OK: flashed with exactly the release's images (software; hardware not due), configuration untouched"
not_flashed="unit OK: not flashed, as the run required"
final_steps=$'\nNow flashing\n\nDO NOT SHUT OFF UNIT. Wait for unit to turn itself off or\nrequest you to disconnect and reconnect power.\nAlso, if you\'ve waited over 3 minutes disconnect and reconnect power.\nYou can then turn it back on\nWhen powered back up you can check sw rev by pressing "menu",0,6,0,5\n\nPress a key to exit program'

# Sets: sim_args keys status verdict; expect (fragments in order); absent (must not appear);
# dots ("label count" pairs: the progress line after the label has exactly count dots).
define_scenario() {
  sim_args=() keys= status=1 verdict= expect=() absent=() dots=()
  case $1 in
    convert)
      sim_args=(--scenario convert) keys=k verdict=$flashed_sw_hw
      expect=($'Connected\n\nChecking version..\n'
              $'Unit confirmed as Korrin    with firmware rev 030303.\nUpdate proceeding..\n\n'
              $'Reading config data..\n'
              $'\nSending SW update..' $'\nSending HW update..' "$final_steps")
      absent=("speed not working" "Retry" "Are you sure")
      dots=("Sending SW update.. $sw_dots" "Sending HW update.. $hw_dots")
      ;;
    uptodate)
      sim_args=(--scenario uptodate) keys= verdict=$flashed_sw  # end of input is the key
      expect=($'Connected\n\nChecking version..\n'
              "Unit confirmed as Korrin    with firmware rev $release_rev."$'\nUpdate proceeding..\n\n'
              $'\nSending SW update..' $'\nChecking HW image..' "$final_steps")
      absent=("speed not working" "Retry" "config data" "Sending HW update" "not whole")
      dots=("Sending SW update.. $sw_dots")
      ;;
    fallback)
      sim_args=(--scenario fallback) keys=k verdict=$flashed_sw
      expect=($'\n28800k RS232 speed not working trying 14400k \n14400k RS232 speed not working trying 9600k \nConnected\n'
              "Unit confirmed as Korrin    with firmware rev $release_rev."
              $'\nSending SW update..' "$final_steps")
      absent=("9600k RS232 speed not working" "Retry" "config data" "Sending HW update")
      dots=("Sending SW update.. $sw_dots")
      ;;
    wrong-model)
      sim_args=(--scenario wrong-model) keys=k verdict=$not_flashed
      expect=($'Connected\n\nChecking version..\n'
              $'Unit ID\'s as KorrinPro, but this firmware is for a Korrin    (ind:3)\nFirmware not updated...Exiting\n\nPress a key to exit program')
      absent=("Are you sure" "Sending" "config data" "Now flashing")
      ;;
    unknown-refused)
      sim_args=(--scenario unknown --refused) keys=n verdict=$not_flashed
      expect=($'Connected\n\nChecking version..\n'
              $'Could not confirm unit ID (csum=4b1234)\n'
              "Are you sure you want to run update for Korrin rev $release_rev (y/n)"$'\nFirmware not updated...Exiting\n\nPress a key to exit program')
      absent=("Update proceeding" "Sending" "config data" "Now flashing")
      ;;
    *) echo "unknown scenario '$1'" >&2; return 1 ;;
  esac
}

# Judges one finished run in $dir; prints the faults, returns non-zero when there are any.
judge_run() {
  local dir=$1 name=$2 faults=() console fragment rest pair label count
  define_scenario "$name"
  console=$(cat "$dir/console"; printf x)
  console=${console%x}
  [[ $mode == wine ]] && console=${console//$'\r'/}  # the C runtime's text mode writes CR LF
  [[ -f $dir/hung ]] && faults+=("the updater did not end within ${timeout_s}s")
  local got_status; got_status=$(cat "$dir/status")
  [[ $got_status == "$status" ]] || faults+=("exit status $got_status, expected $status")
  [[ $console == *$'\nPress a key to exit program' ]] ||
    faults+=("the console does not end with the key prompt")
  rest=$console
  for fragment in "${expect[@]}"; do
    if [[ $rest == *"$fragment"* ]]; then
      rest=${rest#*"$fragment"}
    else
      faults+=("missing (in this order): $(printf %q "$fragment")")
    fi
  done
  for fragment in "${absent[@]}"; do
    [[ $console == *"$fragment"* ]] && faults+=("unexpected text: $fragment")
  done
  for pair in "${dots[@]}"; do
    label=${pair% *} count=${pair##* }
    if [[ $console =~ ${label//./\\.}(\.*)$'\n' ]]; then
      [[ ${#BASH_REMATCH[1]} == "$count" ]] ||
        faults+=("$label shows ${#BASH_REMATCH[1]} progress dots, expected $count (one per block)")
    else
      faults+=("no progress line after '$label'")
    fi
  done
  local sim_status sim_verdict
  sim_status=$(cat "$dir/sim_status")
  sim_verdict=$(sed -n 2p "$dir/sim.out")
  [[ $sim_verdict == "$verdict" ]] || faults+=("unit verdict: $(tail -n +2 "$dir/sim.out" | tr '\n' ' ')")
  [[ $sim_status == 0 ]] || faults+=("korrin-unit-sim exit status $sim_status")
  if (( ${#faults[@]} )); then
    printf '  %s\n' "${faults[@]}"
    return 1
  fi
}

# Runs one scenario on COM$port; leaves everything in $work/runs/NAME.
run_scenario() {
  local name=$1 port=$2 dir=$work/runs/$1 device sim_pid updater_pid start end waited
  define_scenario "$name" || return 1
  mkdir -p "$dir"
  printf %s "$keys" > "$dir/keys"
  local link_args=()
  [[ $mode == wine ]] && link_args=(--link "$work/ports/com$port")
  "$sim" "${sim_args[@]}" --trace "${link_args[@]}" > "$dir/sim.out" 2> "$dir/sim.trace" &
  sim_pid=$!
  for ((waited = 0; waited < 100; waited++)); do
    [[ -s $dir/sim.out ]] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  device=$(head -n 1 "$dir/sim.out")
  if [[ $device != /dev/* ]]; then
    echo "korrin-unit-sim did not start: $(cat "$dir/sim.trace")" > "$dir/setup_error"
    kill -TERM "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null
    return 1
  fi

  start=$(date +%s.%N)
  if [[ $mode == native ]]; then
    env "KORRIN_COM$port=$device" timeout -k 5 "$timeout_s" "$updater" "-c$port" \
      < "$dir/keys" > "$dir/console" 2> "$dir/stderr"
  else
    timeout -k 5 "$timeout_s" "$wine" "$updater" "-c$port" < "$dir/keys" > "$dir/console" 2> "$dir/stderr"
  fi
  echo $? > "$dir/status"
  end=$(date +%s.%N)
  [[ $(cat "$dir/status") == 124 || $(cat "$dir/status") == 137 ]] && touch "$dir/hung"
  echo "$start $end" | awk '{printf "%.1f", $2 - $1}' > "$dir/seconds"

  kill -TERM "$sim_pid" 2>/dev/null
  wait "$sim_pid"
  echo $? > "$dir/sim_status"
}

# Slot k runs scenarios k, k+jobs, ... one after the other, on COM(k+1).
run_slot() {
  local slot=$1 i
  for ((i = slot; i < ${#scenarios[@]}; i += jobs)); do
    run_scenario "${scenarios[i]}" $((slot + 1))
  done
}

for name in "${scenarios[@]}"; do define_scenario "$name" || exit 2; done
echo "End-to-end ($mode): ${scenarios[*]}, $jobs at a time"
all_start=$(date +%s)
slot_pids=()
for ((slot = 0; slot < jobs && slot < ${#scenarios[@]}; slot++)); do
  run_slot "$slot" &
  slot_pids+=($!)
done
# Stopping the script stops every run it started.
trap 'kill -TERM "${slot_pids[@]}" 2>/dev/null; [[ $mode == wine ]] && "$wineserver" -k 2>/dev/null; exit 130' INT TERM
wait "${slot_pids[@]}"
trap - INT TERM

failed=0
for name in "${scenarios[@]}"; do
  dir=$work/runs/$name
  if [[ -f $dir/setup_error ]]; then
    echo "FAIL $name"; sed 's/^/  /' "$dir/setup_error"; failed=1; continue
  fi
  if report=$(judge_run "$dir" "$name"); then
    echo "ok   $name ($(cat "$dir/seconds")s)"
  else
    failed=1
    echo "FAIL $name ($(cat "$dir/seconds")s)"
    echo "$report"
    echo "  --- console:"; sed 's/^/  | /' "$dir/console"; echo
    [[ -s $dir/stderr ]] && { echo "  --- updater stderr:"; tail -n 20 "$dir/stderr" | sed 's/^/  | /'; }
    echo "  --- unit trace (last 40 lines of $dir/sim.trace):"; tail -n 40 "$dir/sim.trace" | sed 's/^/  | /'
  fi
done
echo "End-to-end ($mode): $(( $(date +%s) - all_start ))s in all"
if [[ $mode == wine ]]; then
  "$wineserver" -k 2>/dev/null
  "$wineserver" -w 2>/dev/null
fi
exit $failed
