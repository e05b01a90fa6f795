#!/usr/bin/env bash
# Sets up what is missing and builds the library and the embedded adapter.
# Usage: scripts/build.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORA_WARNINGS_AS_ERRORS=ON "$@"
cmake --build "$build" -j "$(nproc)"
