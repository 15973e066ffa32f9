#include "testing/e2e/reporter_environment.h"

#include <windows.h>

#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "testing/browser_client/child_process.h"
#include "testing/crash_server_session/local_crash_server.h"

namespace tavra {

ReporterEnvironment::ReporterEnvironment(const std::wstring& prefix) : temp_(prefix) {}

ReporterEnvironment::~ReporterEnvironment() {
  // The variables come back in the reverse order of their setting.
  while (!variables_.empty()) variables_.pop_back();
}

bool ReporterEnvironment::setUp(const ReporterOptions& options) {
  if (!temp_.isValid()) return false;
  options_ = options;
  logDir_ = joinPath(temp_.path(), L"crash logs");
  tempDir_ = joinPath(temp_.path(), L"temp");
  if (!createDirectoryWithParents(tempDir_)) return false;
  const auto set = [this](const wchar_t* name, const wchar_t* value) {
    variables_.push_back(std::make_unique<ScopedEnvironmentVariable>(name, value));
  };
  set(L"TMP", tempDir_.c_str());
  set(L"TEMP", tempDir_.c_str());
  set(L"TAVRA_CRASH_LOG_DIR", options.logDirFromEnvironment ? logDir_.c_str() : nullptr);
  set(L"TAVRA_CRASH_KEEP_LOGS", options.keepLogs ? L"1" : nullptr);
  set(L"TAVRA_CRASH_SERVER_URL",
      options.serverUrl.empty() ? kNoCrashServerUrl : options.serverUrl.c_str());
  set(L"TAVRA_CRASH_EMAIL", options.email.empty() ? nullptr : options.email.c_str());
  // No crash-storm budget: a test that crashes one site many times sees
  // every report (the budget's own tests set it up themselves).
  set(L"TAVRA_CRASH_BUDGET_PER_SIGNATURE", L"0");
  set(L"TAVRA_CRASH_BUDGET_PER_DAY", L"0");
  return true;
}

const char ReporterEnvironment::kSingleProfilePrefs[] = "{\"single_profile\":true}";

std::wstring ReporterEnvironment::installReporter(const std::string& localState,
                                                  const std::string& installerPrefs) {
  const std::wstring install = joinPath(temp_.path(), L"install");
  const std::wstring userData = userDataDir();
  if (!createDirectoryWithParents(userData)) return std::wstring();
  const std::wstring reporter = joinPath(install, L"tavra_crash_reporter.exe");
  if (!CopyFileW(siblingProgramPath(L"tavra_crash_reporter.exe").c_str(), reporter.c_str(),
                 FALSE) ||
      !writeFile(joinPath(install, L"installer_prefs.json"), installerPrefs)) {
    return std::wstring();
  }
  const std::wstring localStatePath = joinPath(userData, L"Local State");
  if (localState.empty()) {
    DeleteFileW(localStatePath.c_str());
  } else if (!writeFile(localStatePath, localState)) {
    return std::wstring();
  }
  return L"--reporter=" + CommandLine::quoteArgument(reporter);
}

const std::wstring& ReporterEnvironment::crashDir() const {
  return options_.logDirFromEnvironment ? logDir_ : tempDir_;
}

std::wstring ReporterEnvironment::userDataDir() const {
  return joinPath(temp_.path(), L"install\\profile\\data");
}

std::string ReporterEnvironment::reporterLog() const {
  std::string text;
  readFileToString(joinPath(tempDir_, L"tavra_crashreporter.log"), &text);
  return text;
}

}  // namespace tavra
