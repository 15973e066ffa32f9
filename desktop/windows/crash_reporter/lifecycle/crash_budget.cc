#include "desktop/windows/crash_reporter/lifecycle/crash_budget.h"

#include <algorithm>
#include <atomic>
#include <tuple>
#include <utility>

#include "runtime/logging.h"
#include "runtime/private_security.h"
#include "runtime/utf_conversion.h"

namespace tavra {

const wchar_t kCrashBudgetFileName[] = L"tavra-crash-budget.txt";

namespace {

// 1601-01-01 to 1970-01-01 in 100 ns units.
constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ull;
constexpr uint64_t kFileTimeUnitsPerSecond = 10000000ull;
// Between two tries at a state file that another reporter holds.
constexpr DWORD kFileRetryMs = 5;
// After the file was held past the wait, crashes leave it alone this long,
// so that a file that someone holds costs one crash the wait, not each.
constexpr ULONGLONG kFileBackoffMs = 30000;
// Crashes without a signature (no hash could be made) count together, as one
// signature of their own.
const char kNoSignatureKey[] = "000000000000";

// A value of its own for each budget: the process id above, and below the
// time of its making (in units of 6.6 ms) plus a count of the budgets made
// in this process, so that neither a budget made later in this process nor
// a later reporter that has this process's id takes it again.
uint64_t makeOrigin() {
  static std::atomic<uint32_t> budgetsMade{0};
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t time = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const uint32_t low = static_cast<uint32_t>(time >> 16) + ++budgetsMade;
  return (static_cast<uint64_t>(GetCurrentProcessId()) << 32) | low;
}

bool olderFirst(const CrashBudgetRecord& a, const CrashBudgetRecord& b) {
  return std::tie(a.time, a.origin, a.sequence) < std::tie(b.time, b.origin, b.sequence);
}

bool writeAll(HANDLE file, const std::string& text, DWORD* error) {
  LARGE_INTEGER start = {};
  size_t done = 0;
  bool ok = SetFilePointerEx(file, start, nullptr, FILE_BEGIN) != FALSE;
  while (ok && done < text.size()) {
    DWORD written = 0;
    ok = WriteFile(file, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                   nullptr) &&
         written > 0;
    done += written;
  }
  ok = ok && SetEndOfFile(file);
  if (!ok) *error = GetLastError();
  return ok;
}

}  // namespace

uint64_t currentUnixTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t time = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return time > kUnixEpochInFileTime ? (time - kUnixEpochInFileTime) / kFileTimeUnitsPerSecond : 0;
}

CrashBudget::CrashBudget(const CrashBudgetLimits& limits, const std::wstring& statePath,
                         CrashBudgetClock clock, DWORD fileWaitMs)
    : limits_(limits),
      statePath_(statePath),
      clock_(clock),
      fileWaitMs_(fileWaitMs),
      origin_(makeOrigin()) {}

CrashBudgetDecision CrashBudget::admit(const std::string& shortHash) {
  return admit(shortHash, clock_());
}

CrashBudgetDecision CrashBudget::admit(const std::string& shortHash, uint64_t now) {
  // With both limits off there is nothing to count: the crash path neither
  // waits for the file nor leaves one.
  if (limits_.perSignature == 0 && limits_.perDay == 0) return CrashBudgetDecision();
  ScopedSrwLock hold(&lock_);
  CrashBudgetFileNote note = CrashBudgetFileNote::kNone;
  DWORD error = 0;
  std::vector<CrashBudgetRecord> records;
  ScopedHandle file;
  const ULONGLONG tick = GetTickCount64();
  if (tick < fileBusyUntil_) {
    note = CrashBudgetFileNote::kUnreadable;
    error = ERROR_SHARING_VIOLATION;
  } else if (!openFile(&file, &error)) {
    note = CrashBudgetFileNote::kUnreadable;
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
      fileBusyUntil_ = GetTickCount64() + kFileBackoffMs;
    }
  } else {
    switch (readFile(file.get(), &records, &error)) {
      case FileRead::kRead:
        break;
      case FileRead::kDamaged:
        note = CrashBudgetFileNote::kDamaged;
        break;
      case FileRead::kUnusable:
        note = CrashBudgetFileNote::kUnreadable;
        file.reset();
        break;
    }
  }

  // The file holds this budget's records unless another reporter's trimming
  // or damage lost them: add those that it lacks, by name.
  const std::vector<std::pair<uint64_t, uint32_t>> names = sortedCrashBudgetNames(records);
  for (const CrashBudgetRecord& own : ownRecords_) {
    if (!std::binary_search(names.begin(), names.end(), std::make_pair(own.origin, own.sequence))) {
      records.push_back(own);
    }
  }
  keepCurrent(&records, now);

  const std::string key = isCrashBudgetShortHash(shortHash) ? shortHash : kNoSignatureKey;
  CrashBudgetDecision decision = decide(records, key);
  if (decision.admitted()) {
    CrashBudgetRecord record;
    record.time = now;
    record.shortHash = key;
    record.origin = origin_;
    record.sequence = ++lastSequence_;
    records.push_back(record);
    ownRecords_.push_back(std::move(record));
    keepCurrent(&records, now);
  }
  keepCurrent(&ownRecords_, now);

  // Also when nothing was admitted: the file loses its old records and its
  // damage, and gains this budget's records that it lacked.
  if (file.isValid() && !writeAll(file.get(), formatCrashBudgetState(records), &error)) {
    note = CrashBudgetFileNote::kNotSaved;
  }
  noteFile(note, error, &decision);
  return decision;
}

