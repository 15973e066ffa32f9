// Sets up the reporter's diagnostic log as the reporter does and logs lines.
//
//   --lines=N          log N INFO lines "writer <pid> line <i> " and padding
//   --ready-event=NAME set this event once the log is set up
//   --go-event=NAME    then wait for this event before logging
//   --error            log one ERROR line after the INFO lines
//   --verbose          log one line each at verbose levels 1 and 2
//   --fatal            log a FATAL line, then an INFO line "after fatal"
//
// Exit code 0, or 2 when an event cannot be used.
#include <windows.h>

#include <stdlib.h>

#include <string>

#include "desktop/windows/crash_reporter/logs/reporter_log.h"
#include "runtime/command_line.h"
#include "runtime/logging.h"
#include "runtime/scoped_handle.h"

namespace {

// Long enough that two writers' lines would overlap in the file if the
// mutex did not order them.
const size_t kPadding = 200;

}  // namespace

int main() {
  using tavra::CommandLine;
  CommandLine::initForCurrentProcess();
  const CommandLine& commandLine = CommandLine::forCurrentProcess();
  tavra::initReporterLog();

  if (commandLine.hasSwitch("ready-event")) {
    tavra::ScopedHandle ready(
        OpenEventW(EVENT_MODIFY_STATE, FALSE, commandLine.switchValue("ready-event").c_str()));
    if (!ready.isValid() || !SetEvent(ready.get())) return 2;
  }
  if (commandLine.hasSwitch("go-event")) {
    tavra::ScopedHandle go(
        OpenEventW(SYNCHRONIZE, FALSE, commandLine.switchValue("go-event").c_str()));
    if (!go.isValid() || WaitForSingleObject(go.get(), 30000) != WAIT_OBJECT_0) return 2;
  }

  unsigned long lines = wcstoul(commandLine.switchValue("lines").c_str(), nullptr, 10);
  const std::string padding(kPadding, 'x');
  for (unsigned long i = 0; i < lines; ++i) {
    TAVRA_LOG(INFO) << "writer " << GetCurrentProcessId() << " line " << i << " " << padding;
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
