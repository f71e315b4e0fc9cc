#!/usr/bin/env bash
# The whole test suite from a fresh checkout: set up, build, run every test headless.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)"
