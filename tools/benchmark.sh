#!/usr/bin/env bash
# Installs what is missing, builds, then prints the figures of the three
# benchmarks (the README says what each figure means). Each runs beside a
# local crash server of its own on 127.0.0.1, as the test programs do, so
# that the reporter's first requests and uploads take their real road:
# - stage_benchmark: where the time of one crash goes, stage by stage, each
#   beside its floor;
# - crash_benchmark: the client's blocked time for one crash handled by the
#   reporter beside its floor, the first request alone, 16 clients crashing
#   at once beside their floors, and the reporter's peak memory;
# - pipe_benchmark: registration round trips beside a bare pipe, dump
#   latency, and the reporter's handles, threads and memory when idle, after
#   a thousand clients and a thousand more, and after a soak of 200 crashes;
# - storm_benchmark.py: a storm of 200 crashes of one site, and the bytes it
#   sends to the crash server with no protection, with the reporter's crash
#   budget and with the server's throttle rule (each with a local crash
#   server of its own, in the benchmark's process).
# With --x64 first, the same figures follow for the 64-bit reporter (its
# clients and floors 64-bit too, in a 64-bit Wine prefix), in the same run.
# Other arguments go to the pipe benchmark (e.g. --soak=1000).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
export BUILD_DIR=$build_dir
widths=x86
if [ "${1:-}" = --x64 ]; then
  widths="x86 x64"
  shift
fi

TAVRA_WIDTHS=$widths bash "$here/tools/build.sh" >/dev/null
for width in $widths; do
  programs=$build_dir
  [ "$width" = x64 ] && programs=$build_dir/x64
  echo "=== the $width reporter ($programs/bin)"
  (
    build_dir=$programs
    unset WINEPREFIX WINEARCH
    source "$here/tools/wine_session.sh"
    beside_server() {
      local program=$1
      shift
      bash "$here/testing/crash_server_session/with_crash_server.sh" "$programs/wine-run" \
        "$programs/bin/$program" "$@"
    }
    beside_server stage_benchmark.exe
    echo
    beside_server crash_benchmark.exe
    echo
    beside_server pipe_benchmark.exe "$@"
    echo
    TAVRA_BUILD_DIR=$programs PYTHONDONTWRITEBYTECODE=1 \
      /usr/bin/python3 "$here/testing/storm_benchmark/storm_benchmark.py"
  )
  echo
done
