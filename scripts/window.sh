#!/usr/bin/env bash
# Builds korvane and opens its window. Without a display (a server, a container) the
# window is shown on a private X server instead, photographed and closed, so the
# command still shows what the operator would see.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/bin/korvane "$@"
fi
echo "window: no display; showing the window on Xvfb instead"
bash scripts/screenshot.sh build/screenshots/korvane-x11.png "$@"
