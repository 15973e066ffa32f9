#!/usr/bin/env bash
# Tests tools/check_executable.sh: the shipped reporter passes; a program that
# imports functions of Windows 8 and later fails, naming each of them; and the
# reporter fails against a list that lacks one of its imports.
#
#   check_executable_test.sh REPORTER.exe PROBE.exe
set -uo pipefail
export LC_ALL=C
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
reporter=$1
probe=$2
failures=0
check() {  # description, expected exit code, expected output pattern, arguments...
  local description=$1 expected=$2 pattern=$3
  shift 3
  local output code
  output=$(bash "$here/check_executable.sh" "$@" 2>&1)
  code=$?
  if [ "$code" != "$expected" ] || ! grep -Eq -- "$pattern" <<<"$output"; then
    echo "FAILED: $description (exit $code, expected $expected)"
    echo "$output" | sed 's/^/  | /'
    failures=$((failures + 1))
  else
    echo "passed: $description"
  fi
}

check "the reporter passes" 0 '^ok: .*all in windows7_imports.txt' "$reporter"
for function in GetSystemTimePreciseAsFileTime CreateFile2 SetThreadDescription; do
  check "the probe fails for $function" 1 "^FAIL: imports kernel32.dll!$function, " "$probe"
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
grep -v '^kernel32.dll!CancelIoEx$' "$here/windows7_imports.txt" >"$scratch/list.txt"
check "a list without CancelIoEx fails the reporter" 1 \
  '^FAIL: imports kernel32.dll!CancelIoEx, ' "$reporter" "$scratch/list.txt"
# Names are matched whole and with their case.
sed -e 's/^kernel32.dll!CancelIoEx$/kernel32.dll!cancelioex/' "$here/windows7_imports.txt" \
  >"$scratch/case.txt"
check "names keep their case" 1 '^FAIL: imports kernel32.dll!CancelIoEx, ' "$reporter" \
  "$scratch/case.txt"
check "a missing list fails" 1 '^FAIL: no import list' "$reporter" "$scratch/none.txt"

[ "$failures" = 0 ] || { echo "$failures check(s) failed"; exit 1; }
