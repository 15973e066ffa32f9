// A stand-in for the browser: it plays the parent that starts the crash
// reporter, and an observer that watches both from outside.
//
// Observer (--demo): starts this program again as the browser, echoes what
// the browser says, and after the browser has exited tells whether and when
// the reporter ended. The browser hands the observer a handle to the reporter
// process, so the observer can watch it even after the browser is gone. When
// TAVRA_CRASH_LOG_DIR is not set, the observer sets it to the folder "demo"
// beside the folder of this program, so the crash logs land there.
//
// Browser (--browser): creates the ready event "TavraCrashReporterInitEvent"
// followed by its own process id, starts the reporter with
// --crash-reporter-parent-id=<its pid>, waits for the ready event with a
// time-out and shows that the reporter is serving. Then one of its browser
// processes (the test client) registers with a few annotations and crashes
// for real; once the reporter has released it, the browser shows the
// crash-feedback file's line (which links the crash to the crash server's
// report of it) and, when TAVRA_CRASH_KEEP_LOGS keeps crash logs, where the
// crash log is and its first lines: the header, the exception line and the
// crashed thread's registers. Otherwise the reporter deletes the crash log
// once it has uploaded it, and the browser leaves it alone. Then it exits.
//
// Options (given to the observer, passed on to the browser):
//   --reporter=PATH        the reporter to start (default: next to this program)
//   --parent-id=VALUE      the switch value to pass instead of the browser's id;
//                          "none" leaves the switch out
//   --no-ready-event       do not create the ready event
//   --crash=KIND           how the browser process crashes: read, write
//                          (default; both at address 0), divide, breakpoint,
//                          raise, stack-overflow
//   --no-crash             no browser process crashes
//   --stay                 after the handshake (and the crash), wait for a line
//                          "exit" on standard input before exiting
//   --ready-timeout-ms=N   how long to wait for the ready event (default 10000)
//   --linger-ms=N          how long the browser lives after the handshake
//   --end-timeout-ms=N     how long the observer waits for the reporter to end
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/lifecycle/reporter_settings.h"
#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/scoped_holder.h"
#include "runtime/utf_conversion.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/test_support/reporter_file_names.h"
#include "testing/test_support/scoped_environment_variable.h"
#include "testing/test_support/switch_number.h"
#include "testing/test_support/test_files.h"

