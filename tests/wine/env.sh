# Shared by the Wine scripts: the Wine program for 64-bit Windows programs and a throw-away
# prefix (removed on exit), so no state of an earlier run or of the user's own prefix is used.
WINE_BIN=${WINE_BIN:-}
if [ -z "$WINE_BIN" ]; then
  for c in wine64 /usr/lib/wine/wine64 wine; do
    if command -v "$c" >/dev/null 2>&1; then WINE_BIN=$(command -v "$c"); break; fi
  done
fi
[ -n "$WINE_BIN" ] || { echo "wine not found (apt-get install wine64 wine)" >&2; exit 2; }
WINESERVER_BIN=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/quillmar-wine-XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_cleanup() {
  "$WINESERVER_BIN" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap wine_cleanup EXIT
# The first start builds the prefix; done once here so no test pays for it.
"$WINE_BIN" cmd /c exit >/dev/null 2>&1 || true
