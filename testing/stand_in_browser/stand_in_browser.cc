// A stand-in for the browser: it plays the parent that starts the crash
// reporter, and an observer that watches both from outside.
//
// Observer (--demo): starts this program again as the browser, echoes what
// the browser says, and after the browser has exited tells whether and when
// the reporter ended. The browser hands the observer a handle to the reporter
// process, so the observer can watch it even after the browser is gone.
//
// Browser (--browser): creates the ready event "TavraCrashReporterInitEvent"
// followed by its own process id, starts the reporter with
// --crash-reporter-parent-id=<its pid>, waits for the ready event with a
// time-out, shows that the reporter is serving (it registers over the pipe
// and has one dump request answered), and exits.
//
// Options (given to the observer, passed on to the browser):
//   --reporter=PATH        the reporter to start (default: next to this program)
//   --parent-id=VALUE      the switch value to pass instead of the browser's id;
//                          "none" leaves the switch out
//   --no-ready-event       do not create the ready event
//   --no-register          do not register over the pipe after the handshake
//   --ready-timeout-ms=N   how long to wait for the ready event (default 10000)
//   --linger-ms=N          how long the browser lives after the handshake
//   --end-timeout-ms=N     how long the observer waits for the reporter to end
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/command_line.h"
#include "testing/browser_client/browser_client.h"
#include "testing/browser_client/child_process.h"
#include "runtime/file_util.h"
#include "runtime/scoped_handle.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

const char kHandleLinePrefix[] = "reporter-handle=";

DWORD numberSwitch(const CommandLine& line, const char* name, DWORD fallback) {
  std::string value = line.switchValueAscii(name);
  if (value.empty()) return fallback;
  return static_cast<DWORD>(strtoul(value.c_str(), nullptr, 10));
}

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  printf("\n");
  fflush(stdout);
}

ULONGLONG now() { return GetTickCount64(); }

// The options that the browser role takes, copied from the observer's line.
std::wstring browserOptions(const CommandLine& line) {
  static const char* kPassed[] = {"reporter", "parent-id", "ready-timeout-ms", "linger-ms"};
  std::wstring options;
  for (const char* name : kPassed) {
    if (!line.hasSwitch(name)) continue;
    options += L" " + CommandLine::quoteArgument(asciiToWide(std::string("--") + name + "=") +
                                                 line.switchValue(name));
  }
  for (const char* flag : {"no-ready-event", "no-register"}) {
    if (line.hasSwitch(flag)) options += L" --" + asciiToWide(flag);
  }
  return options;
}

// Registers this process over the reporter's pipe, as every browser process
// does, and asks for one report.
void registerAndAskForDump(DWORD pid, DWORD reporterPid) {
  BrowserClient client(2);
  client.annotations().set(L"prod", L"Tavra");
  client.annotations().set(L"ver", L"1.0.0.0");
  if (!client.registerWithReporter(reporterPid)) {
    say("browser %lu: registration over the pipe failed (error %lu)", pid, client.lastError());
    return;
  }
  say("browser %lu: registered over the pipe; the reply names reporter process %lu", pid,
      static_cast<unsigned long>(client.reply().processId));
  EXCEPTION_POINTERS pointers = {};
  const ULONGLONG asked = now();
  DumpResult result = client.requestDump(
      GetCurrentThreadId(), static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(&pointers)));
  if (result == DumpResult::Done) {
    say("browser %lu: dump request answered with dump-done after %llu ms", pid, now() - asked);
  } else {
    say("browser %lu: dump request not answered", pid);
  }
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
  DWORD observerPid = numberSwitch(line, "observer-pid", 0);
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

  const DWORD readyTimeout = numberSwitch(line, "ready-timeout-ms", 10000);
  HANDLE waits[2] = {reporterProcess.get(), readyEvent.get()};
  DWORD count = readyEvent.isValid() ? 2 : 1;
  DWORD result = WaitForMultipleObjects(count, waits, FALSE, readyTimeout);
  const ULONGLONG waited = now() - started;
  if (result == WAIT_OBJECT_0 + 1) {
    say("browser %lu: ready event set by the reporter after %llu ms", pid, waited);
    bool alive = WaitForSingleObject(reporterProcess.get(), 0) == WAIT_TIMEOUT;
    say("browser %lu: reporter serving: process %s, pipe %s", pid, alive ? "alive" : "gone",
        wideToUtf8(reporterPipeName(info.dwProcessId)).c_str());
    if (!line.hasSwitch("no-register")) registerAndAskForDump(pid, info.dwProcessId);
  } else if (result == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(reporterProcess.get(), &code);
    say("browser %lu: ready event not set; the reporter ended after %llu ms with exit code %ld",
        pid, waited, static_cast<long>(code));
    return 0;
  } else {
    say("browser %lu: ready event not set within %lu ms", pid, readyTimeout);
  }

  DWORD linger = numberSwitch(line, "linger-ms", 200);
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
  DWORD endTimeout = numberSwitch(line, "end-timeout-ms", 10000);
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
