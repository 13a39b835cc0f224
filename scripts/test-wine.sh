#!/usr/bin/env bash
# Runs the end-to-end suite under Wine against one Windows build, in a Wine prefix and
# with a wineserver made for this run alone and removed after it: runs at the same time
# share nothing of Wine's. Needs build/larkpost (some tests compare both builds).
#
#   scripts/test-wine.sh x64|x86 [pytest arguments]   (default: the whole suite, tests)
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  x64) build="build-win64" ;;
  x86) build="build-win32" ;;
  *)
    echo "usage: scripts/test-wine.sh x64|x86 [pytest arguments]" >&2
    exit 2
    ;;
esac
arch=$1
shift
[[ $# -gt 0 ]] || set -- tests

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-wine-$arch.XXXXXX")
export WINEPREFIX
# Wine names the directory of the server's socket, under TMPDIR, in the prefix.
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  local server_dir
  server_dir=$(cat "$WINEPREFIX/wineserver" 2>/dev/null || true)
  [[ $server_dir == wine-* ]] && rm -rf "${TMPDIR:-/tmp}/$server_dir"
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
source scripts/wine-env.sh "$arch"
LARKPOST_BIN="$PWD/$build/larkpost.exe" LARKPOST_NATIVE_BIN="$PWD/build/larkpost" \
  /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@"
