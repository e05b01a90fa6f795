#!/usr/bin/env bash
# Sets up what is missing, builds the library, the embedded local runtime and
# the example application, and runs the example.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"

"$root/scripts/build.sh" "$build"
"$build/examples/channels_example"
