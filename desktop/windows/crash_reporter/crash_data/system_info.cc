#include "desktop/windows/crash_reporter/crash_data/system_info.h"

#include <windows.h>

namespace tavra {

SystemInfo captureSystemInfo() {
  SystemInfo info;
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  static_assert(sizeof(OSVERSIONINFOEXW) == 284, "the extended version record");
  if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
    info.osVersion =
        formatDottedDecimal(version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber);
    if (version.wServicePackMajor > 0) {
      info.osServicePackVersion =
          formatDottedDecimal(version.wServicePackMajor, version.wServicePackMinor);
    }
  }

  SYSTEM_INFO processor = {};
  GetNativeSystemInfo(&processor);
  info.cpuArchitecture = formatHex16(processor.wProcessorArchitecture);
  info.cpuLevel = formatHex16(processor.wProcessorLevel);
  info.cpuRevision = formatHex16(processor.wProcessorRevision);
  return info;
}

std::string formatDottedDecimal(uint32_t first, uint32_t second) {
  return std::to_string(first) + "." + std::to_string(second);
}

std::string formatDottedDecimal(uint32_t first, uint32_t second, uint32_t third) {
  return formatDottedDecimal(first, second) + "." + std::to_string(third);
}

std::string formatHex16(uint16_t number) {
  static const char kDigits[] = "0123456789abcdef";
  char digits[4];
  size_t length = 0;
  do {
    digits[length++] = kDigits[number & 0xF];
    number = static_cast<uint16_t>(number >> 4);
  } while (number != 0);
  std::string text = "0x";
  while (length > 0) text.push_back(digits[--length]);
  return text;
}

}  // namespace tavra
