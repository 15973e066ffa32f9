// The browser ends at the worst moments for a report: while a crash is being
// captured, while the first request waits for the crash server, while the
// upload runs, and while the reporter is stopping its server. Every report
// already begun is finished, and the reporter ends once nothing is pending.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "runtime/file_util.h"
#include "runtime/scoped_holder.h"
#include "runtime/utf_conversion.h"
#include "testing/e2e/browser_process.h"
#include "testing/e2e/reporter_with_crash_server.h"
#include "testing/test_support/crash_log_reader.h"
#include "testing/test_support/test_files.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// Generous bounds for a loaded machine; a passing run takes a fraction.
constexpr DWORD kMomentTimeoutMs = 30000;
constexpr DWORD kReleaseTimeoutMs = 60000;
constexpr DWORD kReporterEndTimeoutMs = 60000;

enum class Moment {
  // The reporter reads the crashed process (many threads make that long).
  Capture,
  // The crash log is written and the first request waits for the server.
  FirstRequest,
  // The server has stored the upload and holds its answer, long enough that
  // the browser ends meanwhile even on a loaded machine.
  Upload,
};

struct WorstMoment {
  const char* name;
  Moment moment;
  const char* firstRequestMode;
  const char* uploadMode;
  // The first request is answered within its bound: the report has an id.
  bool idReceived;
};

void PrintTo(const WorstMoment& moment, std::ostream* out) { *out << moment.name; }

const WorstMoment kMoments[] = {
    {"WhileTheCrashIsCaptured", Moment::Capture, "redirect", "ok", true},
    {"WhileTheFirstRequestWaits", Moment::FirstRequest, "redirect,hold:2", "ok", true},
    {"WhileTheFirstRequestWaitsPastItsBound", Moment::FirstRequest, "redirect,hold:6", "ok", false},
    {"WhileTheUploadRuns", Moment::Upload, "redirect", "hold:15", true},
};

class BrowserExitTest : public ::testing::TestWithParam<WorstMoment> {};

TEST_P(BrowserExitTest, TheReportBegunIsFinishedAndThenTheReporterEnds) {
  const WorstMoment& c = GetParam();
  ReporterWithCrashServer reporter(L"exit_e2e");
  ReporterOptions options;
  options.keepLogs = false;
  std::string error;
  ASSERT_TRUE(reporter.start(options, &error)) << error;
  ASSERT_TRUE(reporter.server().setFirstRequestMode(c.firstRequestMode));
  ASSERT_TRUE(reporter.server().setUploadMode(c.uploadMode));

  BrowserProcess process;
  ASSERT_TRUE(process.start(reporter.reporterPid()));
  if (c.moment == Moment::Capture) {
    ASSERT_TRUE(startsWith(process.command("threads 200"), "threads "));
  }
  process.set("crash_guid", "exit-guid");
  ASSERT_TRUE(process.registerWithReporter());
  CrashLine crash;
  ASSERT_TRUE(process.crash("write", "0", &crash));

  const std::wstring log =
      joinPath(reporter.environment().logDir(), reporter.crashFile(1, L".txt"));
  switch (c.moment) {
    case Moment::Capture:
      break;
    case Moment::FirstRequest:
      ASSERT_TRUE(waitUntil([&] { return pathExists(log); }, kMomentTimeoutMs));
      break;
    case Moment::Upload:
      ASSERT_TRUE(reporter.server().waitForReports(1, kMomentTimeoutMs, nullptr));
      break;
  }
  const bool releasedBefore = process.ended();
  ASSERT_TRUE(reporter.session().endBrowser());
  // The process waits for its capture and first request: at this moment it
  // cannot have been released yet.
  if (c.moment != Moment::Upload) {
    EXPECT_FALSE(releasedBefore) << "the browser ended only after the crash was handled";
  }
  const bool reportDoneBefore = reporter.crashFiles().empty();
  std::printf("%s: the browser ended %s the process was released and %s the job ended\n", c.name,
              releasedBefore ? "after" : "before", reportDoneBefore ? "after" : "before");

  ASSERT_TRUE(process.waitForExit(kReleaseTimeoutMs, nullptr)) << "not released";
  ASSERT_TRUE(reporter.session().reporterEnded(kReporterEndTimeoutMs))
      << "the reporter is still running";
  EXPECT_EQ(reporter.session().reporterExitCode(), 0u);

  // The report went the whole way: uploaded, cleaned up, linked.
  const std::vector<std::wstring> ids = reporter.server().reportedIds();
  ASSERT_EQ(ids.size(), 1u);
  StoredReport report;
  ASSERT_TRUE(reporter.server().readReport(ids[0], &report));
  EXPECT_EQ(report.field("stacktraceId") != nullptr, c.idReceived);
  std::vector<std::wstring> expected;
  if (c.idReceived) expected.push_back(reporter.feedbackFile(1));
  EXPECT_EQ(filesIn(reporter.environment().logDir()), expected);
  EXPECT_TRUE(reporter.reporterLogLines(" of process ").empty());
}

