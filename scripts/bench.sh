#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench/), runs them with repetitions
# and prints each median beside its floor, measured in the same run. The
# repetitions of all benchmarks are interleaved at random, so that a floor and
# the figure judged against it are sampled over the same stretch of time.
# Usage: scripts/bench.sh [--quick] [build-dir]
#   --quick  one repetition and short runs: a smoke run, not figures.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
repetitions=7
min_time=0.2
if [ "${1:-}" = "--quick" ]; then
  repetitions=1
  min_time=0.01
  shift
fi
build="${1:-$root/build-bench}"

"$root/scripts/setup.sh"
if ! command -v python3 > /dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends python3
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVORA_BUILD_BENCHMARKS=ON > /dev/null
cmake --build "$build" --target halvora_bench_double halvora_bench_embedded halvora_bench_remote -j "$(nproc)"

results="$(mktemp -d)"
trap 'rm -rf "$results"' EXIT
for bench in double embedded; do
  # The connect banner of every runtime goes to standard error.
  "$build/bench/halvora_bench_$bench" --benchmark_repetitions="$repetitions" \
    --benchmark_min_time="$min_time" --benchmark_display_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    --benchmark_format=json --benchmark_out="$results/$bench.json" --benchmark_out_format=json \
    > /dev/null 2> "$results/$bench.err" || { cat "$results/$bench.err" >&2; exit 1; }
done

model="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
python3 "$root/scripts/bench_table.py" "$results/double.json" "$results/embedded.json" "${model:-unknown CPU}" \
  "$repetitions"

# Two processes: the round trip through the runtime service beside the raw
# socket floor, interleaved rounds of its own.
echo
"$build/bench/halvora_bench_remote" "$repetitions" 2> /dev/null
