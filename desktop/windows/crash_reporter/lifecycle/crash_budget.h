// The crash-storm budget: how many crashes the reporter reports within a
// day, in all and per crash signature, so that a process that crashes in a
// loop cannot flood the crash server or the user's line even when the
// server does not throttle.
//
// Start-up owns the budget for the server's life and gives it the limits
// (reporter_settings.h), the state file's path in the crash directory and a
// clock. The crash pipeline asks it once per crash, after the crash log is
// written and before the first request: an admitted crash is recorded and
// goes on to be reported; one over the budget keeps its crash log as a
// declined report does (only when logs are kept) and sends nothing.
//
// A crash counts against the records of the last kCrashBudgetWindowSeconds:
// at most `perSignature` of its short hash and `perDay` in all (0 turns a
// limit off; with both off the budget admits every crash and never touches
// its file). Records from more than kCrashBudgetFutureToleranceSeconds
// ahead of the clock (it was set back) are dropped.
//
// The records outlive the reporter (the browser starts a new one after a
// crash) in the state file (crash_budget_state.h). Each decision reads,
// decides and rewrites the file while holding it open exclusively; another
// reporter that holds it is waited for, in short sleeps, for at most the
// file wait given. A missing file is created new, private to the user. The
// budget also keeps the records that it admitted itself: when the file can
// be read, a decision counts the file's records and those (each record once,
// by its name); when the file cannot be opened in time, or is damaged
// (then it is written afresh), its own records decide alone. The file never
// keeps a crash from being reported.
//
// Threads: built and destroyed on the main thread; `admit` runs on the
// crash pipeline's worker threads, several at once: `lock_` guards the
// records, the sequence, the notes told and every use of the file (the one
// lock; the file's own exclusive opening orders reporters between them).
// The budget logs nothing itself: `admit` runs inside a crash's log capture,
// so its decision carries what the reporter log is to be told, for
// logCrashBudgetDecision once the capture has ended.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_BUDGET_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_BUDGET_H_

#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/lifecycle/crash_budget_state.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_report_log.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_lock.h"

namespace tavra {

extern const wchar_t kCrashBudgetFileName[];  // "tavra-crash-budget.txt"

constexpr uint64_t kCrashBudgetWindowSeconds = 24 * 60 * 60;
constexpr uint64_t kCrashBudgetFutureToleranceSeconds = 60;
// How long a decision waits for another reporter that holds the state file.
constexpr DWORD kCrashBudgetFileWaitMs = 1000;

struct CrashBudgetLimits {
  uint32_t perSignature = 3;  // 0: no limit
  uint32_t perDay = 30;       // 0: no limit
};

// The time in seconds since 1970-01-01 UTC.
using CrashBudgetClock = uint64_t (*)();
uint64_t currentUnixTime();

enum class CrashBudgetVerdict {
  kAdmitted,
  kOverSignature,  // `perSignature` crashes of this signature in the window
  kOverDay,        // `perDay` crashes in the window
};

// What the reporter log is told about the state file, once each time it
// happens (a file that stays unusable is told of once, until it works again).
enum class CrashBudgetFileNote {
  kNone,
  kDamaged,     // found damaged and written afresh
  kUnreadable,  // could not be opened or read: `error`
  kNotSaved,    // could not be written: `error`
};

struct CrashBudgetDecision {
  CrashBudgetVerdict verdict = CrashBudgetVerdict::kAdmitted;
  uint32_t limit = 0;  // the limit that was reached, when over it
  CrashBudgetFileNote note = CrashBudgetFileNote::kNone;
  DWORD error = 0;

  bool admitted() const { return verdict == CrashBudgetVerdict::kAdmitted; }
};

class CrashBudget {
 public:
  CrashBudget(const CrashBudgetLimits& limits, const std::wstring& statePath,
              CrashBudgetClock clock = &currentUnixTime, DWORD fileWaitMs = kCrashBudgetFileWaitMs);
  CrashBudget(const CrashBudget&) = delete;
  CrashBudget& operator=(const CrashBudget&) = delete;

  // Decides on a crash of `shortHash` now, and records it when admitted.
  // Crashes whose hash is not 12 lower-case hex digits (no signature) count
  // together as one signature of their own. After the file was held by
  // another past the wait, it is left alone for a while (the in-memory
  // records decide), so that each crash does not wait for it again.
  CrashBudgetDecision admit(const std::string& shortHash);
  CrashBudgetDecision admit(const std::string& shortHash, uint64_t now);

  const std::wstring& statePath() const { return statePath_; }

 private:
  enum class FileRead { kRead, kDamaged, kUnusable };

  // Opens the state file exclusively, creating it when missing, within the
  // file wait. False with the error when it cannot.
  bool openFile(ScopedHandle* file, DWORD* error) const;
  FileRead readFile(HANDLE file, std::vector<CrashBudgetRecord>* records, DWORD* error) const;
  // Keeps the records within the window, the newest kCrashBudgetMaxRecords.
  void keepCurrent(std::vector<CrashBudgetRecord>* records, uint64_t now) const;
  CrashBudgetDecision decide(const std::vector<CrashBudgetRecord>& records,
                             const std::string& shortHash) const;
  // The note for this decision's file outcome, once per occurrence.
  void noteFile(CrashBudgetFileNote what, DWORD error, CrashBudgetDecision* decision);

  const CrashBudgetLimits limits_;
  const std::wstring statePath_;
  const CrashBudgetClock clock_;
  const DWORD fileWaitMs_;
  const uint64_t origin_;

  SrwLock lock_;
  std::vector<CrashBudgetRecord> ownRecords_;  // guarded by lock_
  uint32_t lastSequence_ = 0;                  // guarded by lock_
  // The last note told, so that one that lasts is told once; by lock_.
  CrashBudgetFileNote lastNote_ = CrashBudgetFileNote::kNone;
  // Until this tick count the file is left alone; by lock_.
  ULONGLONG fileBusyUntil_ = 0;
};

// The reporter log's line for a crash over the budget, e.g. "Crash 4 of
// process 120: not reported: over the crash budget (3 of signature
// 0123456789ab in 24 hours)"; and for the file's note, when there is one.
std::string describeCrashBudgetVerdict(const CrashIdentity& crash, const std::string& shortHash,
                                       const CrashBudgetDecision& decision);
std::string describeCrashBudgetFileNote(const std::wstring& statePath,
                                        const CrashBudgetDecision& decision);

// Logs the file's note (WARNING) and, over the budget, the crash's line
// (INFO, as a report that the server declined). Outside any log capture.
void logCrashBudgetDecision(const CrashIdentity& crash, const std::string& shortHash,
                            const std::wstring& statePath, const CrashBudgetDecision& decision);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_BUDGET_H_
