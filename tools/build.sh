#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything.
# BUILD_DIR (default: build) chooses the build folder.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}

bash "$here/tools/setup.sh"

if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build_dir" -G "Unix Makefiles" \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-i686-mingw.cmake" \
    -DTAVRA_THIRD_PARTY_DIR="$here/build/third_party" >/dev/null
fi
cmake --build "$build_dir" -j "$(nproc)" -- --no-print-directory
