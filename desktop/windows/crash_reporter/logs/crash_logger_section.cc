#include "desktop/windows/crash_reporter/logs/crash_logger_section.h"

#include <stdio.h>

#include <string>

namespace tavra {

bool appendCrashLoggerSection(LogCapture* capture, const char* crashLogFileName) {
  const std::string& text = capture->text();
  if (text.empty()) return true;
  if (crashLogFileName == nullptr) return false;
  FILE* file = fopen(crashLogFileName, "a");
  if (file == nullptr) return false;
  static const char kHeading[] = "\nCrash Logger:\n";
  bool written = fwrite(kHeading, 1, sizeof(kHeading) - 1, file) == sizeof(kHeading) - 1 &&
                 fwrite(text.data(), 1, text.size(), file) == text.size();
  // Buffered writes fail only at the close: check it as well.
  bool closed = fclose(file) == 0;
  if (!written || !closed) return false;
  capture->clear();
  return true;
}

}  // namespace tavra
