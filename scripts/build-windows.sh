#!/usr/bin/env bash
# Cross-builds the Windows console programs with mingw-w64 and packs each for Windows
# users, with an example larkpost.ini, a README.txt that begins with the version, and the
# licence as LICENSE.txt:
#
#   build-win32/larkpost.exe   32-bit (PE32, i386), the reference: runs on every Windows
#   build-win32/larkpost-VERSION-windows-x86.zip
#   build-win64/larkpost.exe   64-bit (PE32+, x86-64)
#   build-win64/larkpost-VERSION-windows-x64.zip
#
# Usage: scripts/build-windows.sh [x86|x64]   (both when none is named)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# build_one ARCH BUILD-DIR TOOLCHAIN TRIPLE
build_one() {
  local arch=$1 build=$2 toolchain=$3 triple=$4
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DLARKPOST_TESTS=OFF \
    -DLARKPOST_WERROR=ON
  ninja -C "$build" larkpost

  # The text files get CR LF line ends, which every Windows editor shows as lines.
  local staging="$build/windows-zip" version package
  version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
  package="$build/larkpost-$version-windows-$arch.zip"
  # Older names and other versions' zips go, so that one zip lies beside the program.
  rm -rf "$staging" "$build"/larkpost-*windows*.zip
  mkdir -p "$staging"
  # Without its symbol table the program is half the size and works the same.
  "$triple-strip" -o "$staging/larkpost.exe" "$build/larkpost.exe"
  for file in larkpost.ini README.txt; do
    sed -e 's/\r$//' -e 's/$/\r/' "$root/docs/windows/$file" >"$staging/$file"
  done
  sed -i "1i Larkpost $version\r\n\r" "$staging/README.txt"
  sed -e 's/\r$//' -e 's/$/\r/' "$root/LICENSE" >"$staging/LICENSE.txt"
  zip -q -X -j "$package" "$staging/larkpost.exe" "$staging/larkpost.ini" "$staging/README.txt" \
    "$staging/LICENSE.txt"
  echo "build-windows.sh: $build/larkpost.exe and $package"
}

case "${1:-both}" in
  x86 | both) build_one x86 "$root/build-win32" mingw-w64-i686.cmake i686-w64-mingw32 ;;&
  x64 | both) build_one x64 "$root/build-win64" mingw-w64-x86_64.cmake x86_64-w64-mingw32 ;;
  x86) ;;
  *)
    echo "usage: scripts/build-windows.sh [x86|x64]" >&2
    exit 2
    ;;
esac
