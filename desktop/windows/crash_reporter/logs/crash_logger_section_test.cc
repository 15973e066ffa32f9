#include "desktop/windows/crash_reporter/logs/crash_logger_section.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "desktop/windows/crash_reporter/logs/reporter_log_test_support.h"
#include "runtime/file_util.h"
#include "runtime/logging.h"
#include "testing/test_support/scoped_current_directory.h"

namespace tavra {
namespace {

using testing_support::ScopedTempDir;

// The capture is the message handler, as the reporter sets it up; crash logs
// are written into a fresh current directory, by relative name, as the crash
// pipeline does.
class CrashLoggerSectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    ASSERT_TRUE(currentDirectory_.enter(dir_.path()));
    setLogItems(true, true, true, true);
    setLogMessageHandler(&captureLogMessage, nullptr);
  }
  void TearDown() override { setLogMessageHandler(nullptr, nullptr); }

  std::string readFile(const wchar_t* name) {
    std::string contents;
    EXPECT_TRUE(readFileToString(joinPath(dir_.path(), name), &contents));
    return contents;
  }

  ScopedTempDir dir_;
  ScopedCurrentDirectory currentDirectory_;
};

TEST_F(CrashLoggerSectionTest, AppendWritesHeadingAndTextWithCrLf) {
  ASSERT_TRUE(writeFile(joinPath(dir_.path(), L"crash.txt"), "crash log body\n"));
  LogCapture capture;
  // Nothing captured: the crash log gets no section, a missing one no file.
  EXPECT_TRUE(appendCrashLoggerSection(&capture, "crash.txt"));
  EXPECT_EQ("crash log body\n", readFile(L"crash.txt"));
  EXPECT_TRUE(appendCrashLoggerSection(&capture, "never_written.txt"));
  EXPECT_FALSE(pathExists(joinPath(dir_.path(), L"never_written.txt")));

  LogMessage("C:\\src\\snapshot.cc", 12, LOG_SEVERITY_ERROR).stream() << "one";
  LogMessage("C:\\src\\snapshot.cc", 13, LOG_SEVERITY_INFO).stream() << "two";
  ASSERT_TRUE(appendCrashLoggerSection(&capture, "crash.txt"));
  const std::string expected =
      "crash log body\n"
      "\r\nCrash Logger:\r\n"
      "snapshot.cc:12:one\r\n"
      "snapshot.cc:13:two\r\n";
  EXPECT_EQ(expected, readFile(L"crash.txt"));
  EXPECT_EQ("", capture.text());

  // The text went with the first append: a second one adds nothing.
  EXPECT_TRUE(appendCrashLoggerSection(&capture, "crash.txt"));
  EXPECT_EQ(expected, readFile(L"crash.txt"));

  // Messages after the append are captured anew.
  LogMessage("x.cc", 1, 0).stream() << "later";
  EXPECT_EQ("x.cc:1:later\n", capture.text());
}

TEST_F(CrashLoggerSectionTest, FailedAppendKeepsTheText) {
  LogCapture capture;
  LogMessage("s.cc", 1, 0).stream() << "kept";
  EXPECT_FALSE(appendCrashLoggerSection(&capture, "no_such_dir\\crash.txt"));
  EXPECT_FALSE(appendCrashLoggerSection(&capture, nullptr));
  // A crash log that has gone is not made anew.
  EXPECT_FALSE(appendCrashLoggerSection(&capture, "gone.txt"));
  EXPECT_FALSE(pathExists(joinPath(dir_.path(), L"gone.txt")));
  // A directory in the way of the crash log.
  ASSERT_TRUE(CreateDirectoryW(joinPath(dir_.path(), L"busy.txt").c_str(), nullptr));
  EXPECT_FALSE(appendCrashLoggerSection(&capture, "busy.txt"));
  EXPECT_EQ("s.cc:1:kept\n", capture.text());

  ASSERT_TRUE(writeFile(joinPath(dir_.path(), L"crash.txt"), ""));
  ASSERT_TRUE(appendCrashLoggerSection(&capture, "crash.txt"));
  EXPECT_EQ("\r\nCrash Logger:\r\ns.cc:1:kept\r\n", readFile(L"crash.txt"));
}

}  // namespace
}  // namespace tavra
