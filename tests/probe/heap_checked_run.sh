#!/usr/bin/env bash
# Runs a test command under Wine's heap checking: every heap call validates
# the whole heap, so a write into a freed block is reported (err:heap) at the
# next call, close to its cause. The trace line Wine prints for every heap call
# is left out; any heap error fails the run, whatever the exit code. A damaged
# heap can leave the program waiting for a thread that is gone, so the run has
# a bound of its own (timeout ends the whole process group).
set -uo pipefail
export WINEDEBUG=-all,+heap
log=$(mktemp)
timeout -k 5 90 "$@" 2>&1 | grep --line-buffered -v ':trace:heap:' | tee "$log"
rc=${PIPESTATUS[0]}
if grep -q ':err:heap:' "$log"; then
  echo "heap_checked_run.sh: Wine reported damage to the heap" >&2
  rc=1
fi
rm -f "$log"
exit "$rc"
