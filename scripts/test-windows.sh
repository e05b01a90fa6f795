#!/usr/bin/env bash
# Cross-builds the library, the embedded adapter and the tests as 64-bit
# Windows binaries with mingw-w64 and runs the tests under wine.
# Usage: scripts/test-windows.sh [build-dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-windows}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
triple=x86_64-w64-mingw32
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))

echo "== Packages"
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix wine64 wine googletest libmsgpack-cxx-dev
  nlohmann-json3-dev)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The header-only dependencies are staged in a folder of their own: putting
# the build machine's /usr/include on the cross compiler's path would mix
# its C library headers in.
echo "== Dependencies"
deps="$build/deps"
mkdir -p "$deps/include" "$deps/share/cmake/nlohmann_json"
ln -sfn /usr/include/msgpack.hpp "$deps/include/msgpack.hpp"
ln -sfn /usr/include/msgpack "$deps/include/msgpack"
ln -sfn /usr/include/nlohmann "$deps/include/nlohmann"
# Copied, not linked: the package files find the headers relative to themselves.
cp /usr/share/cmake/nlohmann_json/*.cmake "$deps/share/cmake/nlohmann_json/"
if [ ! -f "$deps/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/googletest-build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" > /dev/null
  cmake --build "$build/googletest-build" -j "$jobs" > /dev/null
  cmake --install "$build/googletest-build" > /dev/null
fi

# Every Windows program of the build runs through this, also when ctest is
# run by hand: its own wine prefix, and the compiler's runtime DLLs on the
# search path. The DLLs of the project lie next to the executables.
runner="$build/wine-run"
gcc_runtime="$(dirname "$("$triple-g++-posix" -print-libgcc-file-name)")"
cat > "$runner" <<RUNNER
#!/bin/sh
export WINEPREFIX="$build/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPATH="Z:$gcc_runtime;Z:/usr/$triple/lib"
exec wine "\$@"
RUNNER
chmod +x "$runner"
if [ ! -f "$build/wine-prefix/system.reg" ]; then
  echo "== Wine prefix"
  WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i > /dev/null 2>&1 || true
fi

echo "== Build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DHALVORA_WARNINGS_AS_ERRORS=ON -DCMAKE_CROSSCOMPILING_EMULATOR="$runner" \
  -DMSGPACK_INCLUDE_DIR="$deps/include" -Dnlohmann_json_DIR="$deps/share/cmake/nlohmann_json" \
  -DGTest_DIR="$deps/lib/cmake/GTest" > /dev/null
cmake --build "$build" -j "$jobs"

echo "== Tests under wine"
ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 300
