#!/usr/bin/env bash
# Sets up what is missing, builds everything, runs every test, then installs
# to a temporary prefix and builds a separate consumer project against it.
# Usage: scripts/test.sh [build-dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"

"$root/scripts/build.sh" "$build"

ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300

echo "== Package check"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" > /dev/null
readelf -d "$prefix/lib/libhalvora_adapter_api.so" | grep -q 'NEEDED.*\[libhalvora_adapter_x64.so\]'
readelf -d "$prefix/lib/libhalvora_adapter_api.so" | grep -q 'RUNPATH'
cmake -S "$root/tests/consumer" -B "$prefix/consumer-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$prefix/consumer-build" > /dev/null
"$prefix/consumer-build/consumer"
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --exists halvora_adapter_api
echo "Package check passed"
