#!/usr/bin/env bash
# korvane's Windows programs, as a Windows user gets them, under Wine on this machine:
# the zip unpacked into a folder whose path has Chinese characters and spaces, and the
# installer. Each update goes to korvane-devsim (Linux), through Linux's ser2net for the
# socket:// cases and through a pseudo-terminal mapped to COM5 for the COM port's cases;
# the windows run on a private Xvfb. One Wine prefix for the whole run (making one takes
# most of a minute), made afresh and removed at the end.
#
# Needs build/ (scripts/build.sh: korvane-devsim, and korvane-cli to compare with) and
# build-win/ (scripts/windows.sh: the zip and the installer).
# Usage: tests/wine/run.sh [CASE...]   (no CASE: all of them)
# Prints PASS or FAIL per case with its time, then "N passed, N failed"; exits 1 on a
# failure. KORVANE_WINE_SHOTS=DIR keeps the windows' pictures there.
set -uo pipefail
root=$(realpath "$(dirname "$0")/../..")
linux=$root/build/bin
win=$root/build-win
version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
work=$(mktemp -d /tmp/korvane-wine.XXXXXX)
shots=${KORVANE_WINE_SHOTS:-$work/shots}
mkdir -p "$shots"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
pids=()

cleanup() {
  WINEPREFIX=$work/prefix $wineserver -k 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

for need in "$linux/korvane-devsim" "$linux/korvane-cli" "$win/korvane-$version-win64.zip" \
            "$win/korvane-$version-setup.exe" "$wine" /usr/sbin/ser2net; do
  [ -e "$need" ] || { echo "wine tests: $need is missing (scripts/build.sh, scripts/windows.sh)" >&2; exit 1; }
done

# ---- helpers -------------------------------------------------------------------------

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# sim DIR [devsim options...]: a simulated device saving what it holds to DIR/saved.img,
# its events in DIR/sim.log; sets $pty to its port.
sim() {
  local dir=$1; shift
  mkdir -p "$dir"
  "$linux/korvane-devsim" --save "$dir/saved.img" "$@" >"$dir/sim.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    pty=$(head -1 "$dir/sim.log" 2>/dev/null)
    [ -n "$pty" ] && return 0
    sleep 0.05
  done
  return 1
}

# ser2net_on DIR DEVICE: raw TCP on the loopback in front of DEVICE, set for the update's
# stop-and-wait exchange; sets $tcp to its port once it accepts connections.
ser2net_on() {
  local dir=$1 device=$2
  tcp=$(free_port)
  cat >"$dir/ser2net.yaml" <<EOF
connection: &dev
  accepter: tcp(nodelay),127.0.0.1,$tcp
  connector: serialdev,$device,115200n81,local
  options:
    chardelay: false
EOF
  /usr/sbin/ser2net -n -c "$dir/ser2net.yaml" -P "$dir/ser2net.pid" >"$dir/ser2net.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$tcp") 2>/dev/null && return 0
    sleep 0.05
  done
  return 1
}

firmware() { head -c "${2:-65536}" /dev/urandom >"$1"; }

# expect_image DIR FIRMWARE: the device holds what korvane-cli derives from FIRMWARE.
expect_image() {
  "$linux/korvane-cli" image "$2" --out "$1/expected.img" >/dev/null &&
    cmp -s "$1/expected.img" "$1/saved.img"
}

# wait_for SECONDS COMMAND...: polls every 0.1 s.
wait_for() {
  local tries=$(($1 * 10)); shift
  for _ in $(seq $tries); do "$@" && return 0; sleep 0.1; done
  return 1
}

problem=""
fail() { problem="$*"; return 1; }

# A program a case started in the background is ended with the case, however it ends.
case_pids=()
passed=0 failed=0
run_case() {
  local name=$1 start=$SECONDS ok=yes
  problem=""
  "case_$name" || ok=no
  for pid in "${case_pids[@]}"; do kill "$pid" 2>/dev/null; done
  case_pids=()
  if [ $ok = yes ]; then
    echo "PASS $name ($((SECONDS - start)) s)"
    passed=$((passed + 1))
  else
    echo "FAIL $name ($((SECONDS - start)) s): ${problem:-see above}"
    failed=$((failed + 1))
  fi
}

