#!/usr/bin/env bash
# The main job: installs what is missing, builds, and lets the stand-in
# browser start the reporter and tell what happened.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
export BUILD_DIR=$build_dir

bash "$here/tools/build.sh" >/dev/null
source "$here/tools/wine_session.sh"
wine "$build_dir/bin/stand_in_browser.exe" --demo "$@"
