#!/usr/bin/env bash
# Builds and starts Tunevert. With arguments, runs tunevert-cli with them instead. Only the
# build happens in the checkout: the program runs in the caller's folder, where relative
# names and the default output folder (the current one) are the caller's.
set -euo pipefail
checkout=$(cd "$(dirname "$0")" && pwd)
(
  cd "$checkout"
  scripts/install-deps.sh
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build build/release
)
programs="$checkout/build/release/app"
if [ $# -gt 0 ]; then
  exec "$programs/tunevert-cli" "$@"
fi
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No graphical display found (DISPLAY and WAYLAND_DISPLAY are unset), so the window"
  echo "cannot open. Convert from the terminal instead: ./run.sh [options] FILE..."
  echo
  exec "$programs/tunevert-cli" --help
fi
exec "$programs/tunevert"
