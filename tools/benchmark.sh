#!/usr/bin/env bash
# Installs what is missing, builds, then prints the figures of the benchmarks:
# the pipe server's (registration round trips through the reporter against a
# bare pipe, dump request latency, and the reporter's resources before and
# after a thousand clients; extra arguments go to this one), the snapshot
# capture's (time of one capture of a client with 64 threads and about 100
# modules beside the floor of the same system calls, and memory), and the
# whole crash's (the client's blocked time for a crash of such a client
# handled by the reporter beside its floor, the crash log's size, and the
# reporter's peak memory).
set -euo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
bash "$here/run_program.sh" pipe_benchmark.exe "$@"
echo
bash "$here/run_program.sh" stage_benchmark.exe
echo
exec bash "$here/run_program.sh" crash_benchmark.exe
