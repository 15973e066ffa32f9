#include "desktop/windows/crash_reporter/crash_data/form_fields.h"

#include <windows.h>

namespace tavra {

const wchar_t kCrashEmailVariable[] = L"TAVRA_CRASH_EMAIL";

std::wstring readCrashEmail() {
  wchar_t buffer[kCrashEmailBufferUnits];
  // Too small a buffer gives the size needed, NUL included: at least 193.
  const DWORD length = GetEnvironmentVariableW(kCrashEmailVariable, buffer, kCrashEmailBufferUnits);
  if (length == 0 || length >= kCrashEmailBufferUnits) return std::wstring();
  return std::wstring(buffer, length);
}

void fillFormFields(const CrashAnnotations& annotations, const std::wstring& stacktraceId,
                    FormFields* fields) {
  if (!stacktraceId.empty()) fields->emplace(L"stacktraceId", stacktraceId);
  fields->emplace(L"email", readCrashEmail());
  fields->emplace(L"userComments", std::wstring());
  fields->emplace(L"TotalUptime", std::wstring());
  // "ptime" holds at most 64 units, so the seconds stay far below the 192
  // units at which they would be dropped.
  fields->emplace(L"CrashUptime", annotations.uptimeSeconds);
  if (!annotations.origin.empty()) fields->emplace(L"origin", annotations.origin);
  if (!annotations.browserProcess) fields->emplace(L"url", annotations.activeUrl);
}

}  // namespace tavra
