#!/usr/bin/env bash
# Sets up what is missing, builds the library and runs the example on the
# embedded local runtime (or, until the example exists, the package check).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"

"$root/scripts/build.sh" "$build"
if [ -x "$build/examples/channels_example" ]; then
  "$build/examples/channels_example"
else
  prefix="$(mktemp -d)"
  trap 'rm -rf "$prefix"' EXIT
  cmake --install "$build" --prefix "$prefix" > /dev/null
  cmake -S "$root/tests/consumer" -B "$prefix/consumer-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > /dev/null
  cmake --build "$prefix/consumer-build" > /dev/null
  "$prefix/consumer-build/consumer"
fi
