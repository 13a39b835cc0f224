#!/usr/bin/env bash
# Builds Larkpost from scratch and runs every test: the unit and end-to-end suites
# natively (warnings are errors), the Debian package built from that build, installed and
# removed again, the suites again under AddressSanitizer and
# UndefinedBehaviorSanitizer, each fuzz target briefly, and the end-to-end suite against
# larkpost.exe under Wine.
# Pass --native-only to skip the Windows build.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-all}
if [[ $mode == --native-only ]]; then
  scripts/install-deps.sh --native-only
else
  scripts/install-deps.sh
fi

# A test that cannot find the program, Postfix or its TLS tools fails here instead of being skipped.
export LARKPOST_REQUIRE_BIN=1 LARKPOST_REQUIRE_POSTFIX=1 LARKPOST_REQUIRE_TOOLS=1
jobs=$(nproc)

step() { printf '\n=== %s\n' "$*"; }

step "include layers"
scripts/check-layers.py

step "native build and tests"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKPOST_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure

step "Debian package: install, check, remove"
scripts/test-package.sh build

step "AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLARKPOST_WERROR=ON \
  -DLARKPOST_SANITIZE=address,undefined >/dev/null
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:exitcode=86 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=86 \
  ctest --test-dir build-sanitize --output-on-failure

step "fuzz targets, 30 s each"
scripts/fuzz.sh 30

if [[ $mode != --native-only ]]; then
  step "Windows build under Wine"
  scripts/build-windows.sh
  file build-win32/larkpost.exe
  source scripts/wine-env.sh
  trap 'wineserver -k || true' EXIT
  LARKPOST_BIN="$PWD/build-win32/larkpost.exe" LARKPOST_WRAPPER=wine LARKPOST_NATIVE_BIN="$PWD/build/larkpost" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider tests
fi

step "all tests passed"
