#!/usr/bin/env bash
# Runs exit_race_probe.exe under Wine RUNS times in each mode (default 200)
# and counts how the process ended: cleanly, by SIGSEGV, hung (killed after
# 5 s) or otherwise. Builds first, like the other scripts. Each run is held
# to one processor, as on a machine busy with other work (a test run with
# -j2 on two cores): a new thread then waits its turn, and its start-up
# lasts longer.
#
#   bash testing/exit_race_probe/run_exit_race_probe.sh [RUNS] [THREADS] [return|terminate]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
export BUILD_DIR=$build_dir
runs=${1:-200}
threads=${2:-16}
end=${3:-return}

bash "$here/tools/build.sh" >/dev/null
source "$here/tools/wine_session.sh"
probe="$build_dir/bin/exit_race_probe.exe"

for mode in waiting starting settled allocating; do
  clean=0 segv=0 hung=0 other=0
  for ((run = 0; run < runs; run++)); do
    status=0
    taskset -c 0 timeout -s KILL 5 wine "$probe" "$mode" "$threads" "$end" </dev/null >/dev/null 2>&1 ||
      status=$?
    case $status in
      0) clean=$((clean + 1)) ;;
      139) segv=$((segv + 1)) ;;
      137) hung=$((hung + 1)) ;;
      *) other=$((other + 1)) ;;
    esac
  done
  printf '%-10s %d runs (%d threads, %s): %d clean, %d SIGSEGV, %d hung, %d other\n' \
    "$mode" "$runs" "$threads" "$end" "$clean" "$segv" "$hung" "$other"
done
