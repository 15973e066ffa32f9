// The crash budget's state file as text: what it holds and its strict
// parser and writer. Portable (no system calls), so that the parser also
// builds for the host and runs under the sanitizers and a fuzzer.
//
// The file, all lines ended by LF:
//
//   tavra-crash-budget 1
//   <time> <short hash> <origin> <sequence>
//   ...
//
// one line per admitted crash: the time in seconds since 1970-01-01 UTC
// (decimal), the crash signature's short hash (12 lower-case hex digits),
// the budget that admitted it (16 lower-case hex digits, one value per
// reporter run) and its number within that budget (decimal, from 1). Origin
// and sequence name a record, so that a reporter that meets its own records
// in the file does not count them twice. Decimal numbers have no sign and no
// leading zeros. An empty text holds no records (a file created but never
// written). Anything else (another header, a line out of form, a name given
// twice, more than kCrashBudgetMaxRecords records or a text longer than
// kCrashBudgetMaxStateSize bytes) is damage: the whole text is refused.
//
// Threads: any; nothing is shared.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_BUDGET_STATE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_BUDGET_STATE_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavra {

// The records kept, at most: beyond them the oldest go. Also the largest
// limit that the budget accepts, so that a limit can always be reached.
constexpr size_t kCrashBudgetMaxRecords = 1024;
// The longest text read: kCrashBudgetMaxRecords records of the longest form
// (62 bytes) and the header fit.
constexpr size_t kCrashBudgetMaxStateSize = 64 * 1024;

extern const char kCrashBudgetHeader[];  // "tavra-crash-budget 1"

struct CrashBudgetRecord {
  uint64_t time = 0;      // seconds since 1970-01-01 UTC
  std::string shortHash;  // 12 lower-case hex digits
  uint64_t origin = 0;    // the budget that admitted the crash
  uint32_t sequence = 0;  // its number within that budget, from 1
};

// The name of each record, (origin, sequence), which tells one crash from
// another, sorted.
std::vector<std::pair<uint64_t, uint32_t>> sortedCrashBudgetNames(
    const std::vector<CrashBudgetRecord>& records);

// Whether `text` is 12 lower-case hex digits.
bool isCrashBudgetShortHash(std::string_view text);

// Fills `records` (emptied first) from `text`; false, with `records` empty,
// when the text is damaged in any way.
bool parseCrashBudgetState(std::string_view text, std::vector<CrashBudgetRecord>* records);

// The text of `records`, in their order. Each record must be in form (a
// short hash as above, a sequence from 1), and there must be at most
// kCrashBudgetMaxRecords: the result then parses back to them.
std::string formatCrashBudgetState(const std::vector<CrashBudgetRecord>& records);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_BUDGET_STATE_H_
