#include "desktop/windows/crash_reporter/logs/crash_logger_section.h"

#include <string>

#include "desktop/windows/crash_reporter/logs/crash_log_output.h"

namespace tavra {

bool appendCrashLoggerSection(LogCapture* capture, const char* crashLogFileName) {
  const std::string& text = capture->text();
  if (text.empty()) return true;
  // The crash log that was just written, and only that: a name that has
  // gone is not made anew.
  CrashLogOutput out;
  if (!out.append(crashLogFileName)) return false;
  const bool written = out.write("\nCrash Logger:\n") && out.write(text.data(), text.size());
  // Buffered writes fail only at the close: check it as well.
  const bool closed = out.close();
  if (!written || !closed) return false;
  capture->clear();
  return true;
}

}  // namespace tavra
