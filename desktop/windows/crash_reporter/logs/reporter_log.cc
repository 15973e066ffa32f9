#include "desktop/windows/crash_reporter/logs/reporter_log.h"

#include <windows.h>

#include <wchar.h>

#include "runtime/log_capture.h"
#include "runtime/logging.h"

namespace tavra {
namespace {

const size_t kPathBufferSize = MAX_PATH + 1;

}  // namespace

const wchar_t kReporterLogFileName[] = L"tavra_crashreporter.log";

bool reporterLogFilePath(std::wstring* path) {
  wchar_t buffer[kPathBufferSize];
  // Too small a buffer makes the call return the size it needs instead.
  DWORD length = GetTempPathW(kPathBufferSize, buffer);
  if (length == 0 || length >= kPathBufferSize) return false;
  if (buffer[length - 1] != L'\\' && buffer[length - 1] != L'/') {
    if (length + 1 >= kPathBufferSize) return false;
    buffer[length++] = L'\\';
    buffer[length] = L'\0';
  }
  const size_t nameSize = wcslen(kReporterLogFileName) + 1;  // With its null.
  if (length + nameSize > kPathBufferSize) return false;
  wmemcpy(buffer + length, kReporterLogFileName, nameSize);
  path->assign(buffer);
  return true;
}

void initReporterLog() {
  LogCapture::initializeSlot();
  LoggingSettings settings;
  std::wstring path;
  if (reporterLogFilePath(&path)) {
    settings.destination = LOG_TO_FILE;
    settings.logFile = path;
    settings.locking = LOCK_LOG_FILE_ACROSS_PROCESSES;
    settings.oldFile = DELETE_OLD_LOG_FILE;
  } else {
    settings.destination = LOG_TO_SYSTEM_DEBUG_LOG;
  }
  initLogging(settings);
  setLogItems(true, true, true, true);
  setLogMessageHandler(&captureLogMessage, nullptr);
}

}  // namespace tavra
