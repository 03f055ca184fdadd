#!/usr/bin/env bash
# A complete update of a simulated unit, in real time on a pseudo-terminal:
# installs what the build needs when something is missing (tools/install_deps.sh
# demo), builds the updater and korrin-unit-sim, connects them, shows the updater's
# console as the operator sees it, and at the end what the unit now holds.
#
#   sim/demo.sh [SCENARIO]     (default: convert; korrin-unit-sim --list shows them)
#
# From a terminal you are the operator: answer the updater's question, if it
# asks, and press a key at the end. Otherwise the answer is 'y' and the end of
# input is the last key. The unit's protocol trace is kept in a file; its name
# is printed at the end.
set -euo pipefail

scenario=${1:-convert}
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$source_dir/build/native
cd "$source_dir"

tools/install_deps.sh demo
echo "== Building (cmake --preset native) =="
cmake --preset native >/dev/null
cmake --build --preset native --target korrin-update korrin-unit-sim

sim=$build_dir/korrin-unit-sim
updater=$build_dir/korrin-update
work=$(mktemp -d "${TMPDIR:-/tmp}/korrin-demo.XXXXXX")
sim_pid=
cleanup() {
  [[ -n $sim_pid ]] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  true
}
trap cleanup EXIT

"$sim" --scenario "$scenario" --trace > "$work/unit.out" 2> "$work/unit.trace" &
sim_pid=$!
for _ in $(seq 100); do
  [[ -s $work/unit.out ]] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
device=$(head -n 1 "$work/unit.out")
if [[ $device != /dev/* ]]; then
  echo "korrin-unit-sim did not start:" >&2
  cat "$work/unit.trace" >&2
  wait "$sim_pid" || true
  sim_pid=
  exit 1
fi

echo
echo "== Simulated unit '$scenario' on $device; running: KORRIN_COM1=$device korrin-update =="
echo "   (a full update takes one to two minutes: the protocol's pauses are real)"
status=0
if [[ -t 0 ]]; then
  KORRIN_COM1=$device "$updater" || status=$?
else
  printf y | KORRIN_COM1=$device "$updater" || status=$?
fi
echo
echo
echo "== korrin-update ended with exit status $status =="

kill -TERM "$sim_pid" 2>/dev/null || true
unit_status=0
wait "$sim_pid" || unit_status=$?
sim_pid=
echo "== The simulated unit's verdict =="
tail -n +2 "$work/unit.out"
echo "(protocol trace: $work/unit.trace)"
exit "$unit_status"
