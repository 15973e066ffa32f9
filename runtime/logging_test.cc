#include "runtime/logging.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace tavra {
namespace {

struct Recorded {
  int calls = 0;
  LogSeverity severity = 0;
  std::string file;
  int line = 0;
  size_t messageStart = 0;
  std::string fullLine;
};

bool recordLine(void* context, LogSeverity severity, const char* file, int line,
                size_t messageStart, const std::string& fullLine) {
  Recorded* recorded = static_cast<Recorded*>(context);
  ++recorded->calls;
  recorded->severity = severity;
  recorded->file = file != nullptr ? file : "";
  recorded->line = line;
  recorded->messageStart = messageStart;
  recorded->fullLine = fullLine;
  return true;
}

std::string timeStamp(const SYSTEMTIME& time) {
  char buffer[32];
  snprintf(buffer, sizeof(buffer), "%02d%02d/%02d%02d%02d", time.wMonth, time.wDay, time.wHour,
           time.wMinute, time.wSecond);
  return buffer;
}

// Every line is taken by the recorder, so nothing reaches a destination and
// a FATAL line does not end the test.
class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setLogMessageHandler(&recordLine, &recorded_);
    setLogItems(false, false, false, false);
  }
  void TearDown() override {
    setLogMessageHandler(nullptr, nullptr);
    setVlogLevels("", "");
  }
  Recorded recorded_;
};

TEST_F(LoggingTest, PrefixNamesSeverityFileAndLine) {
  // clang-format off
  TAVRA_LOG(INFO) << "hello"; const int infoLine = __LINE__;
  // clang-format on
  EXPECT_EQ("[INFO:logging_test.cc(" + std::to_string(infoLine) + ")] hello\n", recorded_.fullLine);
  EXPECT_EQ(recorded_.fullLine.find("hello"), recorded_.messageStart);
  EXPECT_EQ(LOG_SEVERITY_INFO, recorded_.severity);
  EXPECT_EQ(__FILE__, recorded_.file);
  EXPECT_EQ(infoLine, recorded_.line);

  TAVRA_LOG(WARNING) << "w";
  EXPECT_EQ(0u, recorded_.fullLine.find("[WARNING:logging_test.cc("));
  TAVRA_LOG(ERROR) << "e";
  EXPECT_EQ(0u, recorded_.fullLine.find("[ERROR:logging_test.cc("));
  EXPECT_EQ(LOG_SEVERITY_ERROR, recorded_.severity);
  TAVRA_LOG(FATAL) << "f";
  EXPECT_EQ(0u, recorded_.fullLine.find("[FATAL:logging_test.cc("));

  struct Case {
    const char* file;
    LogSeverity severity;
    const char* expected;
  } cases[] = {
      {"C:\\src\\dir\\a.cc", -2, "[VERBOSE2:a.cc(7)] m\n"},
      {"/work/src/b.cc", -1, "[VERBOSE1:b.cc(7)] m\n"},
      {"c:\\x/y\\z.cc", 4, "[UNKNOWN:z.cc(7)] m\n"},
      {"plain.cc", 100, "[UNKNOWN:plain.cc(7)] m\n"},
      {"d/", INT_MIN, "[VERBOSE2147483648:(7)] m\n"},
      {nullptr, 0, "[INFO:(7)] m\n"},
  };
  for (const Case& c : cases) {
    LogMessage(c.file, 7, c.severity).stream() << "m";
    EXPECT_EQ(c.expected, recorded_.fullLine) << c.severity;
    EXPECT_EQ(recorded_.fullLine.size() - 2, recorded_.messageStart);
  }
  EXPECT_EQ(10, recorded_.calls);
}

// All four items, in order; then each of the first two alone.
TEST_F(LoggingTest, PrefixItems) {
  setLogItems(true, true, true, true);
  SYSTEMTIME before;
  GetLocalTime(&before);
  DWORD tickBefore = GetTickCount();
  LogMessage("x\\y.cc", 42, LOG_SEVERITY_WARNING).stream() << "text";
  DWORD tickAfter = GetTickCount();
  SYSTEMTIME after;
  GetLocalTime(&after);

  const std::string line = recorded_.fullLine;
  std::string head = "[" + std::to_string(GetCurrentProcessId()) + ":" +
                     std::to_string(GetCurrentThreadId()) + ":";
  ASSERT_EQ(head, line.substr(0, head.size())) << line;
  std::string stamp = line.substr(head.size(), 11);
  EXPECT_TRUE(stamp == timeStamp(before) || stamp == timeStamp(after)) << line;
  ASSERT_EQ(':', line[head.size() + 11]);
  size_t tickStart = head.size() + 12;
  size_t tickEnd = line.find(':', tickStart);
  ASSERT_NE(std::string::npos, tickEnd);
  unsigned long tick = std::stoul(line.substr(tickStart, tickEnd - tickStart));
  EXPECT_LE(tickBefore, tick);
  EXPECT_GE(tickAfter, tick);
  EXPECT_EQ(":WARNING:y.cc(42)] text\n", line.substr(tickEnd));
  EXPECT_EQ(line.size() - 5, recorded_.messageStart);

  setLogItems(true, false, false, false);
  LogMessage("f.cc", 1, 0).stream() << "m";
  EXPECT_EQ("[" + std::to_string(GetCurrentProcessId()) + ":INFO:f.cc(1)] m\n", recorded_.fullLine);
  setLogItems(false, true, false, false);
  LogMessage("f.cc", 1, 0).stream() << "m";
  EXPECT_EQ("[" + std::to_string(GetCurrentThreadId()) + ":INFO:f.cc(1)] m\n", recorded_.fullLine);
}

