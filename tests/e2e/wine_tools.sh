# Sourced by the end-to-end scripts: sets `wine` and `wineserver` to the first
# of their usual names or paths that exists, or exits 2 saying which is missing.
find_tool() {
  local name
  for name in "$@"; do
    if command -v "$name" >/dev/null 2>&1; then command -v "$name"; return 0; fi
    if [[ -x $name ]]; then echo "$name"; return 0; fi
  done
  return 1
}
wine=$(find_tool wine wine64 /usr/lib/wine/wine64 /usr/lib/wine/wine) || { echo "wine not found" >&2; exit 2; }
wineserver=$(find_tool wineserver /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver) ||
  { echo "wineserver not found" >&2; exit 2; }
