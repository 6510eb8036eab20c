#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, each from its seed corpus if it has one.
# Each target gets SECONDS (default 30), less when the targets together would
# pass the overall budget (BUDGET, default 540 s).
set -euo pipefail
dir=${1:-build-fuzz}; secs=${2:-30}; budget=${3:-540}
shopt -s nullglob
targets=()
for f in "$dir"/fuzz/fuzz_*; do
  [ -x "$f" ] && [ -f "$f" ] && targets+=("$f")
done
n=${#targets[@]}
if [ "$n" -gt 0 ] && [ $((n * secs)) -gt "$budget" ]; then
  secs=$((budget / n))
  [ "$secs" -lt 5 ] && secs=5
fi
failed=0
for f in "${targets[@]}"; do
  name=$(basename "$f")
  work=$(mktemp -d)
  seeds=fuzz/corpus/$name
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null || true
  echo "== $name ($secs s)"
  if ! "$f" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" > "$work.log" 2>&1; then
    tail -n 60 "$work.log"
    failed=$((failed + 1))
  else
    grep -E "^(stat::number_of_executed_units|Done)" "$work.log" || true
  fi
  rm -rf "$work" "$work.log"
done
echo "fuzz targets run: $n, failed: $failed"
[ "$failed" -eq 0 ]