INSTANTIATE_TEST_SUITE_P(AtTheWorstMoment, BrowserExitTest, ::testing::ValuesIn(kMoments),
                         [](const ::testing::TestParamInfo<WorstMoment>& info) {
                           return std::string(info.param.name);
                         });

// Processes that crash one after the other just as the browser has gone and
// the reporter stops: each is released, by its report or by the reporter's
// going, and every crash whose log was written reached the server.
TEST(BrowserExitWhileStoppingTest, CrashesAsTheReporterStopsAreFinishedOrNeverBegun) {
  ReporterWithCrashServer reporter(L"stopping_e2e");
  ReporterOptions options;
  options.keepLogs = true;
  std::string error;
  ASSERT_TRUE(reporter.start(options, &error)) << error;

  // Each crashes this many milliseconds after the browser has ended.
  const DWORD delays[] = {0, 30, 80, 150, 250, 400, 600, 900, 1300, 1800, 2500, 3500};
  const size_t count = sizeof(delays) / sizeof(delays[0]);
  std::vector<std::unique_ptr<BrowserProcess>> processes;
  std::vector<ScopedHandle> events;
  for (size_t i = 0; i < count; ++i) {
    const std::wstring name =
        L"TavraTestStopping" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(i);
    events.emplace_back(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    ASSERT_TRUE(events.back().isValid());
    processes.push_back(std::make_unique<BrowserProcess>());
    BrowserProcess& process = *processes.back();
    ASSERT_TRUE(process.start(reporter.reporterPid()));
    process.set("stopping_index", std::to_string(i));
    ASSERT_TRUE(process.registerWithReporter());
    ASSERT_TRUE(process.armCrash(wideToUtf8(name), "write", "0"));
  }

  ASSERT_TRUE(reporter.session().endBrowser());
  const DWORD ended = GetTickCount();
  for (size_t i = 0; i < count; ++i) {
    while (GetTickCount() - ended < delays[i]) Sleep(1);
    ASSERT_TRUE(SetEvent(events[i].get()));
  }
  for (size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(processes[i]->waitForExit(kReleaseTimeoutMs, nullptr)) << "not released";
  }
  ASSERT_TRUE(reporter.session().reporterEnded(kReporterEndTimeoutMs))
      << "the reporter is still running";
  EXPECT_EQ(reporter.session().reporterExitCode(), 0u);

  // Each crash log that was written was uploaded, and nothing else was.
  std::set<std::string> kept;
  for (const std::wstring& name : reporter.crashFiles()) {
    std::string text;
    ASSERT_TRUE(readFileToString(joinPath(reporter.environment().logDir(), name), &text));
    kept.insert(text);
  }
  std::set<std::string> uploaded;
  for (const std::wstring& id : reporter.server().reportedIds()) {
    std::string text;
    ASSERT_TRUE(reporter.server().readReportFile(id, L"crashlog.txt", &text));
    uploaded.insert(text);
  }
  std::string handled;
  std::set<size_t> handledIndexes;
  for (const std::string& text : kept) {
    const long number = metadataNumber(text, "stopping_index");
    if (number < 0) continue;
    const size_t index = static_cast<size_t>(number);
    handledIndexes.insert(index);
    handled += " " + std::to_string(index);
  }
  // A request that the stopping reporter dropped untaken is told in its log;
  // one that reached it after it had gone has nobody to tell. A handled one
  // is never called unhandled.
  size_t toldUnhandled = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t lines = reporter.unhandledRequestLines(processes[i]->processId()).size();
    EXPECT_LE(lines, handledIndexes.count(i) != 0 ? 0u : 1u) << "process " << i;
    toldUnhandled += lines;
  }
  std::printf("%zu of %zu crashes were handled as the reporter stopped:%s; %zu dropped untaken\n",
              kept.size(), count, handled.c_str(), toldUnhandled);
  EXPECT_EQ(uploaded, kept);
  EXPECT_TRUE(reporter.reporterLogLines(" of process ").empty());
}

}  // namespace
}  // namespace tavra
