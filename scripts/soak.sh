#!/usr/bin/env bash
# Builds and runs the soak program on the embedded runtime (not part of the
# test suite): a million dispatches by default, with connects and
# disconnects mixed in; prints throughput and resident memory.
# Usage: scripts/soak.sh [dispatches] [threads] [dispatches-per-connection]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
"$root/scripts/build.sh" "$build" > /dev/null
"$build/tests/halvora_soak" "$@"
