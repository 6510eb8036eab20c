#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, each from its seed corpus if it has
# one, JOBS targets at a time (default: the number of cores).
# Each target gets SECONDS (default 30), less when the targets together would
# pass the overall budget of wall-clock time (BUDGET, default 540 s).
set -euo pipefail
dir=${1:-build-fuzz}; secs=${2:-30}; budget=${3:-540}
jobs=${JOBS:-$(nproc)}
[ "$jobs" -ge 1 ] || jobs=1
shopt -s nullglob
targets=()
for f in "$dir"/fuzz/fuzz_*; do
  [ -x "$f" ] && [ -f "$f" ] && targets+=("$f")
done
n=${#targets[@]}
rounds=$(( (n + jobs - 1) / jobs ))
if [ "$n" -gt 0 ] && [ $((rounds * secs)) -gt "$budget" ]; then
  secs=$((budget / rounds))
  [ "$secs" -lt 5 ] && secs=5
fi
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

# One target: its report goes to a file of its own, so parallel runs do not mix.
run_one() {
  local f=$1 name work seeds
  name=$(basename "$f")
  work=$(mktemp -d)
  seeds=fuzz/corpus/$name
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null || true
  {
    echo "== $name ($secs s)"
    if "$f" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" > "$work.log" 2>&1; then
      grep -E "^(stat::number_of_executed_units|Done)" "$work.log" || true
    else
      tail -n 60 "$work.log"
      touch "$results/$name.failed"
    fi
  } > "$results/$name.out"
  rm -rf "$work" "$work.log"
}

running=0
for f in "${targets[@]}"; do
  run_one "$f" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

for f in "${targets[@]}"; do
  cat "$results/$(basename "$f").out"
done
failed=$(find "$results" -name '*.failed' | wc -l)
echo "fuzz targets run: $n, failed: $failed"
[ "$failed" -eq 0 ]
