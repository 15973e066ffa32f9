// One browser process registers two hundred times, keeps the handles of every
// registration it got and signals the dump request of each at once, as a
// compromised renderer might, against the real reporter beside the local
// crash server. The reporter handles one crash of it at a time and refuses
// its registrations meanwhile, each refusal told in its log within a bound;
// every request that it accepted is served, and once everything has settled
// it holds what it held before; the next real crash is handled whole.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testing/browser_client/registration_storm.h"
#include "testing/e2e/browser_process.h"
#include "testing/e2e/reporter_with_crash_server.h"

namespace tavra {
namespace {

constexpr uint32_t kRegistrations = 200;
// Generous bounds for a loaded machine; a passing run takes a fraction.
constexpr DWORD kAnswerTimeoutMs = 120000;
constexpr DWORD kStormTimeoutMs = 240000;
constexpr DWORD kReleaseTimeoutMs = 60000;
constexpr DWORD kSettleTimeoutMs = 120000;
constexpr DWORD kReporterEndTimeoutMs = 60000;
// What the reporter's memory may grow by across the storm: heap slack, and
// what the system's WinInet keeps for the requests of a few reports.
constexpr uint64_t kMemorySlack = 4 * 1024 * 1024;
// The refusals that get a line of their own within a minute
// (lifecycle/registration_refusal_log.h).
constexpr int kRefusalLinesPerMinute = 20;

// The refusals counted in "Registrations refused: N more within a minute"
// lines.
uint32_t countedRefusals(const std::vector<std::string>& lines) {
  const std::string marker = "Registrations refused: ";
  uint32_t count = 0;
  for (const std::string& line : lines) {
    const size_t at = line.find(marker);
    if (at != std::string::npos) count += std::stoul(line.substr(at + marker.size()));
  }
  return count;
}

class RegistrationStormTest : public ::testing::Test {
 protected:
  // Every report so far has arrived and every upload job has ended.
  void settle(size_t reports) {
    ASSERT_TRUE(reporter_.server().waitForReports(reports, kSettleTimeoutMs, nullptr));
    ASSERT_TRUE(reporter_.waitUntilNoCrashFiles(kSettleTimeoutMs)) << "an upload job did not end";
  }

  ReporterWithCrashServer reporter_{L"storm_e2e"};
};

TEST_F(RegistrationStormTest, OneProcessGetsOneCrashHandledAtATimeAndTheReporterComesBack) {
  ReporterOptions options;
  options.keepLogs = false;
  std::string error;
  ASSERT_TRUE(reporter_.start(options, &error)) << error;
  // A clean crash first: the thread pool, WinInet and the C runtime have
  // made what they keep by then, and the figures after it are the baseline.
  size_t reports = 1;
  ASSERT_NO_FATAL_FAILURE(
      crashBrowserProcess(reporter_.reporterPid(), {{"before", "storm"}}, kReleaseTimeoutMs));
  ASSERT_NO_FATAL_FAILURE(settle(reports));
  ProcessFigures baseline;
  ASSERT_TRUE(reporter_.readFigures(&baseline));

  BrowserProcess storm;
  ASSERT_TRUE(storm.start(reporter_.reporterPid()));
  const DWORD began = GetTickCount();
  const std::string line = storm.command(
      "storm " + std::to_string(kRegistrations) + " " + std::to_string(kAnswerTimeoutMs),
      kStormTimeoutMs);
  std::printf("%s in %lu ms\n", line.c_str(), static_cast<unsigned long>(GetTickCount() - began));
  StormOutcome outcome;
  ASSERT_TRUE(parseStorm(line, &outcome)) << line;
  EXPECT_EQ(outcome.failed, 0u) << line;
  EXPECT_EQ(outcome.accepted + outcome.refused, kRegistrations) << line;
  EXPECT_GT(outcome.refused, 0u) << line;
  // Never more than one request of the process in the reporter's hands.
  EXPECT_EQ(outcome.maxOutstanding, 1u) << line;
  // Every registration that it got was served: a report each.
  EXPECT_EQ(outcome.answered, outcome.accepted) << line;
  reports += outcome.accepted;
  ASSERT_NO_FATAL_FAILURE(settle(reports));

  ProcessFigures after;
  const DWORD settling = GetTickCount();
  const bool settled = reporter_.waitForFiguresToSettle(baseline, kMemorySlack, &after);
  std::printf("%s\n%s (%lu ms later)\n", describeFigures("before the storm", baseline).c_str(),
              describeFigures("after the storm", after).c_str(),
              static_cast<unsigned long>(GetTickCount() - settling));
  EXPECT_TRUE(settled) << "the reporter kept more than it held before the storm";

  // The next real crash, of the same process too, is handled whole.
  CrashLine crash;
  ASSERT_TRUE(storm.registerWithReporter());
  ASSERT_TRUE(storm.crash("write", "0", &crash));
  ASSERT_TRUE(storm.waitForExit(kReleaseTimeoutMs, nullptr)) << "not released";
  ++reports;
  ASSERT_NO_FATAL_FAILURE(settle(reports));
  EXPECT_EQ(reporter_.server().reportedIds().size(), reports);

  // Every refusal is told: a line of its own within the bound, the rest
  // counted in one line a minute, the last one when the reporter ends.
  ASSERT_TRUE(reporter_.endBrowserAndReporter(kReporterEndTimeoutMs));
  EXPECT_EQ(reporter_.session().reporterExitCode(), 0u);
  const std::vector<std::string> own =
      reporter_.reporterLogLines("Process " + std::to_string(storm.processId()) +
                                 ": registration refused: a crash of it is being handled");
  const std::vector<std::string> counted = reporter_.reporterLogLines("Registrations refused: ");
  const int minutes = static_cast<int>((GetTickCount() - began) / 60000) + 1;
  EXPECT_LE(static_cast<int>(own.size()), kRefusalLinesPerMinute * minutes);
  EXPECT_LE(static_cast<int>(counted.size()), minutes);
  EXPECT_EQ(own.size() + countedRefusals(counted), outcome.refused);
  // Nothing was dropped or left unhandled.
  EXPECT_TRUE(reporter_.unhandledRequestLines(storm.processId()).empty());
  EXPECT_TRUE(reporter_.reporterLogLines(" of process ").empty());
}

}  // namespace
}  // namespace tavra
