// Sets up the reporter's diagnostic log as the reporter does and logs lines.
//
//   --lines=N          log N INFO lines "writer <pid> line <i> " and padding
//   --threads=T        log them on each of T threads at once, as
//                      "writer <pid> thread <t> line <i> " and padding
//   --ready-event=NAME set this event once the log is set up
//   --go-event=NAME    then wait for this event before logging
//   --error            log one ERROR line after the INFO lines
//   --verbose          log one line each at verbose levels 1 and 2
//   --fatal            log a FATAL line, then an INFO line "after fatal"
//
//   --hold-lock        instead of logging, take the log file's mutex, set the
//                      ready event, wait for the go event (at most a minute),
//                      release the mutex and end
//   --abandon          with --hold-lock: end while still holding the mutex
//
// Exit code 0, or 2 when an event or the mutex cannot be used.
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "desktop/windows/crash_reporter/logs/reporter_log.h"
#include "runtime/command_line.h"
#include "runtime/logging.h"
#include "runtime/scoped_holder.h"
#include "testing/test_support/switch_number.h"

namespace {

// Long enough that two writers' lines would overlap in the file if the
// mutex did not order them.
const size_t kPadding = 200;
const DWORD kEventWaitMs = 60000;

using tavra::CommandLine;
using tavra::ScopedHandle;

bool setReadyEvent(const CommandLine& commandLine) {
  if (!commandLine.hasSwitch("ready-event")) return true;
  ScopedHandle ready(
      OpenEventW(EVENT_MODIFY_STATE, FALSE, commandLine.switchValue("ready-event").c_str()));
  return ready.isValid() && SetEvent(ready.get());
}

bool waitForGoEvent(const CommandLine& commandLine) {
  if (!commandLine.hasSwitch("go-event")) return true;
  ScopedHandle go(OpenEventW(SYNCHRONIZE, FALSE, commandLine.switchValue("go-event").c_str()));
  return go.isValid() && WaitForSingleObject(go.get(), kEventWaitMs) == WAIT_OBJECT_0;
}

// Holds the log file's mutex, as a stuck or dying reporter would.
int holdLock(const CommandLine& commandLine) {
  std::wstring path;
  if (!tavra::reporterLogFilePath(&path)) return 2;
  ScopedHandle mutex(CreateMutexW(nullptr, FALSE, tavra::logFileMutexName(path).c_str()));
  if (!mutex.isValid()) return 2;
  DWORD result = WaitForSingleObject(mutex.get(), kEventWaitMs);
  if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) return 2;
  bool ok = setReadyEvent(commandLine) && waitForGoEvent(commandLine);
  // The system abandons a mutex whose owner ends without releasing it.
  if (commandLine.hasSwitch("abandon")) ExitProcess(ok ? 0 : 2);
  ReleaseMutex(mutex.get());
  return ok ? 0 : 2;
}

void logLines(unsigned long lines, long thread) {
  const std::string padding(kPadding, 'x');
  for (unsigned long i = 0; i < lines; ++i) {
    if (thread < 0) {
      TAVRA_LOG(INFO) << "writer " << GetCurrentProcessId() << " line " << i << " " << padding;
    } else {
      TAVRA_LOG(INFO) << "writer " << GetCurrentProcessId() << " thread " << thread << " line " << i
                      << " " << padding;
    }
  }
}

}  // namespace

int main() {
  CommandLine::initForCurrentProcess();
  const CommandLine& commandLine = CommandLine::forCurrentProcess();
  if (commandLine.hasSwitch("hold-lock")) return holdLock(commandLine);
  tavra::initReporterLog();

  if (!setReadyEvent(commandLine) || !waitForGoEvent(commandLine)) return 2;

  const uint32_t lines = tavra::switchNumber(commandLine, "lines", 0);
  if (commandLine.hasSwitch("threads")) {
    const uint32_t threads = tavra::switchNumber(commandLine, "threads", 0);
    std::vector<std::thread> writers;
    for (uint32_t t = 0; t < threads; ++t) {
      writers.emplace_back(logLines, lines, static_cast<long>(t));
    }
    for (std::thread& writer : writers) writer.join();
  } else {
    logLines(lines, -1);
  }
  if (commandLine.hasSwitch("error")) TAVRA_LOG(ERROR) << "writer error line";
  if (commandLine.hasSwitch("verbose")) {
    TAVRA_VLOG(1) << "verbose one";
    TAVRA_VLOG(2) << "verbose two";
  }
  if (commandLine.hasSwitch("fatal")) {
    TAVRA_LOG(FATAL) << "writer fatal line";
    TAVRA_LOG(INFO) << "after fatal";
  }
  return 0;
}
