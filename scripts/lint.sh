#!/usr/bin/env bash
# Checks formatting (.clang-format) and static analysis (.clang-tidy) over the
# whole tree; any difference or finding fails. `scripts/lint.sh --fix` formats
# the files in place instead of checking them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
if ! command -v clang-format > /dev/null || ! command -v run-clang-tidy-14 > /dev/null; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q clang-format clang-tidy
fi
mapfile -t sources < <(git ls-files '*.cpp' '*.h')

if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${sources[@]}"
  exit 0
fi

echo "== clang-format"
clang-format --dry-run --Werror "${sources[@]}"

echo "== clang-tidy"
build="$root/build-lint"
"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DHALVORA_BUILD_BENCHMARKS=OFF > /dev/null
# Generated sources (none yet) and headers come with the translation units.
run-clang-tidy-14 -p "$build" -quiet -j "$(nproc)" "$root/(src|adapter)/" > "$build/clang-tidy.log" 2>&1 || {
  grep -E "(warning|error):" "$build/clang-tidy.log" | sort -u
  exit 1
}
echo "lint passed"
