#!/usr/bin/env bash
# Checks a Windows program without running it: its format and machine, that it is a
# console program, and that it imports no DLL beyond Windows' own (a DLL of mingw-w64's
# runtime left dynamic would make it fail on a machine without that toolchain).
#
#   scripts/check-windows-exe.sh EXE x86|x64
set -euo pipefail

fail() {
  echo "check-windows-exe.sh: $*" >&2
  exit 1
}
[[ $# == 2 ]] || fail "usage: scripts/check-windows-exe.sh EXE x86|x64"
exe=$1
case $2 in
  x86) triple=i686-w64-mingw32 format=pei-i386 magic=PE32 machine=i386 ;;
  x64) triple=x86_64-w64-mingw32 format=pei-x86-64 magic=PE32+ machine=x86-64 ;;
  *) fail "unknown architecture '$2' (x86 or x64)" ;;
esac
[[ -f $exe ]] || fail "$exe does not exist"

# Present on every Windows the programs are made for; nothing else may be imported.
allowed=(advapi32.dll bcrypt.dll crypt32.dll kernel32.dll msvcrt.dll ntdll.dll ole32.dll
         secur32.dll shell32.dll user32.dll ws2_32.dll)

headers=$("$triple-objdump" -p "$exe" 2>&1) || fail "$triple-objdump cannot read $exe: $headers"
grep -q "file format $format\$" <<<"$headers" ||
  fail "$exe is not $format: $(grep -m 1 'file format' <<<"$headers" || echo 'no file format found')"
magic_line=$(grep -m 1 '^Magic' <<<"$headers" || echo 'no optional header')
[[ $magic_line == *"($magic)" ]] || fail "$exe is not $magic: $magic_line"
grep -Eq '^Subsystem[[:space:]]+0+3[[:space:]]+\(Windows CUI\)' <<<"$headers" ||
  fail "$exe is not a console program: $(grep -m 1 '^Subsystem' <<<"$headers" || echo 'no subsystem')"

mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[[ ${#dlls[@]} -gt 0 ]] || fail "$exe imports no DLL at all, which no working program does"
for dll in "${dlls[@]}"; do
  lower=${dll,,}
  [[ " ${allowed[*]} " == *" $lower "* ]] || fail "$exe imports $dll, which is not one of Windows' own DLLs"
done
echo "$exe: $magic, console, $machine, imports only Windows' own DLLs (${dlls[*]})"
