#include "testing/e2e/reporter_session.h"

#include <cstdlib>

namespace tavra {
namespace {

const char kStartedLine[] = "started the reporter, process ";
const char kStayingLine[] = "staying until told to exit";

}  // namespace

DemoRun runStandInBrowserDemo(const std::wstring& options) {
  DemoRun run;
  ChildProcess observer;
  if (!observer.start(siblingProgramPath(L"stand_in_browser.exe"), L"--demo " + options)) {
    run.output = "could not start the stand-in browser";
    return run;
  }
  std::string line;
  while (observer.readLine(&line, 30000)) run.output += line + "\n";
  observer.waitForExit(30000, &run.exitCode);
  return run;
}

bool ReporterSession::start(const std::wstring& switches, std::string* error) {
  if (!browser_.start(siblingProgramPath(L"stand_in_browser.exe"),
                      L"--browser --no-crash --stay " + switches)) {
    *error = "could not start the stand-in browser";
    return false;
  }
  std::string line;
  while (browser_.readLine(&line, 15000)) {
    const size_t at = line.find(kStartedLine);
    if (at != std::string::npos) {
      reporterPid_ = static_cast<uint32_t>(
          std::strtoul(line.c_str() + at + sizeof(kStartedLine) - 1, nullptr, 10));
      reporter_.reset(
          OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, reporterPid_));
    }
    if (line.find(kStayingLine) != std::string::npos) break;
    if (line.find("not set") != std::string::npos) {
      *error = line;
      return false;
    }
  }
  if (reporterPid_ == 0 || !reporter_.isValid()) {
    *error = "the browser named no reporter: " + line;
    return false;
  }
  return true;
}

bool ReporterSession::endBrowser() { return tellBrowserToExit() && browser_.waitForExit(10000); }

bool ReporterSession::tellBrowserToExit() { return browser_.sendLine("exit"); }

bool ReporterSession::reporterEnded(DWORD timeoutMs) {
  return WaitForSingleObject(reporter_.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD ReporterSession::reporterExitCode() {
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(reporter_.get(), &code);
  return code;
}

}  // namespace tavra