TEST_F(LoggingTest, MessageBytesNeverBreakTheLine) {
  static const char kBytes[] = "nul\0lf\ncr\rbell\x07tab\t\xC3\xA9\xFF end\r\n";
  std::string message(kBytes, sizeof(kBytes) - 1);
  LogMessage("f.cc", 1, 0).stream() << message;
  EXPECT_EQ("[INFO:f.cc(1)] nul\\x00lf\\x0Acr\\x0Dbell\\x07tab\t\xC3\xA9\xFF end\n",
            recorded_.fullLine);

  LogMessage("f.cc", 1, 0).stream() << "";
  EXPECT_EQ("[INFO:f.cc(1)] \n", recorded_.fullLine);

  std::string big(1 << 20, 'z');
  LogMessage("f.cc", 1, 0).stream() << big;
  EXPECT_EQ(recorded_.messageStart + big.size() + 1, recorded_.fullLine.size());
  EXPECT_EQ(recorded_.fullLine.size() - 1, recorded_.fullLine.find('\n'));
}

int clobberLastError() {
  SetLastError(ERROR_ACCESS_DENIED);
  return 7;
}

TEST_F(LoggingTest, SystemErrorIsReadBeforeTheMessageIsBuilt) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  TAVRA_PLOG(ERROR) << "open failed " << clobberLastError();
  std::string message = recorded_.fullLine.substr(recorded_.messageStart);
  EXPECT_EQ(0u, message.find("open failed 7: ")) << message;
  const std::string end = " (0x2)\n";
  ASSERT_GT(message.size(), end.size());
  EXPECT_EQ(end, message.substr(message.size() - end.size()));
  EXPECT_EQ(std::string::npos, message.find("Unknown error"));
  EXPECT_EQ(message.size() - 1, message.find_first_of("\r\n"));
  // Logging leaves the caller's last error as it found it.
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());

  SetLastError(1234);
  TAVRA_LOG(INFO) << "plain";
  EXPECT_EQ(1234u, GetLastError());

  EXPECT_EQ(": Unknown error (0xE0001234)", systemErrorSuffix(0xE0001234));
}

TEST(VlogTest, PatternsAndLevelsPerFile) {
  EXPECT_TRUE(matchVlogPattern("thread_info", "thread_info*"));
  EXPECT_FALSE(matchVlogPattern("ac", "a?c"));
  EXPECT_TRUE(matchVlogPattern("abcabd", "*abd"));  // The star must give back.
  EXPECT_TRUE(matchVlogPattern("a/b\\c", "a\\b/c"));
  EXPECT_TRUE(matchVlogPattern("", "**"));
  EXPECT_FALSE(matchVlogPattern("x", ""));

  setVlogLevels("3",
                "thread_info*=2,thread*=5,module_info_impl=1,bad,=4,x=y,"
                "process_state?impl=0,*/snapshot/*=6");
  EXPECT_EQ(2, vlogLevel("/src/desktop/thread_info_impl.cc"));
  EXPECT_EQ(5, vlogLevel("C:\\src\\thread_pool.cc"));
  EXPECT_EQ(1, vlogLevel("module_info_impl.cc"));
  EXPECT_EQ(3, vlogLevel("module_info_impl_test.cc"));
  EXPECT_EQ(0, vlogLevel("process_state_impl.cc"));
  EXPECT_EQ(6, vlogLevel("C:\\src\\snapshot\\reader.cc"));
  EXPECT_EQ(3, vlogLevel("/src/other/reader.cc"));
  EXPECT_EQ(3, vlogLevel(nullptr));
  setVlogLevels("two", "");
  EXPECT_EQ(0, vlogLevel("any.cc"));
  setVlogLevels("", "");
}

TEST_F(LoggingTest, VerboseMacrosFollowTheLevelAndSkipTheirOperands) {
  int evaluated = 0;
  auto count = [&evaluated] { return ++evaluated; };

  setVlogLevels("1", "");
  TAVRA_VLOG(1) << "one " << count();
  EXPECT_EQ(1, recorded_.calls);
  EXPECT_EQ(-1, recorded_.severity);
  TAVRA_VLOG(2) << "two " << count();
  EXPECT_EQ(1, recorded_.calls);

  setVlogLevels("0", "logging_te?t=2");
  EXPECT_TRUE(TAVRA_VLOG_IS_ON(2));
  TAVRA_VLOG(2) << "two " << count();
  EXPECT_EQ(2, recorded_.calls);
  EXPECT_EQ(0u, recorded_.fullLine.find("[VERBOSE2:logging_test.cc("));
  TAVRA_VLOG(3) << "three " << count();
  TAVRA_LOG_IF(INFO, false) << "never " << count();
  EXPECT_EQ(2, recorded_.calls);
  EXPECT_EQ(2, evaluated);
}

}  // namespace
}  // namespace tavra
