#!/usr/bin/env bash
# Checks that a built program is what ships: a 32-bit x86 Windows GUI program
# with a WinMain entry point, importing only DLLs that Windows itself ships.
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
symbols=$("$nm" "$exe")
grep -Eq ' T _WinMain@16$' <<<"$symbols" || fail "no WinMain entry point"
bad=0
while read -r dll; do
  if ! grep -Eiq "$allowed" <<<"$dll"; then echo "FAIL: imports $dll"; bad=1; fi
done < <(grep 'DLL Name:' <<<"$headers" | awk '{print $3}')
[ "$bad" = 0 ] || exit 1
echo "ok: $(basename "$exe") is a self-contained PE32 GUI program importing only system DLLs"
