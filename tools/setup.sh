#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing.
set -euo pipefail
# libmimalloc-dev and libjemalloc-dev: the allocators bench_memory_manager compares against.
# python3: the table-file checker (tools/check_table.py) the storage tests run.
# Qt 6 Widgets and Charts with the headless "offscreen" platform plugin, and a font with
# Japanese glyphs: the drill program's window (framework/gui).
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libicu-dev libpcre3-dev libsqlite3-dev ccache
  libmimalloc-dev libjemalloc-dev python3
  qt6-base-dev qt6-charts-dev qt6-qpa-plugins libqt6opengl6-dev fonts-noto-cjk)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    cat >&2 <<MSG
These packages are needed to build and are not installed:
  ${missing[*]}
Installing them needs root rights, and sudo is not available. As root, run:
  apt-get update && apt-get install -y ${missing[*]}
(or install sudo and run this script again).
MSG
    exit 1
  fi
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
