#!/usr/bin/env bash
# Installs the build and test dependencies that are missing; does nothing when
# everything is there. Runs as root or through sudo.
set -euo pipefail

packages=(cmake ninja-build g++ clang pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
  libmsgpack-cxx-dev nlohmann-json3-dev libasio-dev libclang-rt-14-dev libsystemd-dev)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
