#!/usr/bin/env bash
# The long soak: installs what is missing, builds, and runs the soak test with
# 500 crashes in a row (or COUNT), each from a new browser process, against a
# local crash server; prints the reporter's handles, threads and memory after
# start-up, after the first crashes and after the soak. The suite runs the
# same test with 100 crashes.
#
#   bash tools/soak.sh [COUNT]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export TAVRA_SOAK_CRASHES=${1:-500}
exec bash "$here/tools/test.sh" -L soak -V
