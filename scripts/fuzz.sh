#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs each one, as many at a time as
# there are cores. Exits non-zero when a target finds a crash or a broken property; the
# input that did it is left in <build>/artifacts/.
# Usage: scripts/fuzz.sh [SECONDS]            each target for SECONDS (default 30)
#        scripts/fuzz.sh --runs N [TARGET...]  each (or the named) target for N inputs
# The build goes to build-fuzz/ (KORVANE_FUZZ_BUILD overrides); what the runs learn
# stays in <build>/corpus/ and seeds the next run.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=30)
what="30 s"
if [ "${1:-}" = "--runs" ]; then
  [ -n "${2:-}" ] || { echo "fuzz: --runs needs a number" >&2; exit 64; }
  limit=(-runs="$2")
  what="$2 inputs"
  shift 2
elif [ -n "${1:-}" ]; then
  limit=(-max_total_time="$1")
  what="$1 s"
  shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_receive fuzz_verdicts fuzz_descriptor fuzz_image fuzz_firmware_file fuzz_worker fuzz_telnet)

build=${KORVANE_FUZZ_BUILD:-build-fuzz}
bash scripts/setup.sh --fuzz
cmake -S . -B "$build" -DKORVANE_FUZZ=ON -DBUILD_TESTING=OFF -DKORVANE_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target korvane_fuzzers -j "$(nproc)"

# Longest input worth trying per target: a reply is at most 255 bytes; an image needs a
# little over 1024 to get its length stamp.
max_len() {
  case $1 in
    fuzz_receive) echo 1024 ;;
    fuzz_verdicts) echo 300 ;;
    fuzz_descriptor) echo 4096 ;;
    fuzz_image) echo 1600 ;;
    fuzz_firmware_file) echo 4096 ;;
    fuzz_worker) echo 512 ;; # a few faults at a time; the rest of the update goes well
    fuzz_telnet) echo 1024 ;;
  esac
}

run_one() {
  local name=$1 corpus=$build/corpus/${1#fuzz_} log=$build/logs/$1.log
  mkdir -p "$corpus" "$build/artifacts" "$build/logs"
  "$build/bin/$name" "${limit[@]}" -max_len="$(max_len "$name")" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$name-" \
    "$corpus" "fuzz/corpus/${name#fuzz_}" >"$log" 2>&1
}

echo "fuzz: ${targets[*]}: $what each"
declare -A pids
failed=0
running=0
for name in "${targets[@]}"; do
  run_one "$name" &
  pids[$name]=$!
  running=$((running + 1))
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
for name in "${targets[@]}"; do
  status=0
  wait "${pids[$name]}" || status=$?
  log=$build/logs/$name.log
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "fuzz: $name FAILED (status $status) after ${runs:-?} inputs; log $log:" >&2
    grep -E 'property broken|ERROR|SUMMARY|Test unit written' "$log" >&2 || tail -n 30 "$log" >&2
  else
    echo "fuzz: $name: ${runs:-?} inputs, no finding"
  fi
done
exit "$failed"
