#!/usr/bin/env bash
# Runs one test program under Wine beside a local crash server of its own.
#
#   with_crash_server.sh WINE_RUN PROGRAM.exe [ARGUMENTS...]
#
# The server (tools/crash_server, or TAVRA_CRASH_SERVER_COMMAND) listens on
# 127.0.0.1 on a free port and stores its reports, with each upload's whole
# body, in a temporary folder that goes away with it. The program finds them
# in the environment:
#   TAVRA_TEST_CRASH_SERVER_URL      http://127.0.0.1:PORT/
#   TAVRA_TEST_CRASH_SERVER_STORAGE  the report folder, as a Windows path
#   TAVRA_TEST_CRASH_SERVER_OUTPUT   the file of the server's standard output
#                                    (one line per stored report), likewise
# Each run has its own server, so a test may change the server's modes freely.
# Listing the tests (--gtest_list_tests) needs no server.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
wine_run=$1
shift

for argument in "$@"; do
  if [ "$argument" = --gtest_list_tests ]; then exec "$wine_run" "$@"; fi
done

server_command=${TAVRA_CRASH_SERVER_COMMAND:-$here/tools/crash_server}
if [ ! -x "$server_command" ]; then
  echo "with_crash_server: $server_command is missing" >&2
  exit 1
fi

session=$(mktemp -d "${TMPDIR:-/tmp}/tavra-crash-server.XXXXXX")
server_pid=
finish() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$session"
}
trap finish EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# The output file exists before the server starts, so that reading it cannot
# fail while the background shell has not opened it yet.
: >"$session/server.out"
"$server_command" --host 127.0.0.1 --port 0 --storage "$session/reports" --keep-body \
  >"$session/server.out" 2>"$session/server.err" &
server_pid=$!

url=
for _ in $(seq 300); do
  url=$(sed -n 's|^crash server listening on \(http://127\.0\.0\.1:[0-9]*/\).*|\1|p' \
    "$session/server.out")
  [ -n "$url" ] && break
  if ! kill -0 "$server_pid" 2>/dev/null; then break; fi
  sleep 0.05
done
if [ -z "$url" ]; then
  echo "with_crash_server: the crash server did not start:" >&2
  cat "$session/server.err" >&2
  exit 1
fi

export TAVRA_TEST_CRASH_SERVER_URL=$url
export TAVRA_TEST_CRASH_SERVER_STORAGE="Z:${session//\//\\}\\reports"
export TAVRA_TEST_CRASH_SERVER_OUTPUT="Z:${session//\//\\}\\server.out"
status=0
"$wine_run" "$@" || status=$?
# What the server logged helps to read a failure.
if [ "$status" != 0 ]; then
  echo "--- crash server log" >&2
  tail -n 40 "$session/server.err" >&2
fi
exit "$status"
