#!/usr/bin/env bash
# Cross-builds the 32-bit Windows console program, build-win32/larkpost.exe, with
# mingw-w64, and packs it for Windows users into build-win32/larkpost-windows.zip with an
# example larkpost.ini and a README.txt. Usage: scripts/build-windows.sh [build-dir]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-win32}"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DLARKPOST_TESTS=OFF \
  -DLARKPOST_WERROR=ON
ninja -C "$build" larkpost

# The text files get CR LF line ends, which every Windows editor shows as lines.
staging="$build/windows-zip"
package="$build/larkpost-windows.zip"
rm -rf "$staging" "$package"
mkdir -p "$staging"
# Without its symbol table the program is half the size and works the same.
i686-w64-mingw32-strip -o "$staging/larkpost.exe" "$build/larkpost.exe"
for file in larkpost.ini README.txt; do
  sed -e 's/\r$//' -e 's/$/\r/' "$root/docs/windows/$file" >"$staging/$file"
done
zip -q -X -j "$package" "$staging/larkpost.exe" "$staging/larkpost.ini" "$staging/README.txt"
