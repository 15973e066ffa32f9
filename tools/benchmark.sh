#!/usr/bin/env bash
# Builds, then prints the pipe server's figures: registration round trips
# through the reporter against a bare pipe, dump request latency, and the
# reporter's resources before and after a thousand clients.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
export BUILD_DIR=$build_dir

bash "$here/tools/build.sh" >/dev/null
source "$here/tools/wine_session.sh"
wine "$build_dir/bin/pipe_benchmark.exe" "$@"
