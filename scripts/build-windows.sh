#!/usr/bin/env bash
# Cross-builds the 32-bit Windows console program, build-win32/larkpost.exe, with
# mingw-w64. Usage: scripts/build-windows.sh [build-dir]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-win32}"

cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DLARKPOST_TESTS=OFF \
  -DLARKPOST_WERROR=ON
ninja -C "$build" larkpost
