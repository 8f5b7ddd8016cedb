#!/usr/bin/env bash
# Times the whole program against the floor of reading the same files, on the
# same corpus in the same run, and the scan core against the plain loop.
# With a git revision as BASE, its program and its scan core are timed beside
# this one's on the same data, alternately, and the ratios printed.
# Usage: bench/run.sh [runs] [BASE]   (runs default 5; prints medians)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
base=${2:-}
corpus=bench/corpus

for preset in bench bench-plain; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
fast=$PWD/build/bench/traffic-totals
plain=$PWD/build/bench-plain/traffic-totals
reader=$PWD/build/bench/bench/plain_reader

# The corpus is made anew when its generator has changed.
corpus_version=$(sha1sum bench/corpus.hpp bench/make_corpus.cpp | sha1sum | cut -c1-12)
if [ "$(cat "$corpus/VERSION" 2>/dev/null)" != "$corpus_version" ]; then
  free_kb=$(df -Pk . | awk 'NR == 2 { print $4 }')
  if [ "$free_kb" -lt 2000000 ]; then
    echo "bench: the corpus needs about 1.5 GB of disk; $((free_kb / 1024)) MB free" >&2
    exit 1
  fi
  rm -rf "$corpus"
  build/bench/bench/make_corpus "$corpus"
  echo "$corpus_version" >"$corpus/VERSION"
  # A report changed in the last two seconds is read twice; the corpus is
  # timed as reports usually are, long after they were written.
  sleep 3
fi

