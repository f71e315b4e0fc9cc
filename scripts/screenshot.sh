#!/usr/bin/env bash
# Shows build/bin/korvane as a real window on a private X server (Xvfb), prints the
# window's title as X sees it, saves a picture of it and closes the program.
# Usage: scripts/screenshot.sh [output.png] [korvane arguments...]
#        scripts/screenshot.sh --all   the set in build/screenshots/ (below)
# Environment:
#   KORVANE_DPI=N         the screen's density (default 96)
#   KORVANE_DESKTOP=1     start korvane with the desktop entry's command (Qt's scaling)
#   KORVANE_FILE_DIALOG=1 press 选择 from the keyboard and photograph the file dialog
#   KORVANE_STATION=1     photograph korvane-station in the middle of a run instead: four
#                         simulated devices, two updated, one failed, one still writing
#   KORVANE_STATION=32    the same with 32 devices on a 1920x1080 screen: 16 updated, one
#                         failed, 15 still writing
#   KORVANE_STATION=full-log    four devices and a shift log on a full disk (/dev/full)
#   KORVANE_STATION=no-firmware a firmware file that is not there
#   KORVANE_SCAN=TEXT     (station) type TEXT and Return into 板卡序列号 before the picture,
#                         as a barcode scanner does: a serial waiting for its board
#   KORVANE_SCREEN=WxH    the screen's size (default 2048x1024; 1920x1080 for the station)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" = --all ]; then
  dir=build/screenshots
  KORVANE_DPI=96 "$0" "$dir/korvane-96dpi.png"
  KORVANE_DPI=192 KORVANE_DESKTOP=1 "$0" "$dir/korvane-192dpi.png"
  KORVANE_DPI=192 "$0" "$dir/korvane-192dpi-unscaled.png"
  KORVANE_FILE_DIALOG=1 "$0" "$dir/file-dialog.png"
  KORVANE_STATION=1 "$0" "$dir/station.png"
  KORVANE_STATION=32 "$0" "$dir/station-32.png"
  KORVANE_STATION=32 KORVANE_SCREEN=1366x768 KORVANE_SCAN=SN-2026-0042 "$0" "$dir/station-32-1366x768.png"
  KORVANE_STATION=full-log "$0" "$dir/station-full-log.png"
  KORVANE_STATION=no-firmware "$0" "$dir/station-no-firmware.png"
  exit 0
fi

out=${1:-build/screenshots/korvane-x11.png}
[ $# -gt 0 ] && shift
mkdir -p "$(dirname "$out")"
dpi=${KORVANE_DPI:-96}

screen=${KORVANE_SCREEN:-2048x1024}
[ -n "${KORVANE_STATION:-}" ] && [ -z "${KORVANE_SCREEN:-}" ] && screen=1920x1080
if [ -z "${KORVANE_IN_XVFB:-}" ]; then
  KORVANE_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 ${screen}x24 -dpi $dpi" "$0" "$out" "$@"
fi

command=(build/bin/korvane)
title="固件更新工具V[0-9.]+"
sims=""
sim_pids=()
if [ -n "${KORVANE_STATION:-}" ]; then
  # The devices appear as links in a folder of their own, watched as a production line
  # watches /dev/ttyUSB*; the line runs by itself (--auto).
  sims=$(mktemp -d /tmp/line.XXXX)
  # Built for this bootloader: the four bytes its length stamp goes over are left 00.
  perl -e 'srand(7); my $b = pack("C*", map { int(rand(256)) } 1 .. 16384);
           substr($b, 1024, 4) = "\0" x 4; print $b' >"$sims/firmware.bin"
  mkdir "$sims/logs"
  start_sim() {
    build/bin/korvane-devsim --link "$sims/$1" "${@:2}" >"$sims/logs/$1" &
    sim_pids+=($!)
  }
  # The station keeps its settings; these runs neither read nor change the user's.
  export XDG_CONFIG_HOME=$sims/config
  log=$sims/logs/shift.jsonl
  firmware=$sims/firmware.bin
  ended=3 # devices to have ended before the picture
  case $KORVANE_STATION in
    32)
      for i in $(seq 0 31); do
        if [ "$i" -eq 5 ]; then start_sim ttyUSB$i --mode boot --fault erase:error
        elif [ $((i % 2)) -eq 0 ]; then start_sim ttyUSB$i
        else start_sim ttyUSB$i --baud 9600
        fi
      done
      ended=16 ;;
    *)
      start_sim ttyUSB0
      start_sim ttyUSB1
      start_sim ttyUSB2 --mode boot --fault erase:error # the device rejects the erase: 失败
      start_sim ttyUSB3 --baud 9600                      # still writing when photographed
      ;;
  esac
  case $KORVANE_STATION in
    full-log) log=/dev/full; ended=0 ;;
    no-firmware) firmware=$sims/no-such-firmware.bin; ended=0 ;;
  esac
  command=(build/bin/korvane-station --watch "$sims/ttyUSB*" --auto --log "$log" "$firmware")
  title="固件更新工作站V[0-9.]+"
elif [ -n "${KORVANE_DESKTOP:-}" ]; then
  # The entry's own Exec line, with the program taken from the build tree.
  read -r -a exec_line <<<"$(sed -n 's/^Exec=//p' app/resources/korvane.desktop)"
  command=("${exec_line[@]:0:${#exec_line[@]}-1}" build/bin/korvane)
fi
# Qt warns about a plain C locale; file names are UTF-8 either way.
[ -n "${LANG:-}${LC_ALL:-}" ] || export LC_ALL=C.UTF-8
"${command[@]}" "$@" &
pid=$!
cleanup() {
  kill $pid "${sim_pids[@]}" 2>/dev/null || true
  [ -z "$sims" ] || rm -rf "$sims"
}
trap cleanup EXIT

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

line=$(wait_window "$title")
echo "$line"
sleep 0.5 # let the first paint land
if [ -n "$sims" ]; then
  # The fast devices have ended (成功, and the one 失败) and the slow ones are well into
  # their writing.
  for _ in $(seq 300); do
    [ "$(wc -l <"$sims/logs/shift.jsonl" 2>/dev/null || echo 0)" -ge $ended ] && break
    sleep 0.1
  done
  sleep 3
fi
if [ -n "${KORVANE_SCAN:-}" ]; then
  # The field is ten Tabs on from the firmware path, which has the focus at first.
  xdotool windowfocus --sync "$(awk '{print $1}' <<<"$line")"
  xdotool key --delay 50 Tab Tab Tab Tab Tab Tab Tab Tab Tab Tab
  xdotool type --delay 20 "$KORVANE_SCAN"
  xdotool key Return
  sleep 0.5
fi
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
