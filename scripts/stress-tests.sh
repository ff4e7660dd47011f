#!/usr/bin/env bash
# Looks for tests that fail or hang only now and then: runs the threading tests 30 times
# under ThreadSanitizer and the whole suite 5 times under AddressSanitizer+UBSan, beside two
# busy loops that take the cores away at random moments, as a loaded CI machine does.
# Usage: scripts/stress-tests.sh [THREAD_RUNS] [SUITE_RUNS]    (defaults 30 and 5)
set -euo pipefail
cd "$(dirname "$0")/.."
thread_runs=${1:-30}
suite_runs=${2:-5}
scripts/install-deps.sh

export QT_QPA_PLATFORM=offscreen
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTUNEVERT_SANITIZE=address >/dev/null
cmake --build build/asan
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNEVERT_SANITIZE=thread \
  -DTUNEVERT_BUILD_GUI=OFF >/dev/null
cmake --build build/tsan --target tunevert_thread_tests

busy=()
trap 'kill "${busy[@]}" 2>/dev/null || true' EXIT
for _ in 1 2; do
  (while :; do :; done) &
  busy+=($!)
done

TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  setarch "$(uname -m)" -R ctest --test-dir build/tsan -L threads --output-on-failure \
  --repeat until-fail:"$thread_runs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$(nproc)" --repeat until-fail:"$suite_runs"
