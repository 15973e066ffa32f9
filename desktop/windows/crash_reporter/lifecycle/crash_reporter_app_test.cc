#include "desktop/windows/crash_reporter/lifecycle/crash_reporter_app.h"

#include <gtest/gtest.h>

#include <cwchar>

#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/path_service.h"
#include "runtime/scoped_temp_dir.h"

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
  // A name that does not fit is refused, and the buffer still ends in NUL.
  EXPECT_FALSE(buildHandshakeName(L"APrefixThatIsFarTooLongForTheNameBuffer", 1, name));
  EXPECT_EQ(L'\0', name[kHandshakeNameLength - 1]);
  EXPECT_LT(wcslen(name), kHandshakeNameLength);
}

TEST(CrashReporterProcessTest, SecondCommandLineInitialisationEndsWithMinusOne) {
  ASSERT_TRUE(CommandLine::initForCurrentProcess());
  EXPECT_EQ(-1, runCrashReporterProcess());
}

TEST(CrashReporterProcessTest, UnusableLocalizationFolderEndsWithMinusOne) {
  // The module folder answers with a folder whose "localization" is a file,
  // so the folder cannot be made.
  ScopedTempDir temp(L"app_test");
  ASSERT_TRUE(temp.isValid());
  ASSERT_TRUE(writeFile(joinPath(temp.path(), L"localization"), "not a folder"));
  ASSERT_TRUE(PathService::overridePath(DIR_MODULE, temp.path()));
  CommandLine::resetForCurrentProcess();
  EXPECT_EQ(-1, runCrashReporterProcess());
  PathService::resetForTesting();
}

TEST(CrashReporterProcessTest, MissingParentIdEndsWithZero) {
  // The test program's own command line has no parent id: the main routine
  // fails at once, and the process still ends with 0.
  ScopedTempDir temp(L"app_test");
  ASSERT_TRUE(temp.isValid());
  ASSERT_TRUE(PathService::overridePath(DIR_MODULE, temp.path()));
  CommandLine::resetForCurrentProcess();
  EXPECT_EQ(0, runCrashReporterProcess());
  EXPECT_TRUE(directoryExists(joinPath(temp.path(), L"localization")));
  PathService::resetForTesting();
}

}  // namespace
}  // namespace tavra
