// Many crashes in a row, each from a new browser process, against the local
// crash server: every report arrives, and the reporter's handles, threads and
// memory after the soak are back to where they were after the first few
// crashes.
//
// TAVRA_SOAK_CRASHES sets the number of crashes (default 100; tools/soak.sh
// runs 500).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "runtime/utf_conversion.h"
#include "testing/e2e/browser_process.h"
#include "testing/e2e/reporter_with_crash_server.h"
#include "testing/test_support/crash_log_reader.h"
#include "testing/test_support/scoped_environment_variable.h"

namespace tavra {
namespace {

constexpr uint32_t kDefaultCrashes = 100;
// The crashes before the figures that the end is compared with: the thread
// pool, WinInet and the C runtime have made what they keep by then.
constexpr uint32_t kWarmUpCrashes = 10;
constexpr uint32_t kTrendInterval = 50;
constexpr DWORD kReleaseTimeoutMs = 60000;
constexpr DWORD kSettleTimeoutMs = 120000;
// What the reporter's memory may grow by after the warm-up: heap slack, and
// the few hundred bytes that this system's WinInet keeps for each request
// (two per crash). A KiB or more per crash is a leak.
constexpr uint64_t kMemorySlackBase = 1024 * 1024;
constexpr uint64_t kMemorySlackPerCrash = 1024;

uint32_t crashCount() {
  const std::wstring value = environmentVariable(L"TAVRA_SOAK_CRASHES", 31);
  if (value.empty()) return kDefaultCrashes;
  const unsigned long count = wcstoul(value.c_str(), nullptr, 10);
  return count > kWarmUpCrashes ? static_cast<uint32_t>(count) : kDefaultCrashes;
}

// The number in the soak_seq="N" line of a crash log's metadata, or -1.
long soakSequence(const std::string& crashLog) { return metadataNumber(crashLog, "soak_seq"); }

class CrashSoakTest : public ::testing::Test {
 protected:
  // One new browser process registers, crashes for real and is released.
  void crashOnce(uint32_t sequence) {
    crashBrowserProcess(reporter_.reporterPid(),
                        {{"soak_seq", std::to_string(sequence)},
                         {"crash_guid", "soak-" + std::to_string(sequence)}},
                        kReleaseTimeoutMs);
  }

  // Waits until the server has stored `count` reports and every upload job
  // has ended.
  void settle(uint32_t count) {
    ASSERT_TRUE(reporter_.server().waitForReports(count, kSettleTimeoutMs, nullptr));
    ASSERT_TRUE(reporter_.waitUntilNoCrashFiles(kSettleTimeoutMs));
  }

  ReporterWithCrashServer reporter_{L"soak_e2e"};
};

TEST_F(CrashSoakTest, EveryReportArrivesAndTheReporterDoesNotGrow) {
  const uint32_t crashes = crashCount();
  ReporterOptions options;
  options.keepLogs = false;
  std::string error;
  ASSERT_TRUE(reporter_.start(options, &error)) << error;

  ProcessFigures start;
  ASSERT_TRUE(reporter_.readFigures(&start));
  const DWORD began = GetTickCount();
  for (uint32_t i = 1; i <= kWarmUpCrashes; ++i) ASSERT_NO_FATAL_FAILURE(crashOnce(i));
  ASSERT_NO_FATAL_FAILURE(settle(kWarmUpCrashes));
  ProcessFigures warm;
  ASSERT_TRUE(reporter_.readFigures(&warm));
  std::printf("%s\n", describeFigures("after start-up", start).c_str());
  std::printf(
      "%s\n",
      describeFigures("after " + std::to_string(kWarmUpCrashes) + " crashes", warm).c_str());

  for (uint32_t i = kWarmUpCrashes + 1; i <= crashes; ++i) {
    SCOPED_TRACE(i);
    ASSERT_NO_FATAL_FAILURE(crashOnce(i));
    // The trend, for the reader: a leak grows in steps with the crashes.
    if (i % kTrendInterval == 0 && i != crashes) {
      ProcessFigures now;
      if (reporter_.readFigures(&now)) {
        std::printf("%s\n",
                    describeFigures("after " + std::to_string(i) + " crashes", now).c_str());
      }
    }
  }
  ASSERT_NO_FATAL_FAILURE(settle(crashes));
  const DWORD tookMs = GetTickCount() - began;
  ProcessFigures right;
  ASSERT_TRUE(reporter_.readFigures(&right));
  ProcessFigures end;
  const DWORD settling = GetTickCount();
  const bool settled = reporter_.waitForFiguresToSettle(
      warm, kMemorySlackBase + kMemorySlackPerCrash * (crashes - kWarmUpCrashes), &end);
  const DWORD settledMs = GetTickCount() - settling;

  std::printf("%s\n", describeFigures("after start-up", start).c_str());
  std::printf(
      "%s\n",
      describeFigures("after " + std::to_string(kWarmUpCrashes) + " crashes", warm).c_str());
  std::printf(
      "%s\n",
      describeFigures("right after " + std::to_string(crashes) + " crashes", right).c_str());
  std::printf("%s\n", describeFigures("after " + std::to_string(crashes) + " crashes and " +
                                          std::to_string(settledMs) + " ms",
                                      end)
                          .c_str());
  std::printf(
      "peak working set %llu KiB, peak virtual %llu KiB; %u crashes in %lu ms (%.0f ms "
      "each)\n",
      static_cast<unsigned long long>(end.peakWorkingSetBytes / 1024),
      static_cast<unsigned long long>(end.peakPagefileBytes / 1024), crashes,
      static_cast<unsigned long>(tookMs), static_cast<double>(tookMs) / crashes);

  EXPECT_TRUE(settled) << "the reporter grew during the soak";

  // Every crash was reported exactly once.
  const std::vector<std::wstring> ids = reporter_.server().reportedIds();
  EXPECT_EQ(ids.size(), crashes);
  std::set<long> sequences;
  for (const std::wstring& id : ids) {
    std::string crashLog;
    ASSERT_TRUE(reporter_.server().readReportFile(id, L"crashlog.txt", &crashLog))
        << wideToUtf8(id);
    EXPECT_TRUE(sequences.insert(soakSequence(crashLog)).second) << soakSequence(crashLog);
  }
  EXPECT_EQ(sequences.size(), crashes);
  EXPECT_EQ(*sequences.begin(), 1);
  EXPECT_EQ(*sequences.rbegin(), static_cast<long>(crashes));

  ASSERT_TRUE(reporter_.endBrowserAndReporter(60000));
  EXPECT_EQ(reporter_.session().reporterExitCode(), 0u);
  EXPECT_TRUE(reporter_.reporterLogLines(" of process ").empty());
}

}  // namespace
}  // namespace tavra
