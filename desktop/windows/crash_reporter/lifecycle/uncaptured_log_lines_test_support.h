// Test helper: the reporter log's message handler as the reporter installs
// it (each crash's own capture first), with the lines that no capture took
// recorded instead of written, from whichever thread logged them. The lines
// of a report that could not be made are logged so, after a crash's capture
// has ended or on an upload job's thread.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UNCAPTURED_LOG_LINES_TEST_SUPPORT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UNCAPTURED_LOG_LINES_TEST_SUPPORT_H_

#include <windows.h>

#include <string>

#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/scoped_lock.h"

namespace tavra {
namespace testing_support {

// One at a time, for the life of a test. Lines are kept as
// "SEVERITY:message" and a line end.
class UncapturedLogLines {
 public:
  UncapturedLogLines() { setLogMessageHandler(&handle, this); }
  ~UncapturedLogLines() { setLogMessageHandler(nullptr, nullptr); }
  UncapturedLogLines(const UncapturedLogLines&) = delete;
  UncapturedLogLines& operator=(const UncapturedLogLines&) = delete;

  std::string text() {
    ScopedSrwLock hold(&lock_);
    return text_;
  }

 private:
  static bool handle(void* context, LogSeverity severity, const char* file, int line,
                     size_t messageStart, const std::string& fullLine) {
    if (captureLogMessage(nullptr, severity, file, line, messageStart, fullLine)) return true;
    static const char* const kNames[] = {"INFO", "WARNING", "ERROR", "FATAL"};
    const char* name = severity >= 0 && severity <= 3 ? kNames[severity] : "OTHER";
    UncapturedLogLines* self = static_cast<UncapturedLogLines*>(context);
    ScopedSrwLock hold(&self->lock_);
    self->text_ += std::string(name) + ":" + fullLine.substr(messageStart);
    return true;
  }

  // Guards text_: lines come from any thread.
  SrwLock lock_;
  std::string text_;
};

}  // namespace testing_support
}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UNCAPTURED_LOG_LINES_TEST_SUPPORT_H_
