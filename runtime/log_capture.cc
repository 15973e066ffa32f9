#include "runtime/log_capture.h"

#include <string_view>

#include "runtime/thread_local_slot.h"

namespace tavra {
namespace {

// Never destroyed, like the logging state: thread-pool threads may still be
// handling a crash while static destructors run at exit, and a freed index
// could meanwhile be handed to someone else.
ThreadLocalSlot& currentCaptureSlot() {
  static ThreadLocalSlot* slot = new ThreadLocalSlot();
  return *slot;
}

// The source file's base name. Both separators count: the compiler may give
// either kind, and a crash log should never carry the build machine's
// directories.
std::string_view sourceBaseName(const char* file) {
  std::string_view path(file != nullptr ? file : "");
  size_t last = path.find_last_of("\\/");
  return last == std::string_view::npos ? path : path.substr(last + 1);
}

}  // namespace

LogCapture::LogCapture() : previous_(nullptr) {
  if (!initializeSlot()) return;
  previous_ = current();
  currentCaptureSlot().set(this);
}

LogCapture::~LogCapture() {
  LogCapture* top = current();
  if (top == this) {
    currentCaptureSlot().set(previous_);
    return;
  }
  // Ended out of order: unlink it wherever it stands, so that no capture
  // keeps pointing at it.
  for (LogCapture* capture = top; capture != nullptr; capture = capture->previous_) {
    if (capture->previous_ == this) {
      capture->previous_ = previous_;
      break;
    }
  }
}

LogCapture* LogCapture::current() { return static_cast<LogCapture*>(currentCaptureSlot().get()); }

bool LogCapture::initializeSlot() { return currentCaptureSlot().initialize(); }

bool captureLogMessage(void* /*context*/, LogSeverity /*severity*/, const char* file, int line,
                       size_t messageStart, const std::string& fullLine) {
  LogCapture* capture = LogCapture::current();
  if (capture == nullptr) return false;
  std::string& text = capture->text_;
  text += sourceBaseName(file);
  text += ":";
  text += std::to_string(line);
  text += ":";
  if (messageStart < fullLine.size()) text.append(fullLine, messageStart, std::string::npos);
  if (text.back() != '\n') text.push_back('\n');
  return true;
}

}  // namespace tavra