namespace tavra {
namespace {

const char kHandleLinePrefix[] = "reporter-handle=";

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  printf("\n");
  fflush(stdout);
}

ULONGLONG now() { return GetTickCount64(); }

// TAVRA_CRASH_LOG_DIR; empty when it is unset or longer than a path.
std::wstring crashLogDirFromEnvironment() {
  return environmentVariable(L"TAVRA_CRASH_LOG_DIR", MAX_PATH);
}

// The options that the browser role takes, copied from the observer's line.
std::wstring browserOptions(const CommandLine& line) {
  static const char* kPassed[] = {"reporter", "parent-id", "ready-timeout-ms", "linger-ms",
                                  "crash"};
  std::wstring options;
  for (const char* name : kPassed) {
    if (!line.hasSwitch(name)) continue;
    options += L" " + CommandLine::quoteArgument(asciiToWide(std::string("--") + name + "=") +
                                                 line.switchValue(name));
  }
  for (const char* flag : {"no-ready-event", "no-crash", "stay"}) {
    if (line.hasSwitch(flag)) options += L" --" + asciiToWide(flag);
  }
  return options;
}

// Shows the line of the crash-feedback file of the reporter's first crash,
// which the reporter writes before it releases the crashed process.
void showCrashFeedback(DWORD pid, DWORD reporterPid) {
  const std::wstring dir = crashLogDirFromEnvironment();
  if (dir.empty()) {
    say("browser %lu: TAVRA_CRASH_LOG_DIR is not set; a crash-feedback line goes to "
        "crash_feedback_url.txt in the user data directory",
        pid);
    return;
  }
  const std::wstring path = joinPath(dir, feedbackFileName(reporterPid, 1));
  std::string line;
  if (!readFileToString(path, &line)) {
    say("browser %lu: no crash-feedback file: the crash server named no report location", pid);
    return;
  }
  say("browser %lu: crash-feedback file %s: %s", pid, wideToUtf8(path).c_str(), line.c_str());
}

// Shows where the crash log of the reporter's first crash is, and its first
// lines: the header, the exception line, and the crashed thread's heading and
// registers.
void showCrashLog(DWORD pid, DWORD reporterPid) {
  std::wstring dir = crashLogDirFromEnvironment();
  if (dir.empty()) {
    say("browser %lu: TAVRA_CRASH_LOG_DIR is not set; the crash log is in the reporter's "
        "temporary folder",
        pid);
    return;
  }
  if (!readKeepLogs()) {
    // Reading it now could stand in the way of its deletion.
    say("browser %lu: the reporter uploads the crash log and then deletes it "
        "(TAVRA_CRASH_KEEP_LOGS=1 keeps it)",
        pid);
    return;
  }
  const std::wstring path = joinPath(dir, crashFileName(reporterPid, 1));
  std::vector<std::string> lines = readTextLines(path);
  if (lines.empty()) {
    say("browser %lu: no crash log at %s", pid, wideToUtf8(path).c_str());
    return;
  }
  say("browser %lu: crash log %s (%zu lines); it begins:", pid, wideToUtf8(path).c_str(),
      lines.size());
  for (size_t i = 0; i < 2 && i < lines.size(); ++i) say("  | %s", lines[i].c_str());
  for (size_t i = 2; i < lines.size(); ++i) {
    if (lines[i].compare(0, 7, "Thread:") == 0) {
      say("  | ...");
      say("  | %s", lines[i].c_str());
    }
    if (lines[i].compare(0, 10, "Registers:") == 0) {
      for (size_t j = i; j < i + 4 && j < lines.size(); ++j) say("  | %s", lines[j].c_str());
      break;
    }
  }
}

// Starts one of the browser's processes (the test client), which registers
// over the reporter's pipe with a few annotations and crashes for real.
void crashABrowserProcess(DWORD pid, DWORD reporterPid, const std::string& kind) {
  ChildProcess process;
  if (!process.start(siblingProgramPath(L"tavra_test_client.exe"),
                     L"--annotations=8 --reporter-pid=" + std::to_wstring(reporterPid))) {
    say("browser %lu: could not start a browser process (error %lu)", pid, GetLastError());
    return;
  }
  const char* annotations[][2] = {
      {"version", "4.3.2.1"},       {"build", "demo"},
      {"process_type", "renderer"}, {"active_url", "http://example.test/crashing-page"},
      {"channel", "developer"},     {"crash_guid", "5f1e-demo-guid"}};
  for (const auto& annotation : annotations) {
    process.command(std::string("set ") + annotation[0] + " " + annotation[1]);
  }
  const std::string registered = process.command("register");
  if (registered.compare(0, 11, "registered ") != 0) {
    say("browser %lu: the browser process %lu did not register: %s", pid, process.processId(),
        registered.c_str());
    return;
  }
  say("browser %lu: browser process %lu registered over the pipe with version=4.3.2.1, "
      "build=demo, process_type=renderer, active_url, channel, crash_guid",
      pid, process.processId());
  const std::string argument = kind == "raise" ? " E0001234" : " 0";
  std::string crashLine;
  if (!process.sendLine("crash " + kind + argument) || !process.readLine(&crashLine, 10000)) {
    say("browser %lu: the browser process did not crash", pid);
    return;
  }
  say("browser %lu: browser process %lu crashed: %s", pid, process.processId(), crashLine.c_str());
  const ULONGLONG crashed = now();
  DWORD code = 0;
  if (!process.waitForExit(60000, &code)) {
    say("browser %lu: the crashed browser process was not released", pid);
    return;
  }
  say("browser %lu: the reporter released it after %llu ms; it ended with exit code %08lX", pid,
      now() - crashed, code);
  showCrashFeedback(pid, reporterPid);
  showCrashLog(pid, reporterPid);
}

int runBrowser(const CommandLine& line) {
  const DWORD pid = GetCurrentProcessId();
  std::wstring reporter = line.switchValue("reporter");
  if (reporter.empty()) {
    std::wstring dir;
    getExecutableDirectory(&dir);
    reporter = joinPath(dir, L"tavra_crash_reporter.exe");
  }

  ScopedHandle readyEvent;
  if (!line.hasSwitch("no-ready-event")) {
    std::wstring name = readyEventName(pid);
    readyEvent.reset(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    if (!readyEvent.isValid()) {
      say("browser %lu: could not create the ready event (error %lu)", pid, GetLastError());
      return 1;
    }
  }

  std::wstring parentId =
      line.hasSwitch("parent-id") ? line.switchValue("parent-id") : std::to_wstring(pid);
  std::wstring arguments;
  if (parentId != L"none") arguments = L"--crash-reporter-parent-id=" + parentId;
  std::wstring commandLine = CommandLine::quoteArgument(reporter) + L" " + arguments;

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(reporter.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &info)) {
    say("browser %lu: could not start %s (error %lu)", pid, wideToUtf8(reporter).c_str(),
        GetLastError());
    return 1;
  }
  ScopedHandle reporterProcess(info.hProcess);
  CloseHandle(info.hThread);
  const ULONGLONG started = now();
  say("browser %lu: started the reporter, process %lu, with \"%s\"", pid, info.dwProcessId,
      wideToUtf8(arguments).c_str());

  // Hand the observer its own handle to the reporter, before anything can end.
  DWORD observerPid = switchNumber(line, "observer-pid", 0);
  if (observerPid != 0) {
    ScopedHandle observer(OpenProcess(PROCESS_DUP_HANDLE, FALSE, observerPid));
    HANDLE forObserver = nullptr;
    if (observer.isValid() &&
        DuplicateHandle(GetCurrentProcess(), reporterProcess.get(), observer.get(), &forObserver,
                        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
      printf("%s%lu\n", kHandleLinePrefix,
             static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(forObserver)));
      fflush(stdout);
    }
  }

  const DWORD readyTimeout = switchNumber(line, "ready-timeout-ms", 10000);
  HANDLE waits[2] = {reporterProcess.get(), readyEvent.get()};
  DWORD count = readyEvent.isValid() ? 2 : 1;
  DWORD result = WaitForMultipleObjects(count, waits, FALSE, readyTimeout);
  const ULONGLONG waited = now() - started;
  if (result == WAIT_OBJECT_0 + 1) {
    say("browser %lu: ready event set by the reporter after %llu ms", pid, waited);
    bool alive = WaitForSingleObject(reporterProcess.get(), 0) == WAIT_TIMEOUT;
    say("browser %lu: reporter serving: process %s, pipe %s", pid, alive ? "alive" : "gone",
        wideToUtf8(reporterPipeName(info.dwProcessId)).c_str());
    if (!line.hasSwitch("no-crash")) {
      std::string kind = line.switchValueAscii("crash");
      crashABrowserProcess(pid, info.dwProcessId, kind.empty() ? "write" : kind);
    }
    if (line.hasSwitch("stay")) {
      // Lives until told to go: the tests end the browser at chosen moments.
      say("browser %lu: staying until told to exit", pid);
      char text[64];
      while (fgets(text, sizeof(text), stdin) != nullptr && strncmp(text, "exit", 4) != 0) {
      }
    }
  } else if (result == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(reporterProcess.get(), &code);
    say("browser %lu: ready event not set; the reporter ended after %llu ms with exit code %ld",
        pid, waited, static_cast<long>(code));
    return 0;
  } else {
    say("browser %lu: ready event not set within %lu ms", pid, readyTimeout);
  }

  DWORD linger = switchNumber(line, "linger-ms", 200);
  if (WaitForSingleObject(reporterProcess.get(), linger) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(reporterProcess.get(), &code);
    say("browser %lu: the reporter ended while the browser was alive, exit code %ld", pid,
        static_cast<long>(code));
  }
  say("browser %lu: exiting", pid);
  return 0;
}

// How much later `first` ended than `second`, from the processes' own exit
// times; negative when `first` ended earlier.
bool exitTimeDifferenceMs(HANDLE first, HANDLE second, long long* difference) {
  FILETIME created, exited[2], kernel, user;
  if (!GetProcessTimes(first, &created, &exited[0], &kernel, &user) ||
      !GetProcessTimes(second, &created, &exited[1], &kernel, &user)) {
    return false;
  }
  auto ticks = [](const FILETIME& time) {
    return static_cast<long long>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                                  time.dwLowDateTime);
  };
  *difference = (ticks(exited[0]) - ticks(exited[1])) / 10000;
  return true;
}

