#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (executables in
# build/bin/). Warnings fail the build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -DKORVANE_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build -j "$(nproc)"
