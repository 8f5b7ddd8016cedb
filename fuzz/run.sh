#!/usr/bin/env bash
# Runs each fuzz target for SECONDS (default 60) from the seed corpus and the
# dictionary; fails on any finding. With "merge" as the third argument, the
# inputs found that add coverage are minimized into fuzz/corpus/ afterwards
# (libFuzzer's -merge=1), so the corpus grows by those alone.
# Usage: fuzz/run.sh [SECONDS] [BUILD_DIR] [merge]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${2:-build/fuzz}
merge=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in scan_fuzz size_name_fuzz names_fuzz; do
  if [ ! -x "$build/fuzz/$target" ]; then
    echo "fuzz: $build/fuzz/$target is not built; build the targets first (needs clang and libclang-rt-14-dev):" >&2
    echo "  cmake --workflow --preset fuzz" >&2
    exit 1
  fi
done
for target in scan_fuzz size_name_fuzz names_fuzz; do
  seeds=fuzz/corpus/${target%_fuzz}
  mkdir -p "$work/$target"
  echo "fuzz: $target for ${seconds}s"
  status=0
  "$build/fuzz/$target" -max_total_time="$seconds" -dict=fuzz/report.dict -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/$target" "$seeds" >"$work/$target.log" 2>&1 || status=$?
  grep -E '^(scan_fuzz: kernels|stat::number_of_executed_units|stat::new_units_added|SUMMARY)' "$work/$target.log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzz: $target failed (exit $status):" >&2
    grep -E -A12 '^==[0-9]+==' "$work/$target.log" | head -40 >&2
    for f in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
      if [ -f "$f" ]; then od -A x -c "$f" | head -20 >&2; fi
    done
    exit 1
  fi
  if [ "$merge" = merge ]; then
    before=$(ls "$seeds" | wc -l)
    "$build/fuzz/$target" -merge=1 "$seeds" "$work/$target" >"$work/$target.merge.log" 2>&1
    echo "fuzz: $target: corpus $before -> $(ls "$seeds" | wc -l) inputs"
  fi
done
