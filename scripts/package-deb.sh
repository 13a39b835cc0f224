#!/usr/bin/env bash
# Makes the Debian package of Larkpost with CPack and prints its path on the last line.
#
#   scripts/package-deb.sh              a Release build of its own, in build-deb
#   scripts/package-deb.sh BUILD-DIR    an already configured build directory, brought
#                                       up to date and packaged as it is
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-deb}"

if [[ $# == 0 ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLARKPOST_TESTS=OFF \
    -DLARKPOST_WERROR=ON >/dev/null
elif [[ ! -f $build/CPackConfig.cmake ]]; then
  echo "package-deb.sh: $build is no configured build directory" >&2
  exit 1
fi
cmake --build "$build" -j 2 >/dev/null
# A package left from an earlier version must not be taken for this one.
rm -f "$build"/larkpost_*.deb
log="$build/cpack-deb.log"
(cd "$build" && cpack -G DEB) >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
debs=("$build"/larkpost_*.deb)
if [[ ${#debs[@]} != 1 || ! -f ${debs[0]} ]]; then
  echo "package-deb.sh: cpack made no single larkpost_*.deb in $build" >&2
  exit 1
fi
echo "${debs[0]}"
