// End-to-end test support: the stand-in browser, which starts the real
// reporter and stays until the test tells it to exit, and the reporter it
// started, watched from outside.
//
// An object belongs to the test's thread.
#ifndef TESTING_E2E_REPORTER_SESSION_H_
#define TESTING_E2E_REPORTER_SESSION_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "runtime/scoped_holder.h"
#include "testing/browser_client/child_process.h"

namespace tavra {

// What the stand-in browser's demo printed, and its exit code.
struct DemoRun {
  DWORD exitCode = 0;
  std::string output;
};

// Runs the stand-in browser's demo (its observer, which starts the browser,
// which starts the reporter) with `options` until it ends. The environment
// of this process reaches the reporter.
DemoRun runStandInBrowserDemo(const std::wstring& options);

class ReporterSession {
 public:
  // Starts the stand-in browser with `switches` (e.g. "--reporter=PATH") and
  // waits until its reporter serves. False, with `error` telling why, when
  // the reporter did not start or did not set the ready event.
  bool start(const std::wstring& switches, std::string* error);

  // Tells the browser to exit and waits for it; false when it did not exit
  // within 10 s.
  bool endBrowser();
  // Only tells the browser to exit.
  bool tellBrowserToExit();
  // Whether the reporter has ended within `timeoutMs`.
  bool reporterEnded(DWORD timeoutMs);
  // The reporter's exit code, once it has ended.
  DWORD reporterExitCode();

  uint32_t reporterPid() const { return reporterPid_; }

 private:
  ChildProcess browser_;
  uint32_t reporterPid_ = 0;
  ScopedHandle reporter_;
};

}  // namespace tavra

#endif  // TESTING_E2E_REPORTER_SESSION_H_
