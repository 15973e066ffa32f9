// End-to-end test support: the real reporter, started by the stand-in
// browser, talking to the local crash server that runs beside the test
// program (testing/crash_server_session/with_crash_server.sh), and watched
// from outside: its files, its diagnostic log and its resource figures.
//
// An object belongs to the test's thread.
#ifndef TESTING_E2E_REPORTER_WITH_CRASH_SERVER_H_
#define TESTING_E2E_REPORTER_WITH_CRASH_SERVER_H_

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/scoped_holder.h"
#include "testing/browser_client/process_figures.h"
#include "testing/crash_server_session/local_crash_server.h"
#include "testing/e2e/reporter_environment.h"
#include "testing/e2e/reporter_session.h"

namespace tavra {

class ReporterWithCrashServer {
 public:
  // `prefix` names the temporary folder of the reporter's environment.
  explicit ReporterWithCrashServer(const std::wstring& prefix);

  // Attaches to the local crash server, sets up the environment with
  // `options` pointed at it, and starts the browser and its reporter. False,
  // with `error` telling why, when any of it fails.
  bool start(ReporterOptions options, std::string* error);

  LocalCrashServer& server() { return server_; }
  ReporterEnvironment& environment() { return environment_; }
  const ReporterEnvironment& environment() const { return environment_; }
  ReporterSession& session() { return session_; }
  uint32_t reporterPid() const { return session_.reporterPid(); }

  // "tavra-crashlog-<reporter pid>-<crash>" + `extension`.
  std::wstring crashFile(uint32_t crash, const wchar_t* extension) const;
  // "crash_feedback_url-<reporter pid>-<crash>.txt".
  std::wstring feedbackFile(uint32_t crash) const;
  // The crash logs (".txt") and archives (".zip") in the crash directory.
  std::vector<std::wstring> crashFiles() const;
  // Waits until the crash directory holds no crash log or archive: with logs
  // not kept, every upload job has then ended. False after `timeoutMs`.
  bool waitUntilNoCrashFiles(DWORD timeoutMs) const;

  // The lines of the reporter's diagnostic log that hold `text`.
  std::vector<std::string> reporterLogLines(const std::string& text) const;
  // The line that the reporter logs for a report it could not make:
  // "Crash <number> of process <pid>: ".
  static std::string crashLinePrefix(uint32_t crash, uint32_t clientPid);
  // The lines that say a request of process `clientPid` was never taken up
  // (it ended, or the reporter stopped, first).
  std::vector<std::string> unhandledRequestLines(uint32_t clientPid) const;

  // Handles, threads and memory of the reporter process.
  bool readFigures(ProcessFigures* figures);
  // Reads the figures until none of the probed handle count, the thread
  // count, the private bytes and the virtual size exceeds `baseline` by more
  // than a reporter may keep without a leak: idle threads of the system
  // thread pool end only after a while, and take their handles with them;
  // the memory figures may grow by `memorySlack` (heap slack, and what the
  // system's WinInet keeps per request), and by a thread's stack for each
  // thread more than in `baseline`. A leak of one handle or thread per
  // crash shows well beyond that. False, with the last figures read, when
  // that has not happened within a generous bound. Private bytes read 0
  // under Wine; the virtual size is the figure that counts there.
  bool waitForFiguresToSettle(const ProcessFigures& baseline, uint64_t memorySlack,
                              ProcessFigures* figures);

  // Tells the browser to exit, without waiting for it.
  bool tellBrowserToExit();
  // Ends the browser and waits until the reporter has ended after it; false
  // when either did not end within `timeoutMs`.
  bool endBrowserAndReporter(DWORD timeoutMs);

 private:
  LocalCrashServer server_;
  ReporterEnvironment environment_;
  ReporterSession session_;
  ScopedHandle reporter_;
};

// Figures printed on one line, with `label` first.
std::string describeFigures(const std::string& label, const ProcessFigures& figures);

}  // namespace tavra

#endif  // TESTING_E2E_REPORTER_WITH_CRASH_SERVER_H_
