#!/usr/bin/env bash
# Builds and starts Tunevert. With arguments, runs tunevert-cli with them instead.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release
if [ $# -gt 0 ]; then
  exec build/release/app/tunevert-cli "$@"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No graphical display found (DISPLAY and WAYLAND_DISPLAY are unset), so the window"
  echo "cannot open. Convert from the terminal instead: ./run.sh [options] FILE..."
  echo
  exec build/release/app/tunevert-cli --help
fi
exec build/release/app/tunevert
