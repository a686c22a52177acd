#!/usr/bin/env bash
# tools/build.sh <variant>: configures and builds one variant.
#   release  -> build/       (optimised, with benchmarks)
#   sanitize -> build-asan/  (ASan + UBSan, engine allocations on the system heap)
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-release}" in
  release)  dir=build;      flags=(-DCMAKE_BUILD_TYPE=Release -DNX_WERROR=ON) ;;
  sanitize) dir=build-asan; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DNX_SANITIZE=ON -DNX_SYSTEM_HEAP=ON -DNX_BUILD_BENCH=OFF -DNX_WERROR=ON) ;;
  *) echo "unknown variant: $1" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
# The build's CPU (user, sys, children included) and wall seconds, for tools/ci-time.
TIMEFORMAT='%3U %3S %3R'
{ time cmake --build "$dir" -j "$(nproc)" 2>&3; } 3>&2 2>"$dir/ci-time-build.txt"
