#!/usr/bin/env bash
# The end of the demo: points at the pages of the reports that the local
# crash server stored, prints each report's summary and signature, and keeps
# a screenshot of the report list, of each report's page and of each
# signature's page (headless Chromium) in OUT_DIR. The server must still be running.
#
#   show_report_pages.sh SERVER_URL STORAGE_DIR OUT_DIR [SYMBOLS_DIR]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
url=$1
storage=$2
out_dir=$3
symbols=${4:-}

symbol_args=()
if [ -n "$symbols" ]; then symbol_args=(--symbols "$symbols"); fi

screenshot() {
  local file=$1 page=$2 profile
  if ! command -v chromium >/dev/null; then
    echo "demo: no screenshot of $page: chromium is not installed (tools/setup.sh installs it)"
    return 0
  fi
  profile=$(mktemp -d)
  if timeout 90 chromium --headless --no-sandbox --disable-gpu --disable-background-networking \
      --disable-component-update --disable-sync --no-first-run --user-data-dir="$profile" \
      --window-size=1280,1000 --screenshot="$file" "$page" >/dev/null 2>&1 && [ -s "$file" ]; then
    echo "demo: screenshot of $page in $file"
  else
    echo "demo: the screenshot of $page could not be taken"
  fi
  rm -rf "$profile"
}

mapfile -t reports < <(find "$storage" -mindepth 1 -maxdepth 1 -type d -regextype posix-extended \
  -regex '.*/[0-9a-f]{16}' -printf '%T@ %f\n' 2>/dev/null | sort -n | awk '{print $2}')
if [ "${#reports[@]}" = 0 ]; then
  echo "demo: the crash server stored no report, so there is no report page to show"
  exit 0
fi

echo "demo: the reports, grouped by crash signature: $url"
screenshot "$out_dir/report_list.png" "$url"
for id in "${reports[@]}"; do
  page="${url}reports/$id"
  echo
  echo "demo: report $id: $page"
  "$here/tools/crashlog" summary "${symbol_args[@]}" "$storage/$id/crashlog.txt" | sed 's/^/  /'
  signature=$("$here/tools/crashlog" signature "$storage/$id/crashlog.txt" || true)
  echo "  signature and its hash: $signature"
  screenshot "$out_dir/report_$id.png" "$page"
  hash=$(sed -n 's/.*\[\([0-9a-f]\{12\}\)\]$/\1/p' <<<"$signature")
  if [ -n "$hash" ] && [ ! -e "$out_dir/signature_$hash.png" ]; then
    echo "  its signature's history: ${url}signatures/$hash"
    screenshot "$out_dir/signature_$hash.png" "${url}signatures/$hash"
  fi
done
echo
echo "demo: to read these reports in a browser later, run" \
  "tools/crash_server --storage $storage${symbols:+ --symbols $symbols}" \
  "and open http://127.0.0.1:8080/"
