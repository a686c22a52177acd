#!/usr/bin/env bash
# Sets up, builds both variants and runs every test in each.
set -euo pipefail
cd "$(dirname "$0")"
tools/setup.sh
jobs=$(nproc)
for variant in release sanitize; do
  tools/build.sh "$variant"
  dir=build; [ "$variant" = sanitize ] && dir=build-asan
  echo "== tests: $variant"
  # The tests' CPU (user, sys, children included) and wall seconds, for tools/ci-time.
  TIMEFORMAT='%3U %3S %3R'
  { time ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir "$dir" --output-on-failure -j "$jobs" 2>&3; } 3>&2 2>"$dir/ci-time-tests.txt"
done
echo "== cost"
tools/ci-time
