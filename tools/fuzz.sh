#!/usr/bin/env bash
# Fuzzes a parser on the host for SECONDS (default 60): TARGET "module" (the
# default) is the module file parser, "budget-state" the crash budget's
# state file parser, whose corpus starts from a state file of each form,
# "stack-walk" the crash signature's stack walk.
#
#   bash tools/fuzz.sh [SECONDS] [module|budget-state|stack-walk]
#
# Installs what is missing (tools/setup.sh brings clang and its sanitizer and
# libFuzzer runtimes), builds into BUILD_DIR/fuzz (default build/fuzz), apart
# from the MinGW build: the parser's unit tests and the fuzz target, both with
# AddressSanitizer and UndefinedBehaviorSanitizer, every finding fatal. Runs
# the unit tests, then the fuzzer on a corpus that starts, for the module
# parser, from the made files of the tests (PE32 and PE32+), Wine's own DLLs
# of both widths and the programs of both builds. Exits non-zero on
# any finding: a crash, a leak, a sanitizer report, a time-out or running out
# of memory. Findings are kept in BUILD_DIR/fuzz/findings, each run's output in
# BUILD_DIR/fuzz/<fuzzer>.log.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${BUILD_DIR:-$here/build}
seconds=${1:-60}
case "$seconds" in '' | *[!0-9]*) echo "fuzz: SECONDS must be a number" >&2; exit 2 ;; esac
target=${2:-module}
case "$target" in
  module | budget-state | stack-walk) ;;
  *) echo "fuzz: TARGET is module, budget-state or stack-walk" >&2; exit 2 ;;
esac

bash "$here/tools/setup.sh" >/dev/null

out=$build_dir/fuzz
src=$here/desktop/windows/crash_reporter/crash_data
gtest=/usr/src/googletest/googletest
mkdir -p "$out/obj" "$out/corpus" "$out/findings"
cxx=(clang++ -std=c++17 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -Werror -I"$here")
sanitizers=(-fsanitize=address,undefined -fno-sanitize-recover=all)

# GoogleTest once per build folder; the rest is small enough to build each time.
if [ ! -f "$out/obj/gtest.a" ]; then
  echo "fuzz: building GoogleTest for the host"
  "${cxx[@]}" -w "${sanitizers[@]}" -I"$gtest/include" -I"$gtest" -c "$gtest/src/gtest-all.cc" \
    -o "$out/obj/gtest-all.o"
  "${cxx[@]}" -w "${sanitizers[@]}" -I"$gtest/include" -c "$gtest/src/gtest_main.cc" \
    -o "$out/obj/gtest_main.o"
  ar rcs "$out/obj/gtest.a" "$out/obj/gtest-all.o" "$out/obj/gtest_main.o"
fi

# Runs FUZZER for the seconds given on its corpus and the seed folders after
# it; fails on any finding.
run_fuzzer() {
  local fuzzer=$1 corpus=$2
  local log
  log=$out/$(basename "$fuzzer").log
  shift 2
  mkdir -p "$corpus"
  echo "fuzz: fuzzing for $seconds seconds"
  cd "$out"
  set +e
  "$fuzzer" -max_total_time="$seconds" -max_len=131072 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/findings/" "$corpus" "$@" 2>"$log"
  status=$?
  set -e
  grep -E '^(stat::|INFO: (Loaded|seed corpus)|#[0-9]+ *DONE)' "$log" || true
  if [ "$status" != 0 ] || grep -q -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' \
    "$log"; then
    tail -n 60 "$log" >&2
    echo "fuzz: FINDING (exit status $status); inputs in $out/findings" >&2
    exit 1
  fi
  echo "fuzz: no findings"
}

