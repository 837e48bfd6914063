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
  # A failing target keeps its whole report (stack and reproducer) in the log.
  if ! "$build/bin/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$work/" "$work/$name" >"$work/$name.log" 2>&1; then
    tail -n 80 "$work/$name.log"
    echo "== $name failed"
    exit 1
  fi
  tail -n 6 "$work/$name.log"
done < "$build/fuzz_targets.txt"
