#!/usr/bin/env bash
# Builds and runs the test suite under a sanitizer.
# Usage: scripts/test-sanitizers.sh [address|thread]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
kind="${1:-address}"
case "$kind" in
  address) sanitize="address,undefined" ;;
  thread) sanitize="thread" ;;
  *) echo "usage: $0 [address|thread]" >&2; exit 2 ;;
esac
build="$root/build-$kind"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHALVORA_WARNINGS_AS_ERRORS=ON \
  -DHALVORA_SANITIZE="$sanitize" -DHALVORA_BUILD_EXAMPLES=OFF
cmake --build "$build" -j "$(nproc)"
if [ "$kind" = thread ]; then
  export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp ${TSAN_OPTIONS:-}"
fi
# Under a sanitizer every process runs several times slower, and the
# multi-process tests keep the service's real time limits: a case that a
# slow run pushed past one gets one more try.
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300 --repeat until-pass:2
