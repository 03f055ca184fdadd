#!/usr/bin/env bash
# Builds the native preset and runs every test of it (unit, virtual-time runs,
# fault matrix, the POSIX seam on ptys, end-to-end on ptys), after installing
# the packages that needs when some are missing (tools/install_deps.sh test).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

tools/install_deps.sh test
cmake --preset native && cmake --build --preset native && ctest --preset native
