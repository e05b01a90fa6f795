#!/usr/bin/env bash
# Builds the Debian packages (library, development files, adapter) with CPack
# from the install rules, and lists what each one holds.
# Usage: scripts/package.sh [build-dir]   (packages land in <build-dir>/packages)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-package}"

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DHALVORA_BUILD_TESTS=OFF -DHALVORA_BUILD_EXAMPLES=OFF -DHALVORA_BUILD_BENCHMARKS=OFF
cmake --build "$build" -j "$(nproc)"
(cd "$build" && cpack -B "$build/packages")
for deb in "$build"/packages/*.deb; do
  echo "== $(basename "$deb")"
  dpkg-deb --field "$deb" Package Version Depends
  dpkg-deb --contents "$deb" | awk '{print "   " $6 $7 $8}'
done
