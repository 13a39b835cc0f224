#!/usr/bin/env bash
# Makes the Debian package of Larkpost with CPack and prints its path on the last line.
#
#   scripts/package-deb.sh              a Release build of its own, in build-deb
#   scripts/package-deb.sh BUILD-DIR    an already configured build directory, brought
#                                       up to date and packaged as it is
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root/build-deb}"

# Quiet while all goes well; on failure the whole output, and which step it was.
quietly() {
  local what=$1 output
  shift
  if ! output=$("$@" 2>&1); then
    printf '%s\n' "$output" >&2
    echo "package-deb.sh: the $what failed (in $build)" >&2
    exit 1
  fi
}

if [[ $# == 0 ]]; then
  quietly "configuration" cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DLARKPOST_TESTS=OFF -DLARKPOST_WERROR=ON
elif [[ ! -f $build/CPackConfig.cmake ]]; then
  echo "package-deb.sh: $build is no configured build directory" >&2
  exit 1
fi
quietly "build" cmake --build "$build" -j 2
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
