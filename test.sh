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
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done
