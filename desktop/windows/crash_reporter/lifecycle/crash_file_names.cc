#include "desktop/windows/crash_reporter/lifecycle/crash_file_names.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "desktop/windows/crash_reporter/upload/report_archive.h"

namespace tavra {
namespace {

volatile LONG g_crashNumber = 0;

}  // namespace

uint32_t nextCrashNumber() { return static_cast<uint32_t>(InterlockedIncrement(&g_crashNumber)); }

std::wstring insertBeforeExtension(const std::wstring& path, const std::wstring& suffix) {
  const size_t separator = path.find_last_of(L"\\/");
  const size_t nameStart = separator == std::wstring::npos ? 0 : separator + 1;
  const size_t dot = path.rfind(L'.');
  if (dot == std::wstring::npos || dot < nameStart) return path + suffix;
  std::wstring result = path;
  result.insert(dot, suffix);
  return result;
}

CrashFileNames::CrashFileNames(uint32_t reporterProcessId, uint32_t crashNumber,
                               const ReporterSettings& settings)
    : crashNumber_(crashNumber), sharedFeedbackFile_(settings.feedbackFile) {
  // Two numbers of at most ten digits each keep the name well within this.
  char logName[64];
  std::snprintf(logName, sizeof(logName), "tavra-crashlog-%u-%lu.txt",
                static_cast<unsigned>(reporterProcessId), static_cast<unsigned long>(crashNumber));
  logName_ = logName;
  archiveName_ = archiveNameFor(logName_);
  if (settings.logDirFromEnv && !settings.feedbackFile.empty()) {
    wchar_t suffix[32];
    std::swprintf(suffix, sizeof(suffix) / sizeof(suffix[0]), L"-%u-%lu",
                  static_cast<unsigned>(reporterProcessId),
                  static_cast<unsigned long>(crashNumber));
    feedbackPath_ = insertBeforeExtension(settings.feedbackFile, suffix);
  }
}

CrashFileNames CrashFileNames::forNextCrash(const ReporterSettings& settings,
                                            CrashNumberSource nextNumber) {
  return CrashFileNames(GetCurrentProcessId(), nextNumber(), settings);
}

}  // namespace tavra
