#include "desktop/windows/crash_reporter/crash_data/system_info.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace tavra {
namespace {

TEST(SystemInfoFormatTest, HexHasNoLeadingZerosAndLowerCaseDigits) {
  struct Case {
    uint16_t number;
    const char* text;
  };
  const Case cases[] = {{0, "0x0"},     {9, "0x9"},         {0x6, "0x6"},      {0x10, "0x10"},
                        {0xab, "0xab"}, {0x3a09, "0x3a09"}, {0x0f00, "0xf00"}, {0xffff, "0xffff"}};
  for (const Case& c : cases) EXPECT_EQ(c.text, formatHex16(c.number)) << c.number;
}

// "0x" and lower-case hex without leading zeros, read back as a number.
long parseHex(const std::string& text) {
  EXPECT_GT(text.size(), 2u) << text;
  EXPECT_EQ(0u, text.find("0x")) << text;
  EXPECT_EQ(std::string::npos, text.find_first_not_of("0123456789abcdef", 2)) << text;
  EXPECT_TRUE(text.size() == 3 || text[2] != '0') << text;
  return std::strtol(text.c_str() + 2, nullptr, 16);
}

TEST(SystemInfoTest, DescribesWhatTheSystemReports) {
  const SystemInfo info = captureSystemInfo();

  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  ASSERT_TRUE(GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)));
  EXPECT_EQ(std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) +
                "." + std::to_string(version.dwBuildNumber),
            info.osVersion);
  if (version.wServicePackMajor > 0) {
    EXPECT_EQ(
        std::to_string(version.wServicePackMajor) + "." + std::to_string(version.wServicePackMinor),
        info.osServicePackVersion);
  } else {
    EXPECT_EQ("", info.osServicePackVersion);
  }

  SYSTEM_INFO processor = {};
  GetNativeSystemInfo(&processor);
  EXPECT_EQ(processor.wProcessorArchitecture, parseHex(info.cpuArchitecture));
  EXPECT_EQ(processor.wProcessorLevel, parseHex(info.cpuLevel));
  EXPECT_EQ(processor.wProcessorRevision, parseHex(info.cpuRevision));
  // The native processor, not the one that a 32-bit program is shown.
  SYSTEM_INFO emulated = {};
  GetSystemInfo(&emulated);
  BOOL wow64 = FALSE;
  if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) {
    EXPECT_NE(emulated.wProcessorArchitecture, parseHex(info.cpuArchitecture));
  }
}

}  // namespace
}  // namespace tavra
