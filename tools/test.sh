#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs every test
# program under Wine through CTest. Extra arguments go to ctest.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
export BUILD_DIR=$build_dir

bash "$here/tools/build.sh"
source "$here/tools/wine_session.sh"
cd "$build_dir"
ctest -j "$(nproc)" --output-on-failure "$@"
