#!/usr/bin/env bash
# Shows build/bin/korvane as a real window on a private X server (Xvfb), prints the
# window's title as X sees it, saves a picture of the screen and closes the program.
# Usage: scripts/screenshot.sh [output.png] [korvane arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/screenshots/korvane-x11.png}
[ $# -gt 0 ] && shift
mkdir -p "$(dirname "$out")"

if [ -z "${KORVANE_IN_XVFB:-}" ]; then
  KORVANE_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x300x24" "$0" "$out" "$@"
fi

build/bin/korvane "$@" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT

title="固件更新工具V2.0"
for _ in $(seq 100); do
  xwininfo -root -tree 2>/dev/null | grep -q "\"$title\"" && break
  kill -0 $pid 2>/dev/null || { echo "screenshot: korvane exited early" >&2; exit 1; }
  sleep 0.1
done
line=$(xwininfo -root -tree | grep "\"$title\"") || { echo "screenshot: no window titled $title" >&2; exit 1; }
echo "$line"
sleep 0.5 # let the first paint land
xwd -id "$(awk '{print $1}' <<<"$line")" -silent | xwdtopnm 2>/dev/null | pnmtopng > "$out"
echo "screenshot: $out"
