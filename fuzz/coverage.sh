#!/usr/bin/env bash
# Line coverage of the updater's sources (src/) by the fuzz corpora. Builds
# the fuzz targets with clang's source-based coverage into build/fuzz-coverage,
# runs each target once over every input of its corpus, and prints llvm-cov's
# report per file of src/.
#
#   fuzz/coverage.sh                       the committed seed corpora
#   fuzz/coverage.sh DIR                   DIR/<target>/ for each target (e.g. a
#                                          corpus a long fuzz/run.sh left behind)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
corpora="${1:-$root/fuzz/corpus}"
build="$root/build/fuzz-coverage"
targets=(fuzz_unit_run fuzz_config_area)

profdata="$(command -v llvm-profdata || command -v llvm-profdata-14)"
llvmcov="$(command -v llvm-cov || command -v llvm-cov-14)"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DKORRIN_FUZZ=ON -DKORRIN_BUILD_TESTS=ON \
  -DCMAKE_CXX_FLAGS="-fprofile-instr-generate -fcoverage-mapping" >/dev/null
cmake --build "$build" --target "${targets[@]}"

rm -rf "$build/profiles"
mkdir -p "$build/profiles"
objects=()
for target in "${targets[@]}"; do
  if [ ! -d "$corpora/$target" ]; then
    echo "no corpus for $target in $corpora" >&2
    exit 2
  fi
  LLVM_PROFILE_FILE="$build/profiles/$target-%p.profraw" \
    "$build/fuzz/$target" -runs=0 "$corpora/$target" >"$build/profiles/$target.log" 2>&1
  objects+=(-object "$build/fuzz/$target")
done
"$profdata" merge -sparse "$build"/profiles/*.profraw -o "$build/profiles/all.profdata"
# The first object is named without -object.
"$llvmcov" report "${objects[@]:1}" -instr-profile="$build/profiles/all.profdata" "$root/src"
