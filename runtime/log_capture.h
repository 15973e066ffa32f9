// Per-thread capture of diagnostic messages.
//
// While a capture is current on a thread, the messages that the thread logs
// are kept in it instead of going to the log (the reporter keeps a crash's
// messages this way and appends them to that crash's log afterwards).
// Captures nest per thread: the end of one makes the one before it current
// again. Messages of other threads are never taken.
//
// Threads: a capture belongs to the thread that made it; the slot that holds
// each thread's current capture is process-wide and never destroyed.
#ifndef RUNTIME_LOG_CAPTURE_H_
#define RUNTIME_LOG_CAPTURE_H_

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

  // Each message as "file:line:text" and a line end, in the order logged.
  const std::string& text() const { return text_; }
  // Forgets what was captured so far; later messages are captured anew.
  void clear() { text_.clear(); }

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

#endif  // RUNTIME_LOG_CAPTURE_H_
