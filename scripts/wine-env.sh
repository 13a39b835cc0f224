# Prepares a throw-away Wine prefix for running one Windows build of Larkpost, starts a
# wineserver that stays up, so each later run takes a few hundredths of a second, and
# sets LARKPOST_WRAPPER for the end-to-end tests.
#
#   . scripts/wine-env.sh x64    64-bit Wine for build-win64/larkpost.exe (the default)
#   . scripts/wine-env.sh x86    32-bit Wine for build-win32/larkpost.exe
#   "$LARKPOST_WRAPPER" build-win64/larkpost.exe ...
#   wineserver -k                (stops the server when done)
#
# Wine's loader is called directly: Debian's `wine` command takes the 32-bit one
# whenever it is installed, even on a machine that cannot run 32-bit programs.
# Each build gets a prefix of its own. Two runs at the same time must not share one: a
# prefix holds the Windows directory (where the tests put a default larkpost.ini), the
# temporary directory they search for leftovers, and the registry its one wineserver
# serves. Set WINEPREFIX first to choose another place.
#
# Wine finds the running server through TMPDIR (Debian's Wine keeps the server's socket
# there and writes its name into the prefix): runs that see another TMPDIR than the one
# in force here start a server of their own, take seconds each, and two servers on one
# prefix overwrite each other's registry. scripts/test-wine.sh gives every run a prefix.

# Both use a 64-bit prefix, which runs 32-bit programs too where the machine can. The
# 32-bit loader finds the 64-bit one by itself, as when Debian's `wine` command calls it.
export WINEARCH=win64
case "${1:-x64}" in
  x64) export WINELOADER=/usr/lib/wine/wine64 LARKPOST_WRAPPER=/usr/lib/wine/wine64 ;;
  x86) unset WINELOADER; export LARKPOST_WRAPPER=/usr/lib/wine/wine ;;
  *)
    echo "wine-env.sh: unknown build '$1' (x64 or x86)" >&2
    return 2 2>/dev/null || exit 2
    ;;
esac
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/larkpost-wine-${1:-x64}}"
export WINEDEBUG=-all
# No Mono or Gecko install dialogs: the program needs neither.
export WINEDLLOVERRIDES="mscoree=;mshtml="

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  if ! wine_env_output=$("$LARKPOST_WRAPPER" wineboot.exe -i 2>&1); then
    echo "wine-env.sh: $LARKPOST_WRAPPER wineboot.exe -i failed: $wine_env_output" >&2
  fi
  # Lets the setup's own server write the registry and go before the lasting one starts.
  wineserver -w
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine-env.sh: wineboot could not set up $WINEPREFIX" >&2
    return 1 2>/dev/null || exit 1
  fi
fi
# When a server already runs for this prefix, that one stays and this call does nothing.
wineserver -p >/dev/null 2>&1 || true
# The first program of a new server starts Wine's own background processes, which keep
# whatever standard handles that program had: a caller reading its output through a
# pipe would wait for them forever. Start them here, holding nothing of anyone's.
"$LARKPOST_WRAPPER" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
