#!/usr/bin/env bash
# The test suite built with AddressSanitizer and UndefinedBehaviorSanitizer
# (KORVANE_SANITIZE=ON). A memory error, a leak or undefined behaviour stops the test
# and fails it; the korvane-cli and korvane-devsim the tests start are built the same way
# and report into the test's output (and korvane-cli's exit status).
# -O1 keeps the build quick and the stacks readable; the build goes to build-san/
# (KORVANE_SANITIZE_BUILD overrides).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${KORVANE_SANITIZE_BUILD:-build-san}
bash scripts/setup.sh
cmake -S . -B "$build" -DKORVANE_SANITIZE=ON -DKORVANE_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
cmake --build "$build" -j "$(nproc)"
cd "$build"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp}
# The fault campaign and the soak run many updates of programs already checked here; CI
# runs them once, in the plain suite. KORVANE_SANITIZE_ALL=1 runs them here too.
skip=()
[ -n "${KORVANE_SANITIZE_ALL:-}" ] || skip=(-LE 'campaign|soak')
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)" "${skip[@]}"
