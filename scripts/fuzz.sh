#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each for a while, starting from the seed corpora
# in fuzz/corpus. What a run finds stays in build-fuzz/corpus, not in the repository.
#
#   scripts/fuzz.sh [seconds per target, default 30] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
[[ ${#targets[@]} == 0 ]] && targets=(address_list header_scan message_stream options reply_reader)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLARKPOST_WERROR=ON -DLARKPOST_FUZZ=ON -DLARKPOST_TESTS=OFF \
  -DLARKPOST_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j "$(nproc)" >/dev/null

export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$target
  log=build-fuzz/$target.log
  mkdir -p "$corpus"
  printf '\n=== %s_fuzz, %s s\n' "$target" "$seconds"
  status=0
  build-fuzz/"${target}"_fuzz -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build-fuzz/"$target"- "$corpus" fuzz/corpus/"$target" >"$log" 2>&1 || status=$?
  # The last coverage line and the totals: executions, coverage, peak memory.
  grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)' "$log" | tail -n 1 || true
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
  if [[ $status != 0 ]]; then
    tail -n 40 "$log" >&2
    echo "fuzz: $target failed (status $status); the input is in build-fuzz/$target-*" >&2
    exit 1
  fi
done
