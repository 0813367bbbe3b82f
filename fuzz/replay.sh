#!/usr/bin/env bash
# replay.sh BINARY CORPUS WORK RUNS MAX_LEN: replays the seed corpus, then
# fuzzes deterministically (fixed seed, fixed runs). New inputs go to WORK,
# emptied first, so the repository's corpus never changes and every run is
# the same.
set -euo pipefail
binary=$1 corpus=$2 work=$3 runs=$4 max_len=$5
rm -rf "$work"
mkdir -p "$work/new"
exec "$binary" -seed=1 -runs="$runs" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/" "$work/new" "$corpus"
