#!/usr/bin/env bash
# Sets up, builds and starts the drill program.
set -euo pipefail
cd "$(dirname "$0")"
tools/setup.sh
tools/build.sh release
app=build/app/Tessarine
if [ ! -x "$app" ]; then
  echo "The drill program is not built yet: only the engine's libraries and tests exist." >&2
  exit 1
fi
exec "$app"
