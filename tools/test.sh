#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both widths, and runs
# every test program under Wine through CTest, first the 32-bit build (in a
# 32-bit Wine prefix), then the 64-bit build (in a 64-bit one). TAVRA_WIDTHS
# ("x86 x64" by default) chooses the widths; extra arguments go to ctest.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
export BUILD_DIR=$build_dir
widths=${TAVRA_WIDTHS:-x86 x64}

bash "$here/tools/build.sh"
status=0
for width in $widths; do
  dir=$build_dir
  [ "$width" = x64 ] && dir=$build_dir/x64
  echo "test: the $width build ($dir)"
  # Each width has its own prefix and wineserver, started and ended here.
  (
    build_dir=$dir
    unset WINEPREFIX WINEARCH
    source "$here/tools/wine_session.sh"
    cd "$dir"
    ctest -j "$(nproc)" --output-on-failure "$@"
  ) || status=$?
done
exit "$status"
