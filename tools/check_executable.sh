#!/usr/bin/env bash
# Checks that a built program is what ships: a Windows GUI program, 32-bit x86
# (PE32) or x86-64 (PE32+), whichever it is, with a WinMain entry point that
# Windows 7 SP1 (of its width) loads and runs, importing only
# DLLs that Windows itself ships and, from them, only functions that Windows 7
# SP1 exports (tools/windows7_imports.txt), and carrying no debug information
# (that lives in the .debug file its debug link names, beside it).
#
#   check_executable.sh PROGRAM.exe [IMPORT_LIST]
set -euo pipefail
export LC_ALL=C
exe=$1
list=${2:-$(dirname "${BASH_SOURCE[0]}")/windows7_imports.txt}
# The x86-64 tools read both kinds of image; the kind decides what is checked.
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
nm=${NM:-x86_64-w64-mingw32-nm}
allowed='^(kernel32|advapi32|bcrypt|shell32|ole32|oleaut32|user32|psapi|wininet|version|msvcrt|ws2_32|shlwapi|dbghelp|ntdll)\.dll$'

fail() { echo "FAIL: $*"; exit 1; }
[ -f "$list" ] || fail "no import list $list"
headers=$("$objdump" -p "$exe")
file_header=$("$objdump" -f "$exe")
if grep -q '^Magic[[:space:]]*010b' <<<"$headers"; then
  image_kind=PE32 architecture='i386' entry=' T _WinMain@16$'
elif grep -q '^Magic[[:space:]]*020b' <<<"$headers"; then
  image_kind=PE32+ architecture='i386:x86-64' entry=' T WinMain$'
else
  fail "neither a PE32 nor a PE32+ image"
fi
grep -q "architecture: $architecture," <<<"$file_header" || fail "a $image_kind image without $architecture code"
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
grep -Eq "$entry" <<<"$symbols" || fail "no WinMain entry point"

# Windows refuses to load an image that asks for a newer system than itself:
# Windows 7 is version 6.1.
version_of() { awk -v key="$1" '$1 == key { print $2; exit }' <<<"$headers"; }
for kind in OSystem Subsystem; do
  major=$(version_of "Major${kind}Version")
  minor=$(version_of "Minor${kind}Version")
  [ -n "$major" ] && [ -n "$minor" ] || fail "no ${kind} version in the headers"
  if [ "$major" -gt 6 ] || { [ "$major" -eq 6 ] && [ "$minor" -gt 1 ]; }; then
    fail "needs ${kind} version $major.$minor, newer than Windows 7 (6.1)"
  fi
done

# The imports as "dll!Function", read from the import tables that objdump
# prints: a "DLL Name:" line, then one line per function (vma, hint, name),
# or "<none>" for a function imported by ordinal.
imports=$(awk '
  /^[[:space:]]*DLL Name:/ { dll = tolower($3); next }
  /^$/ { dll = "" }
  dll != "" && /^\t[0-9a-f]+\t/ {
    name = $3
    if (name == "" || name == "<none>") name = "#ordinal"
    print dll "!" name
  }' <<<"$headers" | sort -u)
[ -n "$imports" ] || fail "no imported functions found"

bad=0
while read -r dll; do
  if ! grep -Eiq "$allowed" <<<"$dll"; then echo "FAIL: imports $dll"; bad=1; fi
done < <(grep 'DLL Name:' <<<"$headers" | awk '{print $3}')

# A 64-bit program may also import what the x86-64 runtime needs.
lists=("$list")
if [ "$image_kind" = PE32+ ]; then
  lists+=("$(dirname "${BASH_SOURCE[0]}")/windows7_imports_x64.txt")
fi
known=$(sed -e 's/#.*//' -e 's/[[:space:]]//g' -e '/^$/d' "${lists[@]}" | sort -u)
missing=$(comm -23 <(echo "$imports") <(echo "$known"))
if [ -n "$missing" ]; then
  while read -r entry; do
    echo "FAIL: imports $entry, which is not in $(basename "$list") (Windows 7 SP1 may lack it)"
  done <<<"$missing"
  bad=1
fi
[ "$bad" = 0 ] || exit 1
count=$(wc -l <<<"$imports")
echo "ok: $(basename "$exe") is a self-contained $image_kind GUI program for Windows 7 and later;" \
  "its $count imported functions are all in $(basename "$list")"
