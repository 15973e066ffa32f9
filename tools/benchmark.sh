#!/usr/bin/env bash
# Installs what is missing, builds, then prints the pipe server's figures:
# registration round trips through the reporter against a bare pipe, dump
# request latency, and the reporter's resources before and after a thousand
# clients.
exec bash "$(dirname "${BASH_SOURCE[0]}")/run_program.sh" pipe_benchmark.exe "$@"
