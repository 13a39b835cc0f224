# Prepares a throw-away Wine prefix for running build-win32/larkpost.exe and starts a
# wineserver that stays up, so each later `wine` run takes a few hundredths of a second.
#
#   . scripts/wine-env.sh      (set WINEPREFIX first to choose another place)
#   wine build-win32/larkpost.exe ...
#   wineserver -k              (stops the server when done)
#
# Wine finds the running server through TMPDIR: runs that see another TMPDIR than the
# one in force here start a server of their own and take seconds each.

export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/larkpost-wine}"
export WINEARCH="${WINEARCH:-win64}"
export WINEDEBUG=-all
# No Mono or Gecko install dialogs: the program needs neither.
export WINEDLLOVERRIDES="mscoree=;mshtml="

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
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
wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
