#!/usr/bin/env bash
# Checks that a built program is what ships: a 32-bit x86 Windows GUI program
# with a WinMain entry point, importing only DLLs that Windows itself ships,
# carrying no debug information (that lives in the .debug file its debug link
# names, beside it).
set -euo pipefail
exe=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}
allowed='^(kernel32|advapi32|shell32|ole32|oleaut32|user32|psapi|wininet|version|msvcrt|ws2_32|shlwapi|dbghelp|ntdll)\.dll$'

fail() { echo "FAIL: $*"; exit 1; }
headers=$("$objdump" -p "$exe")
grep -q '^Magic[[:space:]]*010b' <<<"$headers" || fail "not a PE32 image"
file_header=$("$objdump" -f "$exe")
grep -q 'architecture: i386' <<<"$file_header" || fail "not Intel 386 code"
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not the GUI subsystem"
sections=$("$objdump" -h "$exe")
if grep -q ' \.debug_' <<<"$sections"; then fail "carries debug information"; fi
if grep -q ' \.gnu_debuglink' <<<"$sections"; then
  [ -f "$exe.debug" ] || fail "its debug link names $(basename "$exe").debug, which is missing"
  grep -q ' \.debug_info' <<<"$("$objdump" -h "$exe.debug")" ||
    fail "$(basename "$exe").debug holds no debug information"
  [ "$(grep '^Time/Date' <<<"$headers")" = "$("$objdump" -p "$exe.debug" | grep '^Time/Date')" ] ||
    fail "$(basename "$exe").debug has another time stamp than the program"
fi
symbols=$("$nm" "$exe")
grep -Eq ' T _WinMain@16$' <<<"$symbols" || fail "no WinMain entry point"
bad=0
while read -r dll; do
  if ! grep -Eiq "$allowed" <<<"$dll"; then echo "FAIL: imports $dll"; bad=1; fi
done < <(grep 'DLL Name:' <<<"$headers" | awk '{print $3}')
[ "$bad" = 0 ] || exit 1
echo "ok: $(basename "$exe") is a self-contained PE32 GUI program importing only system DLLs"