# A private X server for the windows.
display() {
  [ -n "${DISPLAY:-}" ] && [ "${xvfb_started:-}" = yes ] && return 0
  Xvfb -displayfd 9 -screen 0 1280x800x24 -nolisten tcp 9>"$work/display" >/dev/null 2>&1 &
  pids+=($!)
  wait_for 20 test -s "$work/display" || return 1
  export DISPLAY=:$(cat "$work/display")
  xvfb_started=yes
}

# ---- the prefix, the unpacked zip ---------------------------------------------------

start=$SECONDS
# Wine's desktop process, started with the prefix, decides for every later window whether
# it can be seen: the X server comes first.
display || { echo "wine tests: no X server" >&2; exit 1; }
"$wine" wineboot -i >"$work/wineboot.log" 2>&1
# COM5 is whatever the link com5.tty points to: each case's simulated device makes it.
# Wine's mount manager reads its ports when it starts: COM5 is then a serial port that
# Windows' own calls list, with its dosdevices/com5 link.
com5=$work/com5.tty
"$wine" reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$com5" /f >/dev/null
$wineserver -k
$wineserver -w
echo "wine tests: prefix made in $((SECONDS - start)) s"
# A folder a user might choose: Chinese characters and spaces all the way.
portable="$WINEPREFIX/drive_c/用户 文件/固件 工具"
mkdir -p "$portable"
unzip -q "$win/korvane-$version-win64.zip" -d "$portable"
app="$portable/korvane-$version"
cli() { "$wine" "$app/korvane-cli.exe" "$@"; }

# ---- the cases ------------------------------------------------------------------------

# The same words as the Linux build: --version, and image --json on an Intel HEX file.
case_same_as_linux() {
  local dir=$work/same
  mkdir -p "$dir" && cd "$dir" || return 1
  firmware fw.bin 3000
  x86_64-w64-mingw32-objcopy -I binary -O ihex --change-addresses 0x8000 fw.bin fw.hex
  local a b
  a=$(cli --version) b=$("$linux/korvane-cli" --version)
  [ "$a" = "$b" ] || fail "--version: '$a', Linux '$b'" || return 1
  cli image --json fw.hex >win.json || fail "image --json exited $?" || return 1
  "$linux/korvane-cli" image --json fw.hex >linux.json
  cmp -s win.json linux.json || fail "image --json differs: $(diff win.json linux.json | head -5)"
}

# flash_via_ser2net DIR FIRMWARE LOG: a whole update over socket://, checked end to end.
flash_via_ser2net() {
  local dir=$1 fw=$2 log=$3
  sim "$dir" || fail "no simulated device" || return 1
  ser2net_on "$dir" "$pty" || fail "ser2net did not start" || return 1
  local status=0
  cli flash --port "socket://127.0.0.1:$tcp" --json --log "$log" "$fw" >"$dir/out.jsonl" 2>"$dir/err.txt" || status=$?
  [ $status -eq 0 ] || fail "korvane-cli.exe exited $status: $(tail -2 "$dir/out.jsonl") $(cat "$dir/err.txt")" || return 1
  expect_image "$dir" "$fw" || fail "the device does not hold the image" || return 1
  grep -q '"verified":true' "$log" && grep -q '"result":"ok"' "$log" ||
    fail "the log does not say verified: $(cat "$log")" || return 1
  # Redirected, the engine's Chinese words are UTF-8 and lines end in a bare newline.
  grep -q '"text":"正在更新固件......"' "$dir/out.jsonl" || fail "no UTF-8 status text in the JSON" || return 1
  ! grep -q $'\r' "$dir/out.jsonl" "$log" || fail "carriage returns in the JSON or the log"
}

case_flash_socket() {
  local dir=$work/socket
  mkdir -p "$dir" && cd "$dir" || return 1
  firmware fw.bin
  flash_via_ser2net "$dir" fw.bin shift.jsonl
}

case_flash_chinese_names() {
  local dir="$work/固件 目录"
  mkdir -p "$dir" && cd "$dir" || return 1
  firmware "新 固件 v2.bin"
  flash_via_ser2net "$dir" "新 固件 v2.bin" "班次 记录.jsonl" || return 1
  grep -q '"firmware":"新 固件 v2.bin"' "班次 记录.jsonl" || fail "the log names another firmware"
}

