#include "desktop/windows/crash_reporter/crash_data/process_memory_reader.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "testing/browser_client/memory_edge.h"
#include "testing/test_support/text_occurrences.h"

namespace tavra {
namespace {

TargetAddress addressOf(const void* pointer) {
  return static_cast<TargetAddress>(reinterpret_cast<uintptr_t>(pointer));
}

// The first pages are never mapped.
constexpr TargetAddress kUnreadable = 0x10;

// The reader logs through the capture of the test's thread, as it does in
// the reporter through the capture of the crash's thread.
class ProcessMemoryReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { setLogMessageHandler(&captureLogMessage, nullptr); }
  void TearDown() override { setLogMessageHandler(nullptr, nullptr); }

  ProcessMemoryReader reader_{GetCurrentProcess()};
  const TargetAddress edge_ = findEndOfReadableMemory();
};

TEST_F(ProcessMemoryReaderTest, ReadsBytesIntoOneBufferThatOnlyGrows) {
  const char text[] = "the quick brown fox jumps over the lazy dog";
  LogCapture capture;
  uint32_t bytesRead = 99;
  const uint8_t* first = reader_.read(addressOf(text), sizeof(text), &bytesRead);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(sizeof(text), bytesRead);
  EXPECT_EQ(0, std::memcmp(first, text, sizeof(text)));
  EXPECT_EQ(sizeof(text), reader_.capacity());

  // A shorter read reuses the buffer.
  const uint8_t* second = reader_.read(addressOf(text + 4), 5, &bytesRead);
  EXPECT_EQ(first, second);
  EXPECT_EQ(5u, bytesRead);
  EXPECT_EQ(0, std::memcmp(second, "quick", 5));
  EXPECT_EQ(sizeof(text), reader_.capacity());

  // A failed read leaves the capacity alone.
  EXPECT_EQ(nullptr, reader_.read(kUnreadable, 4, &bytesRead));
  EXPECT_EQ(sizeof(text), reader_.capacity());

  // A longer one grows it.
  std::string big(1000, 'x');
  const uint8_t* third = reader_.read(addressOf(big.data()), 1000, &bytesRead);
  ASSERT_NE(nullptr, third);
  EXPECT_EQ(1000u, bytesRead);
  EXPECT_EQ(1000u, reader_.capacity());
  EXPECT_EQ(1u, reader_.errorCount());
}

TEST_F(ProcessMemoryReaderTest, FailedReadsAreLoggedWithAddressSizeAndCount) {
  struct Case {
    const char* what;
    TargetAddress address;
    uint32_t length;
  };
  ASSERT_NE(0u, edge_);
  const Case cases[] = {
      {"unmapped memory", kUnreadable, 16},
      {"across the end of committed memory", edge_ - 8, 16},
      {"the first page", 0x2000, 4},
      // The system reports success with nothing read: not a read.
      {"zero bytes", edge_ - 4, 0},
  };
  uint32_t failures = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture capture;
    uint32_t bytesRead = 77;
    EXPECT_EQ(nullptr, reader_.read(c.address, c.length, &bytesRead));
    EXPECT_EQ(0u, bytesRead);
    EXPECT_EQ(++failures, reader_.errorCount());
    std::ostringstream expected;
    expected << "ReadProcessMemory failed for address 0x " << std::hex << c.address << " and size "
             << std::dec << c.length << ", bytes_read=";
    EXPECT_EQ(1u, occurrences(capture.text(), expected.str())) << capture.text();
    EXPECT_EQ(1u, occurrences(capture.text(), "\n")) << capture.text();
  }
}

TEST_F(ProcessMemoryReaderTest, LogsTheFirstHundredFailuresThenTheLimitOnce) {
  LogCapture capture;
  const std::string failure = "ReadProcessMemory failed for address";
  const std::string limit = "Reached limit of logged memory read errors";
  for (int i = 1; i <= 150; ++i) {
    uint32_t bytesRead = 0;
    ASSERT_EQ(nullptr, reader_.read(kUnreadable, 4, &bytesRead));
    if (i == 99) {
      EXPECT_EQ(0u, occurrences(capture.text(), limit));
    }
    if (i == 100) {
      // The limit entry follows the hundredth failure at once.
      const std::string& text = capture.text();
      const size_t lastLineStart = text.rfind('\n', text.size() - 2) + 1;
      EXPECT_NE(std::string::npos, text.find(limit, lastLineStart)) << text.substr(lastLineStart);
    }
  }
  EXPECT_EQ(150u, reader_.errorCount());
  EXPECT_EQ(100u, occurrences(capture.text(), failure));
  EXPECT_EQ(1u, occurrences(capture.text(), limit));
  EXPECT_EQ(101u, occurrences(capture.text(), "\n"));
  const size_t limitAt = capture.text().find(limit);
  EXPECT_EQ(std::string::npos, capture.text().find(failure, limitAt));
}

TEST_F(ProcessMemoryReaderTest, RefusesReadsAboveItsBoundWithoutLogging) {
  LogCapture capture;
  uint32_t bytesRead = 5;
  EXPECT_EQ(nullptr, reader_.read(edge_ - 4, ProcessMemoryReader::kMaxReadLength + 1, &bytesRead));
  EXPECT_EQ(nullptr, reader_.read(edge_ - 4, 0xFFFFFFFF, &bytesRead));
  EXPECT_EQ(0u, bytesRead);
  EXPECT_EQ(0u, reader_.capacity());
  EXPECT_EQ(0u, reader_.errorCount());
  EXPECT_EQ("", capture.text());

  // Below the bound, reads work.
  EXPECT_NE(nullptr, reader_.read(edge_ - 4, 4, &bytesRead));
  EXPECT_EQ(4u, bytesRead);
}

}  // namespace
}  // namespace tavra
