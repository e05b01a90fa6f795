#!/usr/bin/env bash
# Builds and runs the soak program on the embedded runtime (not part of the
# test suite): a million dispatches by default, with connects and
# disconnects mixed in; prints throughput and resident memory.
# Usage: scripts/soak.sh [dispatches] [threads] [dispatches-per-connection]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORA_WARNINGS_AS_ERRORS=ON \
  -DHALVORA_BUILD_BENCHMARKS=ON > /dev/null
cmake --build "$build" --target halvora_soak -j "$(nproc)" > /dev/null
"$build/bench/halvora_soak" "$@"