if [ "$target" = budget-state ]; then
  lifecycle=$here/desktop/windows/crash_reporter/lifecycle
  echo "fuzz: building the budget state parser's host tests and fuzz target"
  "${cxx[@]}" "${sanitizers[@]}" -isystem "$gtest/include" "$lifecycle/crash_budget_state.cc" \
    "$lifecycle/crash_budget_state_test.cc" "$out/obj/gtest.a" -pthread \
    -o "$out/crash_budget_state_host_tests"
  "${cxx[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    "$lifecycle/crash_budget_state.cc" "$lifecycle/crash_budget_state_fuzzer.cc" \
    -o "$out/crash_budget_state_fuzzer"
  echo "fuzz: running the budget state parser's host tests"
  "$out/crash_budget_state_host_tests" --gtest_brief=1
  seeds=$out/budget_state_seeds
  rm -rf "$seeds"
  mkdir -p "$seeds"
  printf 'tavra-crash-budget 1\n' >"$seeds/empty"
  printf 'tavra-crash-budget 1\n1700000000 0123456789ab 00000e1000000001 1\n%s\n' \
    '18446744073709551615 ffffffffffff ffffffffffffffff 4294967295' >"$seeds/records"
  run_fuzzer "$out/crash_budget_state_fuzzer" "$out/budget_state_corpus" "$seeds"
  exit 0
fi

if [ "$target" = stack-walk ]; then
  logs=$here/desktop/windows/crash_reporter/logs
  echo "fuzz: building the stack walk's host tests and fuzz target"
  # The signature's sources, with the runtime's portable UTF-8 rule.
  walk_sources=("$logs/stack_walk.cc" "$logs/crash_signature.cc" "$here/runtime/json_string_repair.cc")
  "${cxx[@]}" "${sanitizers[@]}" -isystem "$gtest/include" "${walk_sources[@]}" \
    "$logs/stack_walk_test.cc" "$logs/crash_signature_test.cc" "$out/obj/gtest.a" -pthread \
    -o "$out/stack_walk_host_tests"
  "${cxx[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all "${walk_sources[@]}" \
    "$logs/stack_walk_fuzzer.cc" -o "$out/stack_walk_fuzzer"
  echo "fuzz: running the stack walk's host tests"
  "$out/stack_walk_host_tests" --gtest_brief=1
  run_fuzzer "$out/stack_walk_fuzzer" "$out/stack_walk_corpus"
  exit 0
fi

echo "fuzz: building the parser's host tests and fuzz target"
"${cxx[@]}" "${sanitizers[@]}" -isystem "$gtest/include" "$src/pe_image.cc" \
  "$src/pe_image_test.cc" "$out/obj/gtest.a" -pthread -o "$out/pe_image_host_tests"
"${cxx[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all "$src/pe_image.cc" \
  "$src/pe_image_fuzzer.cc" -o "$out/pe_image_fuzzer"
"${cxx[@]}" "$src/pe_image_seed_writer.cc" -o "$out/pe_image_seed_writer"

echo "fuzz: running the parser's host tests"
"$out/pe_image_host_tests" --gtest_brief=1

# Seeds: the made files, then real modules. Links, not copies: the fuzzer
# only reads them, and cuts each to the input size limit.
seeds=$out/seeds
rm -rf "$seeds"
mkdir -p "$seeds/made" "$seeds/real"
"$out/pe_image_seed_writer" "$seeds/made"
# PE32 and PE32+ files alike: the 32-bit and the 64-bit system DLLs and
# programs of both widths.
for dir in /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/x86_64-linux-gnu/wine/x86_64-windows \
  "$build_dir/bin" "$build_dir/x64/bin"; do
  [ -d "$dir" ] || continue
  tag=$(basename "$dir")
  for f in "$dir"/*.dll "$dir"/*.exe; do
    [ -f "$f" ] && ln -sf "$f" "$seeds/real/$tag-$(basename "$f")"
  done
done
echo "fuzz: $(ls "$seeds/made" | wc -l) made and $(ls "$seeds/real" | wc -l) real seeds"

run_fuzzer "$out/pe_image_fuzzer" "$out/corpus" "$seeds/made" "$seeds/real"
