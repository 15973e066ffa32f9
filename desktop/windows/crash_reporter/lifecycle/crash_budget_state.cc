#include "desktop/windows/crash_reporter/lifecycle/crash_budget_state.h"

#include <algorithm>
#include <utility>

namespace tavra {

const char kCrashBudgetHeader[] = "tavra-crash-budget 1";

namespace {

constexpr size_t kShortHashLength = 12;
constexpr size_t kOriginLength = 16;
constexpr char kHexDigits[] = "0123456789abcdef";

bool isLowerHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

uint32_t hexValue(char c) {
  return c <= '9' ? static_cast<uint32_t>(c - '0') : static_cast<uint32_t>(c - 'a' + 10);
}

// Takes the text up to the next `separator` off the front of `*text`, with
// the separator; false when there is none.
bool takeField(std::string_view* text, char separator, std::string_view* field) {
  const size_t end = text->find(separator);
  if (end == std::string_view::npos) return false;
  *field = text->substr(0, end);
  text->remove_prefix(end + 1);
  return true;
}

// A decimal number without sign or leading zeros, at most `max`.
bool parseDecimal(std::string_view text, uint64_t max, uint64_t* value) {
  if (text.empty() || (text[0] == '0' && text.size() > 1)) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (result > (max - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

bool parseOrigin(std::string_view text, uint64_t* value) {
  if (text.size() != kOriginLength) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (!isLowerHex(c)) return false;
    result = (result << 4) | hexValue(c);
  }
  *value = result;
  return true;
}

// One record line, without its LF.
bool parseRecord(std::string_view line, CrashBudgetRecord* record) {
  std::string_view time, hash, origin;
  if (!takeField(&line, ' ', &time) || !takeField(&line, ' ', &hash) ||
      !takeField(&line, ' ', &origin)) {
    return false;
  }
  uint64_t sequence = 0;
  if (!parseDecimal(time, UINT64_MAX, &record->time) || !isCrashBudgetShortHash(hash) ||
      !parseOrigin(origin, &record->origin) || !parseDecimal(line, UINT32_MAX, &sequence) ||
      sequence == 0) {
    return false;
  }
  record->shortHash.assign(hash.data(), hash.size());
  record->sequence = static_cast<uint32_t>(sequence);
  return true;
}

bool namesRepeat(const std::vector<CrashBudgetRecord>& records) {
  const std::vector<std::pair<uint64_t, uint32_t>> names = sortedCrashBudgetNames(records);
  return std::adjacent_find(names.begin(), names.end()) != names.end();
}

}  // namespace

std::vector<std::pair<uint64_t, uint32_t>> sortedCrashBudgetNames(
    const std::vector<CrashBudgetRecord>& records) {
  std::vector<std::pair<uint64_t, uint32_t>> names;
  names.reserve(records.size());
  for (const CrashBudgetRecord& record : records)
    names.emplace_back(record.origin, record.sequence);
  std::sort(names.begin(), names.end());
  return names;
}

bool isCrashBudgetShortHash(std::string_view text) {
  return text.size() == kShortHashLength && std::all_of(text.begin(), text.end(), isLowerHex);
}

bool parseCrashBudgetState(std::string_view text, std::vector<CrashBudgetRecord>* records) {
  records->clear();
  if (text.empty()) return true;
  if (text.size() > kCrashBudgetMaxStateSize) return false;
  std::string_view header;
  if (!takeField(&text, '\n', &header) || header != kCrashBudgetHeader) return false;
  while (!text.empty()) {
    std::string_view line;
    CrashBudgetRecord record;
    if (records->size() == kCrashBudgetMaxRecords || !takeField(&text, '\n', &line) ||
        !parseRecord(line, &record)) {
      records->clear();
      return false;
    }
    records->push_back(std::move(record));
  }
  if (namesRepeat(*records)) {
    records->clear();
    return false;
  }
  return true;
}

std::string formatCrashBudgetState(const std::vector<CrashBudgetRecord>& records) {
  std::string text = std::string(kCrashBudgetHeader) + "\n";
  for (const CrashBudgetRecord& record : records) {
    char origin[kOriginLength];
    for (size_t i = 0; i < kOriginLength; ++i) {
      origin[i] = kHexDigits[(record.origin >> (4 * (kOriginLength - 1 - i))) & 0xF];
    }
    text += std::to_string(record.time) + " " + record.shortHash + " " +
            std::string(origin, kOriginLength) + " " + std::to_string(record.sequence) + "\n";
  }
  return text;
}

}  // namespace tavra