# Two korvane-cli.exe at once, one device each, one shift log that ends in a torn line:
# two whole records, each on a line of its own.
case_shared_log() {
  local dir=$work/shared
  mkdir -p "$dir" && cd "$dir" || return 1
  firmware fw.bin 16384
  # What a power cut left: a record cut short, which the next one must not be glued to.
  printf '{"port":"COM9","res' >shift.jsonl
  local ports=() one
  for one in a b; do
    sim "$dir/$one" && ser2net_on "$dir/$one" "$pty" || fail "no device behind ser2net" || return 1
    ports+=("$tcp")
  done
  cli flash -q --port "socket://127.0.0.1:${ports[0]}" --log shift.jsonl fw.bin >a.txt 2>&1 &
  cli flash -q --port "socket://127.0.0.1:${ports[1]}" --log shift.jsonl fw.bin >b.txt 2>&1 || fail "b: $(cat b.txt)" || return 1
  wait $! || fail "a: $(cat a.txt)" || return 1
  [ "$(grep -c '"verified":true' shift.jsonl)" -eq 2 ] && [ "$(wc -l <shift.jsonl)" -eq 3 ] ||
    fail "the log holds $(cat shift.jsonl)" || return 1
  python3 -c 'import json, sys; [json.loads(l) for l in list(open(sys.argv[1]))[1:]]' shift.jsonl ||
    fail "a torn record"
}

# A pseudo-terminal mapped to COM5: each spelling of the name opens it, the device hears
# the restart request, and (Wine delivers the worker's waits) the update runs through.
case_com_port() {
  local dir=$work/com
  mkdir -p "$dir" && cd "$dir" || return 1
  firmware fw.bin 8192
  local name
  for name in COM5 com5 '\\.\COM5'; do
    rm -f saved.img
    sim "$dir/$name" --link "$com5" || return 1
    cli flash -q --port "$name" fw.bin >"$dir/out.txt" 2>&1
    local status=$?
    grep -q "modbus 0x01 0x0009 0x4d2e ok" "$dir/$name/sim.log" ||
      fail "$name: the device heard no restart request (exit $status: $(tail -1 "$dir/out.txt"))" || return 1
    [ $status -eq 0 ] && expect_image "$dir/$name" fw.bin ||
      fail "$name: exit $status, $(tail -1 "$dir/out.txt")" || return 1
  done
}

# Ctrl-C (Wine turns SIGINT into the console's Ctrl-C event) stops an update at its next
# wait: exit 130, and the shift log records the device as interrupted.
case_ctrl_c() {
  local dir=$work/ctrl_c
  mkdir -p "$dir" && cd "$dir" || return 1
  firmware fw.bin 4096
  sim "$dir" --mode boot --fault handshake:lost:0:1000000 --link "$com5" || return 1
  # A background job of a script ignores SIGINT, and so would Wine: timeout sends it to a
  # foreground one, a few seconds into the handshake's 30.
  local status=0
  timeout --preserve-status -s INT 4 "$wine" "$app/korvane-cli.exe" flash --port COM5 --log shift.jsonl \
    fw.bin >"$dir/out.txt" 2>&1 || status=$?
  grep -q "looking for the bootloader" "$dir/out.txt" || fail "COM5 never opened: $(cat "$dir/out.txt")" || return 1
  [ $status -eq 130 ] || fail "exit $status, $(tail -1 "$dir/out.txt")" || return 1
  grep -q '"result":"interrupted"' shift.jsonl || fail "the log says $(cat shift.jsonl)"
}

# ---- the windows ---------------------------------------------------------------------

# window_id TITLE: the X window of a Windows window with that title.
window_id() {
  xwininfo -root -tree 2>/dev/null | grep -F "\"$1\": (" | awk '{print $1}' | head -1
}
has_window() { [ -n "$(window_id "$1")" ]; }

