#!/usr/bin/env bash
# replay.sh BINARY CORPUS WORK RUNS MAX_LEN SECONDS: replays the seed corpus,
# then fuzzes with a fixed seed for RUNS runs or SECONDS seconds, whichever
# ends first: the same inputs in the same order every time, and a slow or
# loaded machine only runs fewer of them instead of failing the test's time
# limit. New inputs go to WORK, emptied first, so the repository's corpus never
# changes.
set -euo pipefail
binary=$1 corpus=$2 work=$3 runs=$4 max_len=$5 seconds=$6
rm -rf "$work"
mkdir -p "$work/new"
exec "$binary" -seed=1 -runs="$runs" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/" "$work/new" "$corpus"
