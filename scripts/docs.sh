#!/usr/bin/env bash
# Builds the API reference from the public headers with Doxygen; any warning
# (an undocumented public class or operation, a broken reference) fails it.
# Usage: scripts/docs.sh [output-dir]   (default: build/docs)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
output="${1:-$root/build/docs}"

if ! command -v doxygen > /dev/null; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q doxygen
fi
mkdir -p "$output"
cd "$root/docs"
HALVORA_DOCS_OUTPUT="$output" doxygen Doxyfile
echo "API reference: $output/html/index.html"
