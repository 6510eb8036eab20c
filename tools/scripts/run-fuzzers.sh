#!/usr/bin/env bash
# Runs every fuzz target for a bounded time, each from its seed corpus if it has one.
set -euo pipefail
dir=${1:-build-fuzz}; secs=${2:-30}
shopt -s nullglob
ran=0
for f in "$dir"/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  work=$(mktemp -d)
  seeds=fuzz/corpus/$name
  [ -d "$seeds" ] && cp -r "$seeds"/. "$work"/ 2>/dev/null || true
  echo "== $name ($secs s)"
  "$f" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" 2>&1 | tail -n 12
  rm -rf "$work"
  ran=$((ran + 1))
done
echo "fuzz targets run: $ran"