int runObserver(const CommandLine& line) {
  std::wstring self;
  getExecutablePath(&self);
  // The crash logs go to the demo's own folder unless told otherwise.
  if (crashLogDirFromEnvironment().empty()) {
    std::wstring demoDir = joinPath(dirName(dirName(self)), L"demo");
    SetEnvironmentVariableW(L"TAVRA_CRASH_LOG_DIR", demoDir.c_str());
    say("observer: crash logs go to %s", wideToUtf8(demoDir).c_str());
  }
  ChildProcess browserRole;
  if (!browserRole.start(self, L"--browser --observer-pid=" +
                                   std::to_wstring(GetCurrentProcessId()) + browserOptions(line))) {
    say("observer: could not start the browser (error %lu)", GetLastError());
    return 1;
  }
  HANDLE browser = browserRole.process();

  // Echo the browser's lines, keeping the reporter handle for ourselves. The
  // browser's output ends when it exits.
  ScopedHandle reporter;
  std::string text;
  while (browserRole.readLine(&text, INFINITE)) {
    if (text.compare(0, sizeof(kHandleLinePrefix) - 1, kHandleLinePrefix) == 0) {
      reporter.reset(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(
          strtoul(text.c_str() + sizeof(kHandleLinePrefix) - 1, nullptr, 10))));
    } else {
      say("%s", text.c_str());
    }
  }
  WaitForSingleObject(browser, INFINITE);
  DWORD browserCode = 0;
  GetExitCodeProcess(browser, &browserCode);
  say("observer: the browser exited with code %lu", browserCode);
  if (!reporter.isValid()) {
    say("observer: no reporter to watch");
    return 1;
  }
  DWORD endTimeout = switchNumber(line, "end-timeout-ms", 10000);
  if (WaitForSingleObject(reporter.get(), endTimeout) != WAIT_OBJECT_0) {
    say("observer: the reporter is still running %lu ms after the browser exited", endTimeout);
    return 2;
  }
  DWORD code = 0;
  GetExitCodeProcess(reporter.get(), &code);
  long long gap = 0;
  if (exitTimeDifferenceMs(reporter.get(), browser, &gap) && gap < 0) {
    say("observer: the reporter had ended %lld ms before the browser exited, exit code %ld", -gap,
        static_cast<long>(code));
  } else {
    say("observer: the reporter ended %lld ms after the browser exited, exit code %ld", gap,
        static_cast<long>(code));
  }
  return 0;
}

}  // namespace
}  // namespace tavra

int main() {
  using tavra::CommandLine;
  CommandLine::initForCurrentProcess();
  const CommandLine& line = CommandLine::forCurrentProcess();
  if (line.hasSwitch("browser")) return tavra::runBrowser(line);
  return tavra::runObserver(line);
}
