#include "desktop/windows/crash_reporter/crash_reporter_app.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace tavra {
namespace {

TEST(ParentProcessIdTest, OnlyPlainDecimalNumbersWithinThirtyTwoBits) {
  EXPECT_EQ(4321u, parseParentProcessId("4321"));
  EXPECT_EQ(4294967295u, parseParentProcessId("4294967295"));
  EXPECT_EQ(7u, parseParentProcessId("0007"));
  for (const char* bad : {"", "0", "12a", "-5", "+5", " 5", "5 ", "4294967296", "0x10",
                          "99999999999999999999999", "１２"}) {
    EXPECT_EQ(0u, parseParentProcessId(bad)) << bad;
  }
}

TEST(HandshakeNameTest, NamesCarryTheProcessId) {
  wchar_t name[kHandshakeNameLength];
  ASSERT_TRUE(buildHandshakeName(kReadyEventPrefix, 4321, name));
  EXPECT_STREQ(L"TavraCrashReporterInitEvent4321", name);
  ASSERT_TRUE(buildHandshakeName(kPipeNamePrefix, 17, name));
  EXPECT_STREQ(L"\\\\.\\pipe\\TavraCrashReporter17", name);
}

TEST(HandshakeNameTest, TheLargestIdStillFits) {
  wchar_t name[kHandshakeNameLength];
  ASSERT_TRUE(buildHandshakeName(kReadyEventPrefix, 4294967295u, name));
  EXPECT_STREQ(L"TavraCrashReporterInitEvent4294967295", name);
  EXPECT_EQ(kHandshakeNameLength - 1, wcslen(name));
  ASSERT_TRUE(buildHandshakeName(kPipeNamePrefix, 4294967295u, name));
  EXPECT_EQ(kHandshakeNameLength - 1, wcslen(name));
}

TEST(HandshakeNameTest, ALongerPrefixIsCutAndTerminated) {
  wchar_t name[kHandshakeNameLength];
  buildHandshakeName(L"APrefixThatIsFarTooLongForTheNameBuffer", 1, name);
  EXPECT_EQ(L'\0', name[kHandshakeNameLength - 1]);
  EXPECT_LT(wcslen(name), kHandshakeNameLength);
}

}  // namespace
}  // namespace tavra
