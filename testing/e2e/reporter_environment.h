// End-to-end test support: the files and environment that the real reporter
// gets in a test. Everything lies in a temporary folder of the test's own,
// which goes away with the object; the environment variables come back to
// their old values. Reporters started by this process inherit the
// environment.
//
// An object belongs to the test's thread.
#ifndef TESTING_E2E_REPORTER_ENVIRONMENT_H_
#define TESTING_E2E_REPORTER_ENVIRONMENT_H_

#include <memory>
#include <string>
#include <vector>

#include "runtime/scoped_temp_dir.h"
#include "testing/test_support/scoped_environment_variable.h"

namespace tavra {

struct ReporterOptions {
  // TAVRA_CRASH_LOG_DIR names "<folder>\crash logs"; else it is unset and the
  // crash logs go to the reporter's temporary folder.
  bool logDirFromEnvironment = true;
  // TAVRA_CRASH_KEEP_LOGS is "1"; else it is unset.
  bool keepLogs = true;
  // TAVRA_CRASH_SERVER_URL; kNoCrashServerUrl (local_crash_server.h), where
  // nothing listens, when empty.
  std::wstring serverUrl;
  // TAVRA_CRASH_EMAIL, unset when empty.
  std::wstring email;
};

class ReporterEnvironment {
 public:
  // `prefix` names the temporary folder.
  explicit ReporterEnvironment(const std::wstring& prefix);
  ~ReporterEnvironment();
  ReporterEnvironment(const ReporterEnvironment&) = delete;
  ReporterEnvironment& operator=(const ReporterEnvironment&) = delete;

  // Makes the folders and sets the variables, TMP and TEMP included (the
  // reporter's own log goes there). False when a folder cannot be made.
  bool setUp(const ReporterOptions& options = ReporterOptions());

  // Copies the reporter into an installation of its own in the folder, with
  // `installerPrefs` as its "installer_prefs.json" (by default a
  // single-profile one), whose user data directory holds `localState` as its
  // "Local State" (none when empty). The stand-in browser's switch that
  // starts it.
  std::wstring installReporter(const std::string& localState,
                               const std::string& installerPrefs = kSingleProfilePrefs);
  static const char kSingleProfilePrefs[];  // {"single_profile":true}

  const std::wstring& folder() const { return temp_.path(); }
  // TAVRA_CRASH_LOG_DIR's value (even when it is not set).
  const std::wstring& logDir() const { return logDir_; }
  // The reporter's temporary folder.
  const std::wstring& tempDir() const { return tempDir_; }
  // Where the crash logs go: the log directory or the temporary folder.
  const std::wstring& crashDir() const;
  // The user data directory of the installation of installReporter.
  std::wstring userDataDir() const;

  // The reporter's own diagnostic log, empty when there is none.
  std::string reporterLog() const;

 private:
  ScopedTempDir temp_;
  ReporterOptions options_;
  std::wstring logDir_;
  std::wstring tempDir_;
  std::vector<std::unique_ptr<ScopedEnvironmentVariable>> variables_;
};

}  // namespace tavra

#endif  // TESTING_E2E_REPORTER_ENVIRONMENT_H_
