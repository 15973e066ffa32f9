// What the real reporter leaves in its crash directory is no one else's to
// plant or read: the folder that it makes and the crash logs in it are the
// user's alone, and a name that something had before the crash is left as it
// was while the crash takes the next number.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "runtime/file_util.h"
#include "runtime/private_security.h"
#include "runtime/utf_conversion.h"
#include "testing/e2e/browser_process.h"
#include "testing/e2e/reporter_environment.h"
#include "testing/e2e/reporter_session.h"
#include "testing/test_support/crash_log_reader.h"
#include "testing/test_support/reporter_file_names.h"
#include "testing/test_support/test_files.h"
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

const char kPlanted[] = "kept from an earlier run";

TEST(CrashFilesTest, ANameTakenBeforeTheCrashIsLeftAsItWasAndTheCrashFilesArePrivate) {
  // Crash logs are kept, to be read; no crash server listens.
  ReporterEnvironment environment(L"files_e2e");
  ASSERT_TRUE(environment.setUp(ReporterOptions()));
  ASSERT_FALSE(pathExists(environment.logDir()));
  ReporterSession session;
  std::string error;
  ASSERT_TRUE(session.start(L"", &error)) << error;
  const uint32_t reporter = session.reporterPid();

  std::wstring folder;
  std::wstring file;
  ASSERT_TRUE(privateSecuritySddl(PrivateObject::kFolder, &folder));
  ASSERT_TRUE(privateSecuritySddl(PrivateObject::kFile, &file));
  // The reporter made the log folder: the user's alone.
  EXPECT_EQ(accessEntries(accessListOf(environment.logDir())), accessEntries(folder));

  const struct {
    const char* what;
    const wchar_t* extension;
  } cases[] = {{"a crash log", L".txt"}, {"an archive", L".zip"}};
  uint32_t taken = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Each crash finds the next number's name taken and takes the one after.
    taken += 1;
    const uint32_t crash = taken + 1;
    const std::wstring planted =
        joinPath(environment.logDir(), crashFileName(reporter, taken, c.extension));
    ASSERT_TRUE(writeFile(planted, kPlanted));
    const std::wstring plantedAccess = accessListOf(planted);

    BrowserProcess process;
    ASSERT_TRUE(process.start(reporter));
    ASSERT_TRUE(process.registerWithReporter());
    CrashLine line;
    ASSERT_TRUE(process.crash("write", "0", &line));
    DWORD code = 0;
    ASSERT_TRUE(process.waitForExit(10000, &code));

    std::string kept;
    ASSERT_TRUE(readFileToString(planted, &kept));
    EXPECT_EQ(kept, kPlanted);
    EXPECT_EQ(accessListOf(planted), plantedAccess);
    const std::wstring log = joinPath(environment.logDir(), crashFileName(reporter, crash));
    CrashLog parsed;
    ASSERT_TRUE(readCrashLog(log, &parsed, &error)) << error;
    ASSERT_FALSE(parsed.threads.empty());
    EXPECT_EQ(parsed.threads[0].id, line.at("tid"));
    EXPECT_EQ(accessEntries(accessListOf(log)), accessEntries(file));
    taken = crash;
  }

  ASSERT_TRUE(session.endBrowser());
  ASSERT_TRUE(session.reporterEnded(30000));
  // No crash went without its log.
  EXPECT_EQ(environment.reporterLog().find("no crash log"), std::string::npos)
      << environment.reporterLog();
}

}  // namespace
}  // namespace tavra
