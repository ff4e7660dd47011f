#!/usr/bin/env bash
# Builds and starts Tunevert.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build build/release
exec build/release/app/tunevert-cli "$@"
