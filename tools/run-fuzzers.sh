#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for its time budget, from a copy of its seed corpus.
# Fails on the first crash, leak or hang that a target reports.
set -euo pipefail
build=${1:-build-fuzz}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
while read -r name seconds corpus; do
  [ -n "$name" ] || continue
  mkdir -p "$work/$name"
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work/$name"/
  echo "== fuzzing $name for ${seconds}s"
  "$build/bin/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$work/$name" 2>&1 | tail -n 15
done < "$build/fuzz_targets.txt"
