// Many reports while the crash server holds every upload up: the real
// reporter posts only a few at once, keeps the next ones waiting in order
// with their logs on disk, drops what lies beyond its queue with a line in
// its log, and still ends once the queue has drained.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "runtime/file_util.h"
#include "testing/e2e/browser_process.h"
#include "testing/e2e/reporter_with_crash_server.h"
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

// The reporter's own bounds, spelled out: two uploads at once, 32 waiting.
constexpr uint32_t kInFlight = 2;
constexpr uint32_t kTaken = kInFlight + 32;
// Two reports more than the queue takes.
constexpr uint32_t kCrashes = kTaken + 2;
// The server holds each upload's answer this long after storing it: far
// longer than the crashes take (a few seconds), within the upload's stall
// time-out of 60 s.
const char kHeldUploads[] = "hold:50";
constexpr DWORD kDrainTimeoutMs = 180000;
constexpr DWORD kReporterEndTimeoutMs = 60000;

TEST(UploadQueueTest, AFewUploadsRunAtOnceAndAReportBeyondTheQueueIsDroppedWithItsLine) {
  ReporterWithCrashServer reporter(L"queue_e2e");
  ReporterOptions options;
  options.keepLogs = false;
  std::string error;
  ASSERT_TRUE(reporter.start(options, &error)) << error;
  ASSERT_TRUE(reporter.server().setUploadMode(kHeldUploads));

  // One browser process asks for one report after another.
  BrowserProcess process;
  ASSERT_TRUE(process.start(reporter.reporterPid()));
  ASSERT_TRUE(process.registerWithReporter());
  const DWORD start = GetTickCount();
  for (uint32_t crash = 1; crash <= kCrashes; ++crash) {
    ASSERT_TRUE(startsWith(process.command("dump-raw * * *"), "dump done")) << crash;
  }
  const DWORD filled = GetTickCount() - start;
  std::printf("%u reports asked for in %lu ms\n", static_cast<unsigned>(kCrashes),
              static_cast<unsigned long>(filled));
  ASSERT_LT(filled, 40000u) << "the crashes took longer than the server holds an upload";

  // The first two were posted and are held; the others wait, their logs on
  // disk, but those beyond the queue, whose logs are gone.
  ASSERT_TRUE(reporter.server().waitForReports(kInFlight, 30000, nullptr));
  EXPECT_EQ(reporter.server().reportIds().size(), kInFlight);
  for (uint32_t crash = 1; crash <= kCrashes; ++crash) {
    const bool dropped = crash > kTaken;
    const std::wstring log =
        joinPath(reporter.environment().logDir(), reporter.crashFile(crash, L".txt"));
    EXPECT_EQ(pathExists(log), !dropped) << crash;
    EXPECT_EQ(
        reporter
            .reporterLogLines(ReporterWithCrashServer::crashLinePrefix(crash, process.processId()) +
                              "report dropped: the upload queue is full (2 uploading, 32 "
                              "waiting)")
            .size(),
        dropped ? 1u : 0u)
        << crash;
  }
  EXPECT_EQ(reporter.server().reportIds().size(), kInFlight);

  // Once the server answers again the queue drains, and the reporter ends
  // after the browser.
  ASSERT_TRUE(reporter.server().setUploadMode("ok"));
  ASSERT_TRUE(reporter.server().waitForReports(kTaken, kDrainTimeoutMs, nullptr));
  ASSERT_TRUE(reporter.waitUntilNoCrashFiles(kDrainTimeoutMs));
  EXPECT_EQ(reporter.server().reportIds().size(), kTaken);
  ASSERT_TRUE(reporter.endBrowserAndReporter(kReporterEndTimeoutMs));
  EXPECT_EQ(reporter.session().reporterExitCode(), 0u);
  // Only the two dropped reports have a line.
  EXPECT_EQ(reporter.reporterLogLines(" of process ").size(), kCrashes - kTaken);
}

}  // namespace
}  // namespace tavra
