#!/usr/bin/env bash
# The benchmark in one command: builds, then for each scenario prints the
# protocol's time phase by phase, the same updates through a USB adapter
# (a write per byte as before, a write per exchange now), and the updater's
# measured overhead on a pty. A real run takes as long as the update itself:
# about 4 minutes in all, 7 with --before-bin DIR (another korrin-update).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --build --preset native --target korrin-bench korrin-update korrin-unit-sim >/dev/null
echo "Machine: $(uname -srm), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo
exec build/native/bench/korrin-bench --bin build/native "$@"
