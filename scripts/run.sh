#!/usr/bin/env bash
# The main job, end to end, without hardware: set up, build, start a simulated device
# (korvane-devsim, running its application, on a pseudo-terminal), flash a generated
# firmware onto it with korvane-cli, and check that the device holds exactly the image
# the tool derives. Exits 0 only when all of that worked. The window: scripts/window.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh

bin=build/bin
tmp=$(mktemp -d "${TMPDIR:-/tmp}/korvane-demo.XXXXXX")
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { echo "run: FAILED: $*" >&2; exit 1; }

# 64 KiB from a fixed seed: the same firmware, sum and image on every run (perl is part
# of every Debian system). Bytes 1024 to 1027 are 00, kept free for the length stamp as a
# firmware built for this bootloader keeps them.
firmware=$tmp/demo-firmware.bin
perl -e 'srand(20240); my @b = map { int(rand(256)) } 1 .. 65536; @b[1024 .. 1027] = (0) x 4;
         print pack("C*", @b)' > "$firmware"
echo "== the image korvane will send"
"$bin/korvane-cli" image "$firmware" --out "$tmp/expected.img"

echo "== starting the simulated device"
"$bin/korvane-devsim" --mode app --save "$tmp/received.img" > "$tmp/devsim.log" &
sim_pid=$!
port=""
for _ in $(seq 100); do
  port=$(head -n 1 "$tmp/devsim.log")
  [ -e "$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || fail "korvane-devsim exited early"
  sleep 0.1
done
[ -e "$port" ] || fail "korvane-devsim printed no port"
echo "device on $port"

echo "== korvane-cli flash --port $port $(basename "$firmware")"
start=$(date +%s%N)
status=0
"$bin/korvane-cli" flash --port "$port" "$firmware" || status=$?
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
[ "$status" -eq 0 ] || fail "korvane-cli flash exited with $status"
echo "flashed in ${elapsed_ms} ms"

# The device saves what it holds right after it answers the start command.
for _ in $(seq 50); do
  grep -q '^saved ' "$tmp/devsim.log" && break
  sleep 0.1
done
kill -TERM "$sim_pid"
wait "$sim_pid" || fail "korvane-devsim ended badly"
sim_pid=""

echo "== what the device saw"
grep -E '^(mode|modbus|rx (erase|start)|image|saved)' "$tmp/devsim.log" || true
echo "rx write: $(grep -c '^rx write' "$tmp/devsim.log") blocks"
grep -q '^image ok' "$tmp/devsim.log" || fail "the device did not accept the image"
cmp "$tmp/received.img" "$tmp/expected.img" || fail "the device holds other bytes than korvane-cli image derives"
echo "== OK: the device holds the image byte for byte ($(stat -c %s "$tmp/received.img") bytes)"
