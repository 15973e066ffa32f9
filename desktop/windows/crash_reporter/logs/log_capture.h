// Per-thread capture of the reporter's diagnostic messages.
//
// While a crash is handled, the messages that the handling thread logs are
// kept in a LogCapture instead of the reporter log, and are appended to that
// crash's log afterwards. Captures nest per thread: the end of one makes the
// one before it current again. Messages of other threads are never taken.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_LOG_CAPTURE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_LOG_CAPTURE_H_

#include <stddef.h>

#include <string>

#include "runtime/logging.h"

namespace tavra {

class LogCapture {
 public:
  // Becomes the calling thread's current capture. Creates the process-wide
  // slot when it does not exist yet; without one, nothing is captured.
  LogCapture();
  // Makes the previous capture current again; the captured text is dropped.
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Appends "\nCrash Logger:\n" and the captured text to the crash log, in
  // text mode (each line end becomes CR LF), and empties the capture. With
  // nothing captured the file is left alone and the result is true. On a
  // failed open, write or close the result is false and the text is kept.
  bool appendCapturedLog(const char* crashLogFileName);

  // Each message as "file:line:text" and a line end, in the order logged.
  const std::string& text() const { return text_; }

  // The calling thread's current capture, or null.
  static LogCapture* current();
  // Creates the process-wide slot that holds each thread's capture. False
  // only when the system has no slot left.
  static bool initializeSlot();

 private:
  friend bool captureLogMessage(void* context, LogSeverity severity, const char* file, int line,
                                size_t messageStart, const std::string& fullLine);

  std::string text_;
  LogCapture* previous_;
};

// The logging facility's message handler: takes the message into the calling
// thread's current capture, and returns false (leaving the message to its
// normal way) when the thread has none. `context` is not used.
bool captureLogMessage(void* context, LogSeverity severity, const char* file, int line,
                       size_t messageStart, const std::string& fullLine);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_LOG_CAPTURE_H_
