#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a bounded
# time from the seed corpora in tests/fuzz/corpus; fails on any finding.
# Findings are written to out/fuzz/; new corpus entries stay in a temporary
# directory unless FUZZ_KEEP_CORPUS=1, which adds them to out/fuzz/corpus/.
# Usage: scripts/fuzz.sh [seconds-per-target] [target...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
build="$root/build-fuzz"
findings="$root/out/fuzz"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_library fuzz_adapter_requests fuzz_frames)
fi

"$root/scripts/setup.sh"
CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVORA_WARNINGS_AS_ERRORS=ON \
  -DHALVORA_BUILD_FUZZERS=ON -DHALVORA_SANITIZE=address,undefined -DHALVORA_BUILD_TESTS=OFF \
  -DHALVORA_BUILD_EXAMPLES=OFF -DHALVORA_BUILD_ADAPTER_TESTS=OFF > /dev/null
cmake --build "$build" --target fuzzers -j "$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$findings"
dictionary_for() {
  case "$1" in
    fuzz_adapter_requests) echo "$root/tests/fuzz/requests.dict" ;;
    fuzz_frames) echo "" ;;
    *) echo "$root/tests/fuzz/events.dict" ;;
  esac
}

failed=0
total=0
for target in "${targets[@]}"; do
  corpus="$work/$target"
  mkdir -p "$corpus"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix="$findings/$target-")
  dict="$(dictionary_for "$target")"
  [ -n "$dict" ] && args+=(-dict="$dict")
  log="$work/$target.log"
  status=0
  "$build/tests/fuzz/$target" "${args[@]}" "$corpus" "$root/tests/fuzz/corpus/$target" > "$log" 2>&1 || status=$?
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  runs="${runs:-0}"
  total=$((total + runs))
  if [ "$status" -ne 0 ]; then
    failed=1
    echo "== $target: FINDING (exit $status) after $runs executions"
    grep -E '^(==[0-9]+==|SUMMARY|.*runtime error|artifact_prefix|Test unit written)' "$log" | head -n 20 || tail -n 30 "$log"
  else
    echo "== $target: $runs executions in ${seconds}s, no finding"
  fi
  if [ "${FUZZ_KEEP_CORPUS:-0}" = 1 ]; then
    mkdir -p "$findings/corpus/$target"
    cp -n "$corpus"/* "$findings/corpus/$target/" 2>/dev/null || true
  fi
done
echo "== total: $total executions"
exit "$failed"
