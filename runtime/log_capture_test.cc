#include "runtime/log_capture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "runtime/logging.h"

namespace tavra {
namespace {

// The capture is the message handler, as the reporter sets it up.
class LogCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setLogItems(true, true, true, true);
    setLogMessageHandler(&captureLogMessage, nullptr);
  }
  void TearDown() override { setLogMessageHandler(nullptr, nullptr); }
};

TEST_F(LogCaptureTest, TakesBaseNameLineAndMessageOfItsThread) {
  EXPECT_EQ(nullptr, LogCapture::current());
  LogCapture capture;
  EXPECT_EQ(&capture, LogCapture::current());
  // clang-format off
  TAVRA_LOG(INFO) << "first"; const int firstLine = __LINE__;
  // clang-format on
  LogMessage("C:\\build\\src\\snapshot.cc", 12, LOG_SEVERITY_ERROR).stream() << "second";
  LogMessage("/build/src/unix_style.cc", 3, -2).stream() << "third\n";
  // Taken by the capture, a FATAL message does not end the process.
  LogMessage("fatal.cc", 9, LOG_SEVERITY_FATAL).stream() << "fourth";
  EXPECT_EQ("log_capture_test.cc:" + std::to_string(firstLine) +
                ":first\n"
                "snapshot.cc:12:second\n"
                "unix_style.cc:3:third\n"
                "fatal.cc:9:fourth\n",
            capture.text());

  // Called directly, a bad offset still gives a whole line.
  EXPECT_TRUE(captureLogMessage(nullptr, 0, nullptr, 5, 100, "short\n"));
  EXPECT_EQ(":5:\n", capture.text().substr(capture.text().size() - 4));
}

TEST_F(LogCaptureTest, NestedCapturesRestoreThePreviousOne) {
  {
    LogCapture outer;
    LogMessage("a.cc", 1, 0).stream() << "outer before";
    {
      LogCapture inner;
      EXPECT_EQ(&inner, LogCapture::current());
      LogMessage("a.cc", 2, 0).stream() << "inner";
      EXPECT_EQ("a.cc:2:inner\n", inner.text());
    }
    EXPECT_EQ(&outer, LogCapture::current());
    LogMessage("a.cc", 3, 0).stream() << "outer after";
    EXPECT_EQ("a.cc:1:outer before\na.cc:3:outer after\n", outer.text());
  }
  EXPECT_EQ(nullptr, LogCapture::current());
  EXPECT_FALSE(captureLogMessage(nullptr, 0, "a.cc", 4, 0, "gone\n"));
}

TEST_F(LogCaptureTest, CaptureEndedOutOfOrderLeavesNoDanglingLink) {
  auto outer = std::make_unique<LogCapture>();
  auto inner = std::make_unique<LogCapture>();
  outer.reset();  // Ends first, while the inner one is current.
  EXPECT_EQ(inner.get(), LogCapture::current());
  LogMessage("a.cc", 1, 0).stream() << "still captured";
  EXPECT_EQ("a.cc:1:still captured\n", inner->text());
  inner.reset();
  // The inner capture must not bring the ended outer one back.
  EXPECT_EQ(nullptr, LogCapture::current());
}

TEST_F(LogCaptureTest, MessageWithLineEndsStaysOneCapturedLine) {
  LogCapture capture;
  LogMessage("a.cc", 7, LOG_SEVERITY_ERROR).stream()
      << "forged\n[1:2:0101/000000:3:INFO:x.cc(1)] line";
  EXPECT_EQ("a.cc:7:forged\\x0A[1:2:0101/000000:3:INFO:x.cc(1)] line\n", capture.text());
}

TEST_F(LogCaptureTest, ConcurrentCapturesKeepTheirOwnThreadsMessages) {
  const int kMessages = 200;
  std::string otherText;
  LogCapture mine;
  std::thread other([&] {
    LogCapture theirs;
    for (int i = 0; i < kMessages; ++i) LogMessage("b.cc", i, 0).stream() << "other";
    otherText = theirs.text();
  });
  for (int i = 0; i < kMessages; ++i) LogMessage("a.cc", i, 0).stream() << "mine";
  other.join();

  std::string expectedMine;
  std::string expectedOther;
  for (int i = 0; i < kMessages; ++i) {
    expectedMine += "a.cc:" + std::to_string(i) + ":mine\n";
    expectedOther += "b.cc:" + std::to_string(i) + ":other\n";
  }
  EXPECT_EQ(expectedMine, mine.text());
  EXPECT_EQ(expectedOther, otherText);
}

}  // namespace
}  // namespace tavra
