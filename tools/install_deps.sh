#!/usr/bin/env bash
# Installs the Debian packages a task needs, when some are missing:
#
#   tools/install_deps.sh SET...
#
#   demo     build the updater and korrin-unit-sim (sim/demo.sh)
#   test     build and run every native test (tools/test.sh)
#   windows  the Windows executable, its test suite, the release zip, Wine to run them
#   fuzz     the libFuzzer targets (clang and its runtime)
#   ci       all of the above (.ci/run)
#
# Says what it installs before installing, with apt-get as root or through sudo.
# When everything is there it installs nothing and prints one line. On a system
# without apt-get it names the packages and leaves them to you.
set -euo pipefail

# The native configure looks for GoogleTest even for the demo: the simulated
# unit is built with the tests.
demo_packages=(cmake ninja-build g++ libgtest-dev libgmock-dev)
test_packages=("${demo_packages[@]}")
# googletest: its sources, built again with mingw-w64 for the Windows test suite;
# wine: the `wine` command on the PATH (wine64 alone keeps it in /usr/lib/wine).
windows_packages=(cmake ninja-build g++-mingw-w64-x86-64 googletest wine64 wine python3)
fuzz_packages=(clang libclang-rt-dev)

usage() {
  sed -n '2,14p' "${BASH_SOURCE[0]}" >&2
  exit 2
}

(( $# > 0 )) || usage
wanted=()
for set_name in "$@"; do
  case $set_name in
    demo) wanted+=("${demo_packages[@]}") ;;
    test) wanted+=("${test_packages[@]}") ;;
    windows) wanted+=("${windows_packages[@]}") ;;
    fuzz) wanted+=("${fuzz_packages[@]}") ;;
    ci) wanted+=("${test_packages[@]}" "${windows_packages[@]}" "${fuzz_packages[@]}") ;;
    *) echo "unknown package set '$set_name'" >&2; usage ;;
  esac
done
# Each package once, in the order first named.
packages=()
for package in "${wanted[@]}"; do
  [[ " ${packages[*]} " == *" $package "* ]] || packages+=("$package")
done

if ! command -v apt-get >/dev/null 2>&1 || ! command -v dpkg-query >/dev/null 2>&1; then
  echo "no apt-get here: make sure the equivalents of these are installed: ${packages[*]}"
  exit 0
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if (( ${#missing[@]} == 0 )); then
  echo "packages for $*: all installed"
  exit 0
fi

if [[ $(id -u) == 0 ]]; then
  as_root=()
  how="with apt-get"
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
  how="with apt-get through sudo"
else
  echo "missing packages: ${missing[*]}" >&2
  echo "run this as root, or install them first: apt-get install ${missing[*]}" >&2
  exit 1
fi

echo "== Installing ${#missing[@]} package(s) for $* $how: ${missing[*]}"
# A bare image has no package lists yet. A source that cannot be reached makes
# update fail while the others still serve: let the install say what is missing.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q ||
  echo "apt-get update reported errors; trying the install with the lists there are" >&2
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "== Installed: ${missing[*]}"
