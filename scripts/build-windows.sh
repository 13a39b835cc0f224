#!/usr/bin/env bash
# Cross-builds the 32-bit Windows console program, build-win32/larkpost.exe, with
# mingw-w64, and packs it for Windows users into build-win32/larkpost-VERSION-windows.zip
# with an example larkpost.ini, a README.txt that begins with the version, and the licence
# as LICENSE.txt. Usage: scripts/build-windows.sh [build-dir]
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
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
package="$build/larkpost-$version-windows.zip"
rm -rf "$staging" "$build"/larkpost-*windows.zip
mkdir -p "$staging"
# Without its symbol table the program is half the size and works the same.
i686-w64-mingw32-strip -o "$staging/larkpost.exe" "$build/larkpost.exe"
for file in larkpost.ini README.txt; do
  sed -e 's/\r$//' -e 's/$/\r/' "$root/docs/windows/$file" >"$staging/$file"
done
sed -i "1i Larkpost $version\r\n\r" "$staging/README.txt"
sed -e 's/\r$//' -e 's/$/\r/' "$root/LICENSE" >"$staging/LICENSE.txt"
zip -q -X -j "$package" "$staging/larkpost.exe" "$staging/larkpost.ini" "$staging/README.txt" \
  "$staging/LICENSE.txt"
