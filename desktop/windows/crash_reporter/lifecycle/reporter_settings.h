// The reporter's configuration: environment, consent and crash server.
//
// Start-up owns the settings and runs the steps below once, on the main
// thread, before the pipe server starts; then it gives them to the crash
// pipeline, whose threads only read them.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_REPORTER_SETTINGS_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_REPORTER_SETTINGS_H_

#include <stdint.h>

#include <string>

#include "desktop/windows/crash_reporter/lifecycle/crash_budget.h"

namespace tavra {

extern const wchar_t kCrashLogDirVariable[];         // "TAVRA_CRASH_LOG_DIR"
extern const wchar_t kKeepLogsVariable[];            // "TAVRA_CRASH_KEEP_LOGS"
extern const wchar_t kServerUrlVariable[];           // "TAVRA_CRASH_SERVER_URL"
extern const wchar_t kEmailVariable[];               // "TAVRA_CRASH_EMAIL"
extern const wchar_t kBudgetPerSignatureVariable[];  // "TAVRA_CRASH_BUDGET_PER_SIGNATURE"
extern const wchar_t kBudgetPerDayVariable[];        // "TAVRA_CRASH_BUDGET_PER_DAY"
extern const wchar_t kDefaultCrashServerUrl[];
extern const wchar_t kCrashFeedbackFileName[];  // "crash_feedback_url.txt"

struct ReporterSettings {
  std::wstring localStatePath;     // the browser's "Local State"; empty if unknown
  std::wstring feedbackFile;       // where the crash-feedback file goes
  std::wstring crashDir;           // holds crash logs and archives
  bool logDirFromEnv = false;      // crashDir came from TAVRA_CRASH_LOG_DIR
  bool keepLogs = false;           // keep crash logs after handling
  std::wstring serverUrl;          // the crash server, with "?email=" when given
  std::wstring editionSuffix;      // appended to the user agent; empty on stable
  CrashBudgetLimits budgetLimits;  // the crash budget's limits (crash_budget.h)
};

// Sets localStatePath, feedbackFile, crashDir and logDirFromEnv of
// `settings`, whose crashDir is empty. TAVRA_CRASH_LOG_DIR's folder is
// created with its parents where missing, each one that is made private to
// the user (runtime/private_security.h); one that is there is left as it is.
// False when there is no usable crash directory.
bool determineCrashDirectory(ReporterSettings* settings);
// The user's consent as "Local State" records it: only the boolean false
// refuses. Undecodable text in the file's strings is replaced, not refused;
// a file that cannot be read as JSON at all (missing, locked, too large, too
// deeply nested, truncated or otherwise not JSON) counts as consent.
bool isReportingEnabled(const std::wstring& localStatePath);
// TAVRA_CRASH_KEEP_LOGS is "1" or "yes" in any case.
bool readKeepLogs();
// Sets serverUrl and editionSuffix of `settings`.
void configureCrashServer(ReporterSettings* settings);

// A crash budget's limit from its variable's text: a whole number, decimal
// digits alone, from 0 (no limit) to kCrashBudgetMaxRecords, so that a limit
// can always be reached within the records kept. False for anything else
// (signs, spaces, other characters, larger numbers, no digits).
bool parseCrashBudgetLimit(const std::wstring& text, uint32_t* limit);
// Sets `limits` from TAVRA_CRASH_BUDGET_PER_SIGNATURE and
// TAVRA_CRASH_BUDGET_PER_DAY; an unset or empty variable keeps its default,
// and so does a value that parseCrashBudgetLimit refuses, which is logged
// (WARNING): the variable, its value (at most kLoggedBudgetValueLength
// characters of it) and the default kept.
void readCrashBudgetLimits(CrashBudgetLimits* limits);
constexpr size_t kLoggedBudgetValueLength = 64;

// The variable's whole value, of any length; empty when unset or empty.
std::wstring readEnvironmentVariable(const wchar_t* name);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_REPORTER_SETTINGS_H_
