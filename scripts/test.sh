#!/usr/bin/env bash
# Sets up what is missing, builds everything, runs every test, then installs
# to a temporary prefix and builds the example against it, through the CMake
# package and through pkg-config.
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
# The example, built on its own against the installed CMake package...
cmake -S "$root/examples" -B "$prefix/examples-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
cmake --build "$prefix/examples-build" > /dev/null
"$prefix/examples-build/channels_example" > "$prefix/example.log"
grep -q "disconnected; done" "$prefix/example.log"
# ...and through pkg-config.
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
pkg-config --exists halvora_adapter_api
# shellcheck disable=SC2046
c++ -o "$prefix/pkg-config-example" "$root/examples/channels_example.cpp" \
  $(pkg-config --cflags --libs halvora_adapter_api) -Wl,-rpath,"$prefix/lib"
echo "Package check passed"
