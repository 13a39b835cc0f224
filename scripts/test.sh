#!/usr/bin/env bash
# Builds Larkpost from scratch and runs every test: the unit and end-to-end suites
# natively (warnings are errors), the Debian package built from that build, installed and
# removed again, the suites again under AddressSanitizer and
# UndefinedBehaviorSanitizer, each fuzz target briefly, both Windows programs built and
# checked, and the end-to-end suite under Wine against the 64-bit one, and against the
# 32-bit one where this machine can run 32-bit programs.
# Pass --native-only to skip the Windows builds.
#
# LARKPOST_WINE32_LOADER names Wine's 32-bit loader (default /usr/lib/wine/wine); a path
# that does not exist plays a machine that runs no 32-bit programs.
set -Eeuo pipefail
cd "$(dirname "$0")/.."

mode=${1:-all}
current_step="installing what the build and the tests need"
step_started=$SECONDS
timings=()

# Every failure names its step and the command that failed, even where the command said nothing.
on_error() {
  local status=$? command=${BASH_COMMAND%%$'\n'*}
  [[ ${#timings[@]} == 0 ]] || printf '%s\n' "${timings[@]}" >&2
  echo "test.sh: step \"$current_step\" failed after $((SECONDS - step_started)) s:" \
    "\`$command\` exited with status $status" >&2
}
trap on_error ERR

step() {
  timings+=("$(printf '%5d s  %s' $((SECONDS - step_started)) "$current_step")")
  current_step=$*
  step_started=$SECONDS
  printf '\n=== %s\n' "$*"
}

if [[ $mode == --native-only ]]; then
  scripts/install-deps.sh --native-only
else
  scripts/install-deps.sh
fi

# A test that cannot find the program, Postfix or its TLS tools fails here instead of being skipped.
export LARKPOST_REQUIRE_BIN=1 LARKPOST_REQUIRE_POSTFIX=1 LARKPOST_REQUIRE_TOOLS=1
jobs=$(nproc)

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

# Why this machine cannot run the 32-bit Windows program under Wine, or nothing when it
# can. Wine's 32-bit loader is asked itself: Debian's `wine` command prefers it whenever
# wine32 is installed, even where the kernel starts no 32-bit program.
wine32_unusable_reason() {
  local loader=${LARKPOST_WINE32_LOADER:-/usr/lib/wine/wine} said
  if [[ ! -e $loader ]]; then
    echo "Wine's 32-bit loader $loader is not installed (Debian's wine32 package)"
  elif ! said=$("$loader" --version 2>&1 </dev/null); then
    said=$(tail -n 1 <<<"$said")
    echo "this machine cannot start 32-bit programs ($loader: ${said##*"$loader": })"
  fi
}

if [[ $mode != --native-only ]]; then
  step "Windows builds: 32-bit and 64-bit"
  scripts/build-windows.sh

  step "Windows programs checked without running them"
  scripts/check-windows-exe.sh build-win32/larkpost.exe x86
  scripts/check-windows-exe.sh build-win64/larkpost.exe x64
  wine32_problem=$(wine32_unusable_reason)

  # One after the other: each run has a prefix and a wineserver of its own, but together
  # they would share the cores and crowd the tests' time limits.
  step "64-bit Windows program under Wine (build-win64/larkpost.exe, wine64)"
  scripts/test-wine.sh x64
  run_under_wine="64-bit (build-win64/larkpost.exe)"

  if [[ -z $wine32_problem ]]; then
    step "32-bit Windows program under Wine (build-win32/larkpost.exe, wine32)"
    scripts/test-wine.sh x86
    run_under_wine+=" and 32-bit (build-win32/larkpost.exe)"
    not_run=""
  else
    not_run="32-bit program build-win32/larkpost.exe built and checked but NOT run under Wine: $wine32_problem"
    printf '\n%s\n' "$not_run"
  fi
fi

step "all tests passed"
printf '%s\n' "${timings[@]}"
if [[ $mode != --native-only ]]; then
  echo "Windows builds run under Wine: $run_under_wine"
  [[ -z $not_run ]] || echo "$not_run"
fi
