#!/usr/bin/env bash
# Lists the DLLs a Windows executable imports and fails unless every one is a
# Windows KnownDLL (or ntdll). The loader takes a KnownDLL from the system
# folder only; any other DLL is looked for in the executable's folder first,
# where whoever can write there could plant their own (a downloads folder, a
# USB stick).
#
#   tools/check_imports.sh EXE
#
# Exit status: 0 all known, 1 an unknown DLL, 2 usage or the tool failed.
# OBJDUMP: the objdump to use (default x86_64-w64-mingw32-objdump).
set -u -o pipefail

if [[ $# -ne 1 ]]; then
  sed -n '2,10p' "$0" >&2
  exit 2
fi
exe=$1
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
[[ -f $exe ]] || { echo "no such file: $exe" >&2; exit 2; }
command -v "$objdump" >/dev/null || { echo "missing $objdump (g++-mingw-w64-x86-64 or binutils-mingw-w64)" >&2; exit 2; }

# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs of Windows
# 10 and 11, in lower case. ntdll is not listed there: the system maps it into
# every process before anything else is loaded.
known=(
  advapi32.dll clbcatq.dll combase.dll comdlg32.dll coml2.dll difxapi.dll gdi32.dll gdiplus.dll imagehlp.dll
  imm32.dll kernel32.dll msctf.dll msvcrt.dll normaliz.dll nsi.dll ole32.dll oleaut32.dll psapi.dll
  rpcrt4.dll sechost.dll setupapi.dll shcore.dll shell32.dll shlwapi.dll user32.dll wldap32.dll
  wow64.dll wow64cpu.dll wow64win.dll ws2_32.dll
  ntdll.dll
)

if ! dump=$("$objdump" -p "$exe"); then
  echo "$objdump could not read $exe" >&2
  exit 2
fi
mapfile -t imports < <(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<< "$dump" | tr -d '\r' | tr '[:upper:]' '[:lower:]' | sort -u)
if (( ${#imports[@]} == 0 )); then
  echo "$exe imports no DLL: not a Windows executable, or objdump's output changed" >&2
  exit 2
fi

status=0
for dll in "${imports[@]}"; do
  verdict="unknown: looked for beside the executable first"
  for candidate in "${known[@]}"; do
    if [[ $dll == "$candidate" ]]; then verdict=known; break; fi
  done
  echo "$dll: $verdict"
  [[ $verdict == known ]] || status=1
done
exit $status