# A whole update through the window's 下载, from the keyboard as a technician would: the
# port typed into 串口, the firmware's path into 固件, 下载 pressed; then 更新完成.
case_window() {
  local dir=$work/window
  mkdir -p "$dir" && cd "$dir" || return 1
  firmware fw.bin
  sim "$dir" && ser2net_on "$dir" "$pty" || fail "no device behind ser2net" || return 1
  "$wine" "$app/korvane.exe" >"$dir/window.log" 2>&1 &
  case_pids+=($!)
  wait_for 60 has_window '固件更新工具V2.0' || fail "no window" || return 1
  local w
  w=$(window_id '固件更新工具V2.0')
  sleep 1 # the first paint
  xdotool windowfocus --sync "$w"
  xdotool key --delay 30 ctrl+a
  xdotool type --delay 20 "socket://127.0.0.1:$tcp"
  # 固件 is seven Tabs on from 串口, 下载 two more.
  xdotool key --delay 50 Tab Tab Tab Tab Tab Tab Tab
  local path=$dir/fw.bin
  xdotool type --delay 10 "Z:${path//\//\\}"
  xdotool key --delay 80 Tab Tab Return
  wait_for 60 has_window '更新完成' || fail "no 更新完成: $(cat "$dir/sim.log" | tail -2)" || return 1
  # The window as the operator sees it once the box has closed itself (after a second).
  wait_for 20 eval '! has_window 更新完成'
  sleep 0.5
  xwd -id "$w" -silent | xwdtopnm 2>/dev/null | pnmtopng >"$shots/korvane-windows.png"
  expect_image "$dir" fw.bin || fail "the device does not hold the image"
}

# One update from the station, on a socket:// port given on its command line with --auto.
case_station() {
  local dir=$work/station
  mkdir -p "$dir" && cd "$dir" || return 1
  firmware fw.bin
  sim "$dir" && ser2net_on "$dir" "$pty" || fail "no device behind ser2net" || return 1
  "$wine" "$app/korvane-station.exe" --port "socket://127.0.0.1:$tcp" --auto --log shift.jsonl \
    fw.bin >"$dir/station.log" 2>&1 &
  case_pids+=($!)
  wait_for 90 grep -qs '"result"' shift.jsonl || fail "no record: $(tail -2 "$dir/sim.log")" || return 1
  local w
  w=$(window_id '固件更新工作站V2.0')
  [ -n "$w" ] && xwd -id "$w" -silent | xwdtopnm 2>/dev/null | pnmtopng >"$shots/station-windows.png"
  grep -q '"verified":true' shift.jsonl || fail "the log says $(cat shift.jsonl)" || return 1
  expect_image "$dir" fw.bin || fail "the device does not hold the image"
}

# ---- the installer -------------------------------------------------------------------

uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\korvane'

# /S installs into Program Files with the Start menu's entries and Apps & features' record;
# the installed korvane-cli.exe runs; the uninstaller takes all of it away again.
case_installer() {
  local programs="$WINEPREFIX/drive_c/Program Files/korvane"
  local menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/固件更新工具"
  "$wine" "$win/korvane-$version-setup.exe" /S >/dev/null 2>&1 || fail "setup /S exited $?" || return 1
  local got
  got=$("$wine" "$programs/korvane-cli.exe" --version) || fail "the installed korvane-cli.exe did not run" || return 1
  [ "$got" = "korvane-cli $version" ] || fail "the installed one says '$got'" || return 1
  [ -f "$menu/固件更新工具.lnk" ] && [ -f "$menu/固件更新工作站.lnk" ] ||
    fail "Start menu: $(ls "$menu" 2>&1)" || return 1
  local record
  record=$("$wine" reg query "$uninstall_key" 2>/dev/null | tr -d '\r')
  grep -q "DisplayVersion *REG_SZ *$version" <<<"$record" && grep -q "Publisher *REG_SZ *Quorvex" <<<"$record" &&
    grep -q 'UninstallString' <<<"$record" || fail "Apps & features record: $record" || return 1
  # The uninstaller runs a copy of itself from the temporary folder, and returns at once.
  "$wine" "$programs/uninstall.exe" /S >/dev/null 2>&1
  wait_for 60 eval '[ ! -e "$programs" ] && [ ! -e "$menu" ]' || true
  [ ! -e "$programs" ] || fail "left behind: $(cd "$programs" && find . | head -5)" || return 1
  [ ! -e "$menu" ] || fail "Start menu left behind" || return 1
  ! "$wine" reg query "$uninstall_key" >/dev/null 2>&1 || fail "the Apps & features record is left"
}

# ---- run ----------------------------------------------------------------------------

all=(same_as_linux flash_socket flash_chinese_names shared_log com_port ctrl_c window station installer)
for name in "${@:-${all[@]}}"; do run_case "$name"; done
echo "wine tests: $((SECONDS - start)) s in all"
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
