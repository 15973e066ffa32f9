#!/usr/bin/env bash
# Installs what is missing, builds, and runs one of the build's Windows
# programs under Wine: tools/run_program.sh PROGRAM.exe [ARGUMENTS...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
export BUILD_DIR=$build_dir

program=$1
shift
bash "$here/tools/build.sh" >/dev/null
source "$here/tools/wine_session.sh"
wine "$build_dir/bin/$program" "$@"
