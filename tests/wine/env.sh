# Shared by the Wine scripts: the Wine program for 64-bit Windows programs and a throw-away
# prefix (removed on exit), so no state of an earlier run or of the user's own prefix is used.
# One wineserver is kept alive for the whole run, so the programs started one after another (or
# side by side) share it instead of each starting its own. A script sourced by another that has
# set this up already uses the caller's prefix.
if [ -z "${QUILLMAR_WINE_READY:-}" ]; then
  WINE_BIN=${WINE_BIN:-}
  if [ -z "$WINE_BIN" ]; then
    for c in /usr/lib/wine/wine64 wine64 wine; do
      if command -v "$c" >/dev/null 2>&1; then WINE_BIN=$(command -v "$c"); break; fi
    done
  fi
  [ -n "$WINE_BIN" ] || { echo "wine not found (apt-get install wine64 wine)" >&2; exit 2; }
  WINESERVER_BIN=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
  export WINE_BIN WINESERVER_BIN WINEPREFIX
  WINEPREFIX=$(mktemp -d /tmp/quillmar-wine-XXXXXX)
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wine_cleanup() {
    "$WINESERVER_BIN" -k >/dev/null 2>&1 || true
    "$WINESERVER_BIN" -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  }
  trap wine_cleanup EXIT
  # A persistent wineserver, then the first start, which builds the prefix once for all.
  "$WINESERVER_BIN" -p >/dev/null 2>&1 || true
  timeout 300 "$WINE_BIN" cmd /c exit >/dev/null 2>&1 || true
  export QUILLMAR_WINE_READY=1
fi
