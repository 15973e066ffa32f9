#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the whole road of
# a crash report. A local crash server starts on a free port of 127.0.0.1
# (reports under build/demo/crash_reports/); the stand-in browser starts the
# reporter pointed at it, and one of its browser processes crashes for real.
# The demo shows the crash-feedback line, that the reporter ended after the
# browser, the report as the server received it, and its page on the server
# with its summary and signature (screenshots of the pages stay in
# build/demo/); last the server stops. With --x64 first, the whole road is
# that of a 64-bit browser: the 64-bit stand-in browser, its 64-bit reporter
# and clients, in a 64-bit Wine prefix (under build/x64/). Other arguments go
# to the stand-in browser.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
export BUILD_DIR=$build_dir
width=x86
if [ "${1:-}" = --x64 ]; then
  width=x64
  shift
fi
programs=$build_dir
[ "$width" = x64 ] && programs=$build_dir/x64
TAVRA_WIDTHS=$width bash "$here/tools/build.sh" >/dev/null

demo_dir=$programs/demo
storage=$demo_dir/crash_reports
mkdir -p "$demo_dir"
# The demo crashes the same way each run: in its own folder it starts with a
# fresh crash budget, so that the fourth run of a day is still reported.
if [ -z "${TAVRA_CRASH_LOG_DIR:-}" ]; then rm -f "$demo_dir/tavra-crash-budget.txt"; fi
server_out=$demo_dir/crash_server.out
server_log=$demo_dir/crash_server.log

# Made before the server starts: the background job opens it only once it
# runs, and the first look for the server's address may come before that.
: >"$server_out"
"$here/tools/crash_server" --host 127.0.0.1 --port 0 --storage "$storage" --symbols "$programs/bin" \
  >"$server_out" 2>"$server_log" &
server_pid=$!
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap stop_server EXIT

url=
for _ in $(seq 300); do
  url=$(sed -n 's|^crash server listening on \(http://127\.0\.0\.1:[0-9]*/\).*|\1|p' "$server_out")
  [ -n "$url" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$url" ]; then
  echo "demo: the local crash server did not start:" >&2
  cat "$server_log" >&2
  exit 1
fi
echo "demo: local crash server listening on $url (reports under $storage)"
echo "demo: a $([ "$width" = x64 ] && echo 64 || echo 32)-bit browser ($programs/bin)"

status=0
(
  build_dir=$programs
  unset WINEPREFIX WINEARCH
  source "$here/tools/wine_session.sh"
  TAVRA_CRASH_SERVER_URL=$url wine "$programs/bin/stand_in_browser.exe" --demo "$@"
) || status=$?

# The reporter has ended, and with it every upload: what the server stored.
PYTHONPATH="$here/report_tools${PYTHONPATH:+:$PYTHONPATH}" PYTHONDONTWRITEBYTECODE=1 \
  /usr/bin/python3 -m crash_server.received_reports "$server_out"

# Each report's page, summary and signature, and screenshots of the pages,
# while the server still runs.
bash "$here/testing/report_pages/show_report_pages.sh" "$url" "$storage" "$demo_dir" \
  "$programs/bin" || true

stop_server
echo "demo: local crash server stopped"
exit "$status"
