// Feeds arbitrary bytes to the crash budget's state parser, as a damaged or
// planted state file might hold them: the parse reads nothing outside the
// bytes, refuses what is out of bounds, and what it takes is the one form
// that the writer writes, byte for byte (the format has one spelling of
// each record), so that nothing is read that the writer could not have
// written.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <string_view>
#include <vector>

#include "desktop/windows/crash_reporter/lifecycle/crash_budget_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so that the sanitizers see any read
  // past the end.
  const std::vector<char> bytes(data, data + size);
  const std::string_view text(bytes.data(), bytes.size());
  std::vector<tavra::CrashBudgetRecord> records;
  if (!tavra::parseCrashBudgetState(text, &records)) {
    if (!records.empty()) abort();
    return 0;
  }
  if (records.size() > tavra::kCrashBudgetMaxRecords || size > tavra::kCrashBudgetMaxStateSize) {
    abort();
  }
  for (const tavra::CrashBudgetRecord& record : records) {
    if (!tavra::isCrashBudgetShortHash(record.shortHash) || record.sequence == 0) abort();
  }
  if (size != 0 && tavra::formatCrashBudgetState(records) != text) abort();
  return 0;
}