bool CrashBudget::openFile(ScopedHandle* file, DWORD* error) const {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    // No sharing: the whole read, decision and write is this reporter's.
    file->reset(CreateFileW(statePath_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file->isValid()) return true;
    *error = GetLastError();
    if (*error == ERROR_FILE_NOT_FOUND) {
      if (createPrivateFile(statePath_, GENERIC_READ | GENERIC_WRITE, file)) return true;
      *error = GetLastError();
      // Another reporter made it in between: open that one.
      if (*error != ERROR_FILE_EXISTS) return false;
      Sleep(kFileRetryMs);
    } else if (*error != ERROR_SHARING_VIOLATION && *error != ERROR_LOCK_VIOLATION) {
      return false;
    } else {
      if (GetTickCount64() - start >= fileWaitMs_) return false;
      Sleep(kFileRetryMs);
    }
    if (GetTickCount64() - start >= fileWaitMs_) return false;
  }
}

CrashBudget::FileRead CrashBudget::readFile(HANDLE file, std::vector<CrashBudgetRecord>* records,
                                            DWORD* error) const {
  // One byte past the bound tells a file that is too long.
  std::string text(kCrashBudgetMaxStateSize + 1, '\0');
  size_t done = 0;
  while (done < text.size()) {
    DWORD read = 0;
    if (!ReadFile(file, &text[done], static_cast<DWORD>(text.size() - done), &read, nullptr)) {
      *error = GetLastError();
      return FileRead::kUnusable;
    }
    if (read == 0) break;
    done += read;
  }
  text.resize(done);
  return parseCrashBudgetState(text, records) ? FileRead::kRead : FileRead::kDamaged;
}

void CrashBudget::keepCurrent(std::vector<CrashBudgetRecord>* records, uint64_t now) const {
  records->erase(std::remove_if(records->begin(), records->end(),
                                [now](const CrashBudgetRecord& record) {
                                  const bool old = now >= kCrashBudgetWindowSeconds &&
                                                   record.time <= now - kCrashBudgetWindowSeconds;
                                  return old ||
                                         record.time > now + kCrashBudgetFutureToleranceSeconds;
                                }),
                 records->end());
  std::sort(records->begin(), records->end(), olderFirst);
  if (records->size() > kCrashBudgetMaxRecords) {
    records->erase(records->begin(), records->end() - kCrashBudgetMaxRecords);
  }
}

CrashBudgetDecision CrashBudget::decide(const std::vector<CrashBudgetRecord>& records,
                                        const std::string& shortHash) const {
  CrashBudgetDecision decision;
  const size_t ofSignature = std::count_if(
      records.begin(), records.end(),
      [&shortHash](const CrashBudgetRecord& record) { return record.shortHash == shortHash; });
  if (limits_.perSignature != 0 && ofSignature >= limits_.perSignature) {
    decision.verdict = CrashBudgetVerdict::kOverSignature;
    decision.limit = limits_.perSignature;
  } else if (limits_.perDay != 0 && records.size() >= limits_.perDay) {
    decision.verdict = CrashBudgetVerdict::kOverDay;
    decision.limit = limits_.perDay;
  }
  return decision;
}

void CrashBudget::noteFile(CrashBudgetFileNote what, DWORD error, CrashBudgetDecision* decision) {
  // Damage is repaired as it is found, so each finding is news; a file that
  // stays unusable is told of once.
  const bool told = what == lastNote_ && what != CrashBudgetFileNote::kDamaged;
  lastNote_ = what;
  if (told) return;
  decision->note = what;
  decision->error = what == CrashBudgetFileNote::kDamaged ? 0 : error;
}

std::string describeCrashBudgetVerdict(const CrashIdentity& crash, const std::string& shortHash,
                                       const CrashBudgetDecision& decision) {
  std::string text = "Crash " + std::to_string(crash.number) + " of process " +
                     std::to_string(crash.clientProcessId) +
                     ": not reported: over the crash budget (";
  const bool hasSignature = isCrashBudgetShortHash(shortHash);
  const std::string hours = std::to_string(kCrashBudgetWindowSeconds / 3600) + " hours";
  if (decision.verdict == CrashBudgetVerdict::kOverSignature) {
    return text + std::to_string(decision.limit) +
           (hasSignature ? " of signature " + shortHash : std::string(" without a signature")) +
           " in " + hours + ")";
  }
  return text + std::to_string(decision.limit) + " crashes in " + hours + "; " +
         (hasSignature ? "signature " + shortHash : std::string("no signature")) + ")";
}

std::string describeCrashBudgetFileNote(const std::wstring& statePath,
                                        const CrashBudgetDecision& decision) {
  const std::string text = "The crash budget's state file " + wideToUtf8(statePath);
  const std::string error = " (error " + std::to_string(decision.error) + ")";
  switch (decision.note) {
    case CrashBudgetFileNote::kNone:
      break;
    case CrashBudgetFileNote::kDamaged:
      return text + " was damaged: it starts afresh, and this reporter's own crashes still count";
    case CrashBudgetFileNote::kUnreadable:
      return text + " could not be read" + error +
             ": until it can, only this reporter's own crashes count";
    case CrashBudgetFileNote::kNotSaved:
      return text + " could not be written" + error + ": this reporter's own crashes still count";
  }
  return std::string();
}

void logCrashBudgetDecision(const CrashIdentity& crash, const std::string& shortHash,
                            const std::wstring& statePath, const CrashBudgetDecision& decision) {
  if (decision.note != CrashBudgetFileNote::kNone) {
    TAVRA_LOG(WARNING) << describeCrashBudgetFileNote(statePath, decision);
  }
  if (!decision.admitted()) {
    TAVRA_LOG(INFO) << describeCrashBudgetVerdict(crash, shortHash, decision);
  }
}

}  // namespace tavra
