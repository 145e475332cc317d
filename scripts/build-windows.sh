#!/usr/bin/env bash
# Cross-builds the Windows program and its tests with MinGW-w64 into
# build/windows, installing with apt-get what is missing (needs root on a
# Debian machine). With --test, then runs the Windows tests through Wine in a
# fresh private prefix (build/windows/wineprefix).
#   scripts/build-windows.sh [--test] [cmake --build arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."

run_tests=""
if [ "${1:-}" = "--test" ]; then
  run_tests=yes
  shift
fi

# Only what the Windows build needs beyond the Linux packages of deps.sh.
packages=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  libgtest-dev nlohmann-json3-dev firebird-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

jobs=${DC_JOBS:-2}
werror=OFF
[ "${CI:-}" = "true" ] && werror=ON
# DC_WINDOWS_DEBUG_INFO=0 builds without debug information (-g0): a quarter
# less build time on two cores, for a build that is only tested.
debug_flags=-g
[ "${DC_WINDOWS_DEBUG_INFO:-1}" = "0" ] && debug_flags=-g0
cmake -S . -B build/windows -G Ninja -DCMAKE_BUILD_TYPE=${DC_WINDOWS_BUILD_TYPE:-Debug} \
  -DCMAKE_CXX_FLAGS_DEBUG=$debug_flags \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake -DDC_WARNINGS_AS_ERRORS=$werror >/dev/null
cmake --build build/windows -j "$jobs" "$@"

if [ -n "$run_tests" ]; then
  # A fresh prefix for every run: nothing a previous run left in Wine's
  # registry or service manager is seen.
  export WINEPREFIX=$(pwd)/build/windows/wineprefix
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
  fi
  (cd build/windows && ctest --output-on-failure --timeout 300)
  wineserver -k 2>/dev/null || true
fi
