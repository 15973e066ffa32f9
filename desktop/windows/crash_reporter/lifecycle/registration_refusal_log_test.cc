#include "desktop/windows/crash_reporter/lifecycle/registration_refusal_log.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "desktop/windows/crash_reporter/lifecycle/uncaptured_log_lines_test_support.h"
#include "runtime/target_width.h"

namespace tavra {
namespace {

TEST(RegistrationRefusalLogTest, LinesNameTheProcessTheReasonAndAnotherSender) {
  // Each reporter names the width it serves, and the one it was sent.
  const bool serves64 = kTargetArchitecture == Architecture::kX8664;
  const std::string otherLayout =
      serves64 ? "Process 31: registration refused: it sent the 32-bit registration; this "
                 "reporter serves 64-bit processes"
               : "Process 31: registration refused: it sent the 64-bit registration; this "
                 "reporter serves 32-bit processes";
  const std::string otherProcess =
      serves64 ? "Process 32: registration refused: it is not a 64-bit process; this reporter "
                 "serves 64-bit processes"
               : "Process 32: registration refused: it is not a 32-bit process; this reporter "
                 "serves 32-bit processes";
  const struct {
    RefusalReason reason;
    uint32_t processId;
    uint32_t connectedProcessId;
    std::string line;
  } cases[] = {
      {RefusalReason::OtherWidthRegistration, 31, 31, otherLayout},
      {RefusalReason::OtherWidthProcess, 32, 32, otherProcess},
      {RefusalReason::CrashBeingHandled, 123, 123,
       "Process 123: registration refused: a crash of it is being handled"},
      {RefusalReason::NotTheConnectedProcess, 456, 123,
       "Process 456: registration refused: another process sent it (sent by process 123)"},
      {RefusalReason::ClientProcessUnknown, 456, 0,
       "Process 456: registration refused: the system cannot tell which process sent it"},
      {RefusalReason::Malformed, 0, 77,
       "Registration refused: not a well-formed registration (sent by process 77)"},
      {RefusalReason::TooManyRecords, 9, 9,
       "Process 9: registration refused: the bound on registered processes is reached"},
  };
  for (const auto& c : cases) {
    RegistrationRefusal refusal;
    refusal.reason = c.reason;
    refusal.processId = c.processId;
    refusal.connectedProcessId = c.connectedProcessId;
    EXPECT_EQ(c.line, describeRegistrationRefusal(refusal));
  }
}

DWORD fakeNow = 0;
DWORD WINAPI fakeClock() { return fakeNow; }

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(RegistrationRefusalLogTest, AStormGetsABoundedNumberOfLinesAndItsCountOncePerMinute) {
  const uint32_t bound = RegistrationRefusalLog::kLinesPerMinute;
  const std::string kOwnLine = "WARNING:Process 42: registration refused: ";
  const struct {
    const char* what;
    // Refusals from `startMs` on, `stepMs` apart.
    uint32_t refusals;
    DWORD startMs;
    DWORD stepMs;
    // What the log holds once it is gone.
    size_t ownLines;
    const char* summaries;
  } cases[] = {
      {"a few", 3, 5, 1, 3, ""},
      {"exactly the bound", bound, 5, 1, bound, ""},
      {"a storm within a minute", 500, 5, 1, bound,
       "WARNING:Registrations refused: 480 more within a minute, not logged one by one\n"},
      // One a second for three minutes and a bit: each minute gets its
      // twenty lines and its count, the last one when the log goes.
      {"a storm over minutes", 200, 5, 1000, 4 * bound,
       "WARNING:Registrations refused: 40 more within a minute, not logged one by one\n"
       "WARNING:Registrations refused: 40 more within a minute, not logged one by one\n"
       "WARNING:Registrations refused: 40 more within a minute, not logged one by one\n"},
      // The tick count wraps around during the minute.
      {"across the tick count's wrap", 30, 0xFFFFFFF0u, 1, bound,
       "WARNING:Registrations refused: 10 more within a minute, not logged one by one\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::UncapturedLogLines lines;
    fakeNow = c.startMs;
    {
      RegistrationRefusalLog log(&fakeClock);
      RegistrationRefusal refusal;
      refusal.reason = RefusalReason::CrashBeingHandled;
      refusal.processId = 42;
      refusal.connectedProcessId = 42;
      for (uint32_t i = 0; i < c.refusals; ++i) {
        log.note(refusal);
        fakeNow += c.stepMs;
      }
      if (c.stepMs == 1) {
        // Nothing more is told within the minute.
        EXPECT_EQ(std::string::npos, lines.text().find("Registrations refused:"));
      }
    }
    const std::string text = lines.text();
    EXPECT_EQ(c.ownLines, countOf(text, kOwnLine)) << text;
    std::string summaries;
    for (size_t at = text.find("WARNING:Registrations refused:"); at != std::string::npos;
         at = text.find("WARNING:Registrations refused:", at + 1)) {
      summaries += text.substr(at, text.find('\n', at) + 1 - at);
    }
    EXPECT_EQ(c.summaries, summaries);
  }
}

}  // namespace
}  // namespace tavra