# side_by_side DIR COMMAND...: each command (a line for the shell, run in DIR)
# once a round, for $runs rounds, so that the machine's drift falls on all of
# them alike; prints each one's median wall time, in order. With cold=1, each
# run comes after the page cache is dropped.
cold=0
side_by_side() {
  local dir=$1
  shift
  local -a times=()
  for ((i = 0; i < runs; i++)); do
    local k=0
    for command in "$@"; do
      if [ "$cold" = 1 ]; then
        sync
        echo 3 >/proc/sys/vm/drop_caches
      fi
      local start end
      start=$(date +%s.%N)
      (cd "$dir" && eval "$command" </dev/null >/dev/null)
      end=$(date +%s.%N)
      times[k]+="$(echo "scale=3; ($end - $start) / 1" | bc) "
      k=$((k + 1))
    done
  done
  local medians=()
  for ((k = 0; k < $#; k++)); do
    medians+=("$(LC_ALL=C printf '%.3f' "$(printf '%s\n' ${times[k]} | sort -n | sed -n "$(((runs + 1) / 2))p")")")
  done
  echo "${medians[@]}"
}

peak_kb() {
  local dir=$1
  shift
  (cd "$dir" && /usr/bin/time -f '%M' "$@" </dev/null 2>&1 >/dev/null | tail -n 1)
}

ratio() { echo "scale=2; $1 / $2" | bc; }

echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -n 1)"

# The base revision, built beside this one: its program, and its scan core
# with this revision's benchmark data.
if [ -n "$base" ]; then
  worktree=$(mktemp -d)
  trap 'git worktree remove --force "$worktree" >/dev/null 2>&1 || true' EXIT
  git worktree add --detach "$worktree" "$base" >/dev/null 2>&1
  cp bench/corpus.hpp bench/scan_benchmark.cpp "$worktree/bench/"
  # A base older than the list of every kernel gets one of the kernels it has.
  if ! grep -q every_scan_kernel "$worktree/src/scan_core.hpp"; then
    kernels=$(grep -o 'enum class scan_kernel {[^}]*}' "$worktree/src/scan_core.hpp" | sed 's/.*{\(.*\)}/\1/' |
      tr -d ' ' | tr ',' '\n' | sed 's/^/scan_kernel::/' | paste -sd,)
    sed -i "0,/^namespace {/s//namespace {\nconstexpr scan_kernel every_scan_kernel[] = {$kernels};/" \
      "$worktree/bench/scan_benchmark.cpp"
  fi
  # Options in full: a base revision may be older than the bench preset.
  if ! { cmake -S "$worktree" -B "$worktree/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DTRAFFIC_TOTALS_BENCHMARKS=ON && cmake --build "$worktree/build" --target scan_benchmark traffic-totals; } >"$worktree/build.log" 2>&1; then
    cat "$worktree/build.log" >&2
    echo "bench: could not build $base" >&2
    exit 1
  fi
  based=$worktree/build/traffic-totals
fi

# Warm the page cache, then measure.
cat "$corpus/large/traffic.htm" >/dev/null
(cd "$corpus/small" && printf "%s\0" *.htm | xargs -0 cat >/dev/null)

large=$corpus/large
small=$corpus/small
dd_large='dd if=traffic.htm of=/dev/null bs=1M status=none'
read -r t_fast_large t_plain_large t_dd < <(side_by_side "$large" "'$fast'" "'$plain'" "$dd_large")
# On one processor the program reads on its own thread alone.
read -r t_one_large t_one_dd < <(side_by_side "$large" "taskset -c 0 '$fast'" "taskset -c 0 $dd_large")
read -r t_fast_small t_plain_small t_reader t_reader2 < <(side_by_side "$small" "'$fast'" "'$plain'" \
  "'$reader' *.htm" "'$reader' -j 2 *.htm")
if [ -n "$base" ]; then
  read -r b_fast_large b_base_large < <(side_by_side "$large" "'$fast'" "'$based'")
  read -r b_fast_small b_base_small < <(side_by_side "$small" "'$fast'" "'$based'")
fi
m_large=$(peak_kb "$large" "$fast")
m_small=$(peak_kb "$small" "$fast")

printf '\nwhole runs, side by side, median of %d (seconds)\n' "$runs"
printf '  1 GB report:        traffic-totals %s   plain-loop build %s   dd bs=1M %s\n' "$t_fast_large" "$t_plain_large" "$t_dd"
printf '                      vs dd %sx   plain-loop build / traffic-totals %sx\n' \
  "$(ratio "$t_fast_large" "$t_dd")" "$(ratio "$t_plain_large" "$t_fast_large")"
printf '  1 GB, one processor: traffic-totals %s   dd bs=1M %s   vs dd %sx\n' "$t_one_large" "$t_one_dd" \
  "$(ratio "$t_one_large" "$t_one_dd")"
printf '  100,000 x 2 KB:     traffic-totals %s   plain-loop build %s   plain reader %s   on 2 threads %s\n' \
  "$t_fast_small" "$t_plain_small" "$t_reader" "$t_reader2"
printf '                      vs plain reader %sx   (2-thread plain reader: %sx)\n' "$(ratio "$t_fast_small" "$t_reader")" \
  "$(ratio "$t_reader2" "$t_reader")"
printf '  peak memory:        1 GB report %s KB   100,000 reports %s KB\n' "$m_large" "$m_small"
if [ -n "$base" ]; then
  printf '  against %s:  1 GB report %s vs %s (%sx)   100,000 x 2 KB %s vs %s (%sx)\n' "$base" \
    "$b_fast_large" "$b_base_large" "$(ratio "$b_fast_large" "$b_base_large")" \
    "$b_fast_small" "$b_base_small" "$(ratio "$b_fast_small" "$b_base_small")"
fi

# Cold: the page cache dropped before each run (root only).
if [ -w /proc/sys/vm/drop_caches ]; then
  cold=1
  read -r c_fast_large c_dd < <(side_by_side "$large" "'$fast'" "$dd_large")
  read -r c_fast_small c_reader c_reader2 < <(side_by_side "$small" "'$fast'" "'$reader' *.htm" \
    "'$reader' -j 2 *.htm")
  if [ -n "$base" ]; then
    read -r cb_fast_small cb_base_small < <(side_by_side "$small" "'$fast'" "'$based'")
  fi
  cold=0
  printf '\ncold page cache, side by side, median of %d (seconds)\n' "$runs"
  printf '  1 GB report:        traffic-totals %s   dd bs=1M %s   vs dd %sx\n' "$c_fast_large" "$c_dd" \
    "$(ratio "$c_fast_large" "$c_dd")"
  printf '  100,000 x 2 KB:     traffic-totals %s   plain reader %s   vs plain reader %sx   (2-thread plain reader: %sx)\n' \
    "$c_fast_small" "$c_reader" "$(ratio "$c_fast_small" "$c_reader")" "$(ratio "$c_reader2" "$c_reader")"
  if [ -n "$base" ]; then
    printf '  against %s:  100,000 x 2 KB %s vs %s (%sx)\n' "$base" "$cb_fast_small" "$cb_base_small" \
      "$(ratio "$cb_fast_small" "$cb_base_small")"
  fi
  # Warm again for what follows.
  cat "$corpus/large/traffic.htm" >/dev/null
  (cd "$corpus/small" && printf "%s\0" *.htm | xargs -0 cat >/dev/null)
fi

# scan_core BENCHMARK: each kernel's median bytes per second, in GB/s, over
# $runs repetitions, as "kernel value" lines. Every run is held to the same
# processor: on a virtual machine one may run a quarter slower than another.
scan_core() {
  taskset -c "$(($(nproc) - 1))" "$1" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true --benchmark_filter='/65536' 2>/dev/null |
    awk '/_median/ { split($1, name, "/"); for (i = 1; i <= NF; i++) if ($i ~ /^bytes_per_second=/) {
      v = substr($i, 18); unit = substr(v, length(v) - 2); v = v + 0; if (unit == "M/s") v /= 1024; print name[2], v } }'
}
printf '\nscan core on report-like data in cache (GB/s, median of %d)\n' "$runs"
if [ -n "$base" ]; then
  # Alternately, so that the machine's drift falls on both alike.
  for round in 1 2 3; do
    scan_core "$worktree/build/bench/scan_benchmark" | sed 's/^/base /'
    scan_core build/bench/bench/scan_benchmark | sed 's/^/this /'
  done | sort -k1,1 -k2,2 -k3,3n | awk '{ key = $1 " " $2; n[key]++; v[key, n[key]] = $3 }
    END { for (k in n) printf "%s %s\n", k, v[k, int((n[k] + 1) / 2)] }' | sort >"$worktree/scan"
  awk '{ printf "  %-4s %-6s %6.2f GB/s\n", $1, $2, $3 }' "$worktree/scan"
  awk '$1 == "base" && $2 == "avx2" { b = $3 } $1 == "this" { t[$2] = $3 }
    END { if (b > 0) for (k in t) if (k == "avx2" || k == "avx512") printf "  %s: this / base avx2 %.2fx\n", k, t[k] / b }' \
    "$worktree/scan"
else
  scan_core build/bench/bench/scan_benchmark | awk '{ printf "  %-6s %6.2f GB/s\n", $1, $2 }'
fi
