#!/usr/bin/env bash
# Long random runs of the fuzz targets: tools/fuzz-long.sh [SECONDS [TARGET...]]
# Each target fuzzes for SECONDS (default 600) with a random seed; at most
# FUZZ_PARALLEL (default 3) run at once, so the machine keeps cores for others.
# New inputs gather in build/fuzz/long/<target>/corpus (kept between runs),
# crashes in build/fuzz/long/<target>/; a summary line per target at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
seconds=${1:-600}
shift || true
parallel=${FUZZ_PARALLEL:-3}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j 4 >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for binary in build/fuzz/fuzz/fuzz_*; do targets+=("${binary##*/fuzz_}"); done
fi

run_one() {
  local name=$1 out="build/fuzz/long/$1"
  mkdir -p "$out/corpus"
  local start=$SECONDS
  touch "$out/.started"
  "build/fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus" "fuzz/corpus/$name" >"$out/log" 2>&1 || true
  local runs time=$((SECONDS - start)) crashes
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/log" | tail -n 1)
  crashes=$(find "$out" -maxdepth 1 -newer "$out/.started" \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' \
    -o -name 'leak-*' -o -name 'slow-unit-*' \) | wc -l)
  echo "fuzz-long: $name: ${runs:-?} executions in ${time:-?} s, $crashes findings in $out"
}

running=0
for name in "${targets[@]}"; do
  run_one "$name" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n
    running=$((running - 1))
  fi
done
wait
