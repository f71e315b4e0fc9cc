#!/usr/bin/env bash
# Shows build/bin/korvane as a real window on a private X server (Xvfb), prints the
# window's title as X sees it, saves a picture of it and closes the program.
# Usage: scripts/screenshot.sh [output.png] [korvane arguments...]
#        scripts/screenshot.sh --all   the set in build/screenshots/ (below)
# Environment:
#   KORVANE_DPI=N         the screen's density (default 96)
#   KORVANE_DESKTOP=1     start korvane with the desktop entry's command (Qt's scaling)
#   KORVANE_FILE_DIALOG=1 press 选择 from the keyboard and photograph the file dialog
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --all ]; then
  dir=build/screenshots
  KORVANE_DPI=96 "$0" "$dir/korvane-96dpi.png"
  KORVANE_DPI=192 KORVANE_DESKTOP=1 "$0" "$dir/korvane-192dpi.png"
  KORVANE_DPI=192 "$0" "$dir/korvane-192dpi-unscaled.png"
  KORVANE_FILE_DIALOG=1 "$0" "$dir/file-dialog.png"
  exit 0
fi

out=${1:-build/screenshots/korvane-x11.png}
[ $# -gt 0 ] && shift
mkdir -p "$(dirname "$out")"
dpi=${KORVANE_DPI:-96}

if [ -z "${KORVANE_IN_XVFB:-}" ]; then
  KORVANE_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 2048x1024x24 -dpi $dpi" "$0" "$out" "$@"
fi

command=(build/bin/korvane)
if [ -n "${KORVANE_DESKTOP:-}" ]; then
  # The entry's own Exec line, with the program taken from the build tree.
  read -r -a exec_line <<<"$(sed -n 's/^Exec=//p' app/resources/korvane.desktop)"
  command=("${exec_line[@]:0:${#exec_line[@]}-1}" build/bin/korvane)
fi
# Qt warns about a plain C locale; file names are UTF-8 either way.
[ -n "${LANG:-}${LC_ALL:-}" ] || export LC_ALL=C.UTF-8
"${command[@]}" "$@" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT

# wait_window TITLE-PATTERN: the xwininfo line of the window whose title matches.
wait_window() {
  local line
  for _ in $(seq 100); do
    line=$(xwininfo -root -tree 2>/dev/null | grep -E "\"$1\": \(" | head -1) && break
    if ! kill -0 $pid 2>/dev/null; then
      status=0
      wait $pid || status=$?
      echo "screenshot: korvane exited early, status $status" >&2
      exit 1
    fi
    sleep 0.1
  done
  [ -n "$line" ] || { echo "screenshot: no window titled $1" >&2; exit 1; }
  echo "$line"
}

line=$(wait_window "固件更新工具V[0-9.]+")
echo "$line"
sleep 0.5 # let the first paint land
if [ -n "${KORVANE_FILE_DIALOG:-}" ]; then
  # Keyboard only, as a technician would: with no window manager to give the window the
  # focus, ask for it; the port field then has it, 选择 is eight Tabs on, Return presses it.
  xdotool windowfocus --sync "$(awk '{print $1}' <<<"$line")"
  xdotool key --delay 50 Tab Tab Tab Tab Tab Tab Tab Tab Return
  line=$(wait_window "选择固件")
  echo "$line"
  sleep 0.5
fi
xwd -id "$(awk '{print $1}' <<<"$line")" -silent | xwdtopnm 2>/dev/null | pnmtopng > "$out"
echo "screenshot: $out"
