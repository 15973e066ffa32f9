#include "testing/test_support/reporter_file_names.h"

namespace tavra {

const wchar_t kCrashFilePrefix[] = L"tavra-crashlog-";

std::wstring crashFileName(uint32_t reporterPid, uint32_t crash, const wchar_t* extension) {
  return kCrashFilePrefix + std::to_wstring(reporterPid) + L"-" + std::to_wstring(crash) +
         extension;
}

std::wstring feedbackFileName(uint32_t reporterPid, uint32_t crash) {
  return L"crash_feedback_url-" + std::to_wstring(reporterPid) + L"-" + std::to_wstring(crash) +
         L".txt";
}

}  // namespace tavra
