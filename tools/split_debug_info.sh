#!/usr/bin/env bash
# Moves a linked PE program's debug information into PROGRAM.debug beside it
# and leaves the program stripped, with a debug link naming that file.
#
#   split_debug_info.sh OBJCOPY PROGRAM
#
# Both files keep the program's link time stamp: objcopy would otherwise
# stamp each with the time it ran, and a symbolizer matches a crashed
# module's time stamp against the debug file's.
set -euo pipefail
objcopy=$1
program=$2
cd "$(dirname "$program")"
name=$(basename "$program")

header=$(od -An -tu4 -j60 -N4 "$name" | tr -d ' ')
stamp=$(od -An -tu4 -j$((header + 8)) -N4 "$name" | tr -d ' ')
[ -n "$stamp" ] || { echo "split_debug_info: $name is no PE program" >&2; exit 1; }
export SOURCE_DATE_EPOCH=$stamp
"$objcopy" --only-keep-debug "$name" "$name.debug"
"$objcopy" --strip-debug --add-gnu-debuglink="$name.debug" "$name"
