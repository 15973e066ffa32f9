#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything, once for
# 32-bit browsers in BUILD_DIR (default: build) and once for 64-bit browsers
# in BUILD_DIR/x64, from the same sources. TAVRA_WIDTHS chooses which
# ("x86 x64", the default, or either alone).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
widths=${TAVRA_WIDTHS:-x86 x64}

bash "$here/tools/setup.sh"

for width in $widths; do
  case "$width" in
    x86) dir=$build_dir toolchain=toolchain-i686-mingw.cmake ;;
    x64) dir=$build_dir/x64 toolchain=toolchain-x86_64-mingw.cmake ;;
    *) echo "build: unknown width $width (x86 or x64)" >&2; exit 2 ;;
  esac
  if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$dir" -G "Unix Makefiles" \
      -DCMAKE_TOOLCHAIN_FILE="$here/cmake/$toolchain" \
      -DTAVRA_THIRD_PARTY_DIR="$here/build/third_party" >/dev/null
  fi
  cmake --build "$dir" -j "$(nproc)" -- --no-print-directory
done
