#!/usr/bin/env bash
# Proves the README's two commands on a bare machine: makes a minimal Debian 12
# root (debootstrap --variant=minbase bookworm) with git added, clones this
# repository into it, and runs there, in a chroot, the demo command and then the
# test command that the README's first lines give.
#
#   tools/check_fresh.sh [--keep] [DIR]
#
# DIR: where the root is made (default build/fresh/root); it must not exist yet.
# --keep leaves the root in place afterwards; otherwise it is removed.
# Needs root (debootstrap, chroot, mount); installs debootstrap when missing.
# The Debian mirror is the one this machine's apt uses. The clone is of the
# committed HEAD: uncommitted changes are not in it. A log of everything is kept
# beside the root (check_fresh.log). CMAKE_BUILD_PARALLEL_LEVEL, when set, is
# passed on to the builds in the chroot. About 6 minutes on 2 cores.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
keep=0
if [[ ${1:-} == --keep ]]; then keep=1; shift; fi
[[ ${1:-} == -* ]] && { sed -n '2,14p' "$0" >&2; exit 2; }
root=${1:-$here/build/fresh/root}
suite=bookworm

if [[ $(id -u) != 0 ]]; then
  echo "check_fresh.sh needs root: debootstrap, chroot and mount" >&2
  exit 2
fi
if [[ -e $root ]]; then
  echo "$root exists already: remove it or name another folder" >&2
  exit 2
fi
mkdir -p "$(dirname "$root")"
root=$(cd "$(dirname "$root")" && pwd)/$(basename "$root")
log=$(dirname "$root")/check_fresh.log
: > "$log"

# The first Debian archive apt uses here that serves the suite: one-line
# sources.list entries and deb822 .sources files alike.
apt_mirror() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $file ]] || continue
    awk -v suite="$suite" '$1 == "deb" {
        i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if ($(i + 1) == suite) { print $i; exit } }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f $file ]] || continue
    awk -v suite="$suite" '
      function flush() { if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " suite " ") && uris != "") { split(uris, u, " "); print u[1]; found = 1 } types = suites = uris = "" }
      /^[ \t]*$/ { flush(); if (found) exit; next }
      /^Types:/ { sub(/^Types:[ \t]*/, ""); types = $0 }
      /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
      /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
      END { if (!found) flush() }' "$file"
  done
}

# Everything mounted below the root, deepest first.
mounts_below() {
  awk -v root="$root" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/mounts | sort -r
}

cleanup() {
  local status=$? pid mount
  (( status == 0 )) || echo "==== stopped (status $status): cleaning up $root"
  # What the chroot left running (a korrin-unit-sim after a failure, say) keeps its mounts busy.
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [[ $(readlink "/proc/$pid/root" 2>/dev/null) == "$root" ]] && kill -TERM "$pid" 2>/dev/null
  done
  for mount in $(mounts_below); do
    umount "$mount" 2>/dev/null || umount -l "$mount"
  done
  if [[ -n $(mounts_below) ]]; then
    echo "still mounted below $root; not removing it:" >&2
    mounts_below >&2
  elif (( keep == 0 )) && [[ -d $root ]]; then
    rm -rf --one-file-system "$root"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

timings=()
started=$(date +%s)
phase() {
  local name=$1 start
  shift
  echo
  echo "==== $name"
  start=$(date +%s)
  if ! "$@"; then
    echo "==== FAILED: $name (after $(( $(date +%s) - start ))s; log: $log)" >&2
    exit 1
  fi
  timings+=("$(printf '%5ds  %s' $(( $(date +%s) - start )) "$name")")
}

install_debootstrap() {
  if command -v debootstrap >/dev/null 2>&1; then
    echo "debootstrap: installed"
    return 0
  fi
  echo "installing debootstrap with apt-get"
  DEBIAN_FRONTEND=noninteractive apt-get update -q || true
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap
}

make_root() {
  local mirror
  mirror=$(apt_mirror | head -n 1)
  if [[ -z $mirror ]]; then
    echo "no '$suite' archive in this machine's apt sources (/etc/apt/sources.list*)" >&2
    return 1
  fi
  echo "debootstrap --variant=minbase --include=git $suite $root $mirror"
  debootstrap --variant=minbase --include=git "$suite" "$root" "$mirror"
}

clone() {
  git clone -q "$here" "$root/root/korrin-update"
  git -C "$root/root/korrin-update" log -1 --format='cloned %h %s'
}

# /proc for the build and the tests; the ptys of the demo and of the end-to-end
# and POSIX seam tests live in /dev/pts.
mount_inside() {
  mount -t proc proc "$root/proc"
  mount --bind /dev/pts "$root/dev/pts"
}

# The text between the last backticks of the README line that starts with $1.
readme_command() {
  sed -n "s/^- $1 .*\`\\([^\`]*\\)\`\$/\\1/p" "$root/root/korrin-update/README.md" | head -n 1
}

in_root() {
  echo "# in the chroot, as a fresh login would: cd korrin-update && $1"
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${CMAKE_BUILD_PARALLEL_LEVEL:+CMAKE_BUILD_PARALLEL_LEVEL=$CMAKE_BUILD_PARALLEL_LEVEL} \
    /bin/bash -c "cd /root/korrin-update && $1" </dev/null
}

# tee outlives an interrupt, so that what the clean-up says is still shown and logged.
exec > >(trap '' INT TERM; tee -a "$log") 2>&1
phase "debootstrap present" install_debootstrap
phase "bare Debian 12 root with git (debootstrap minbase)" make_root
phase "clone of this repository" clone
phase "mounts (/proc, /dev/pts)" mount_inside
demo_command=$(readme_command Demo)
test_command=$(readme_command Tests)
if [[ -z $demo_command || -z $test_command ]]; then
  echo "the README's first lines give no '- Demo … \`command\`' and '- Tests … \`command\`'" >&2
  exit 1
fi
phase "the README's demo command: $demo_command" in_root "$demo_command"
phase "the README's test command: $test_command" in_root "$test_command"

echo
echo "==== Both README commands passed on a bare Debian 12 ($suite minbase + git). Times:"
printf '%s\n' "${timings[@]}"
echo "$(printf '%5ds' $(( $(date +%s) - started )))  in all"
