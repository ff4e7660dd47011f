#!/usr/bin/env bash
# Builds and runs every test: the whole suite under AddressSanitizer+UBSan, then the
# threading tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

export QT_QPA_PLATFORM=offscreen
werror=OFF
[ -n "${CI:-}" ] && werror=ON

cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTUNEVERT_SANITIZE=address \
  -DTUNEVERT_WERROR=$werror
cmake --build build/asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
  ctest --test-dir build/asan --output-on-failure -j "$(nproc)"

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNEVERT_SANITIZE=thread \
  -DTUNEVERT_WERROR=$werror -DTUNEVERT_BUILD_GUI=OFF
cmake --build build/tsan --target tunevert_thread_tests
# Recent kernels randomise mappings more than this TSan runtime accepts; setarch -R turns
# address randomisation off for the run.
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  setarch "$(uname -m)" -R ctest --test-dir build/tsan -L threads --output-on-failure
