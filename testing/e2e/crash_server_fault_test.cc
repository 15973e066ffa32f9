// A crash server that misbehaves on the whole road of a report: it refuses
// the connection, accepts it and stays silent, answers a byte at a time,
// closes in the middle of its answer, names a location longer than 2 KiB, or
// answers 500 or 503, at the first request or at the upload. Whatever it does, the
// crashed process is released within the first request's bound and the time
// to write its log, the upload job ends within its own bound, the files are
// those of the crash's case, and a report that did not get through has its
// line in the reporter's log.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "runtime/file_util.h"
#include "runtime/utf_conversion.h"
#include "testing/e2e/browser_process.h"
#include "testing/e2e/reporter_with_crash_server.h"
#include "testing/test_support/test_files.h"

namespace tavra {
namespace {

// The first request gives up after 3 s; writing a small crash log takes well
// under a second. Far more than both, so that only a hang fails.
constexpr DWORD kReleaseBoundMs = 15000;
// An upload job that the server holds up ends at its stall time-out (60 s);
// any other within seconds.
constexpr DWORD kStalledJobBoundMs = 90000;
constexpr DWORD kJobBoundMs = 30000;
constexpr DWORD kReporterEndTimeoutMs = 30000;

const char kGuid[] = "fault-guid";

struct ServerFault {
  const char* name;
  const char* firstRequestMode;
  const char* uploadMode;
  // The first request came back with an id and a location.
  bool idReceived;
  // The server declined the report: no upload.
  bool declined;
  // The server stored the upload (it stores before it misbehaves, except
  // when it refuses the connection).
  bool stored;
  // What the reporter's line about the crash says; null: no line.
  const char* lossLine;
  // The server holds the upload up: the job ends at its stall time-out.
  bool stalledUpload;
};

void PrintTo(const ServerFault& fault, std::ostream* out) { *out << fault.name; }

const ServerFault kFaults[] = {
    {"FirstRequestRefused", "refuse", "ok", false, false, true, nullptr, false},
    {"FirstRequestSilent", "silent", "ok", false, false, true, nullptr, false},
    {"FirstRequestSlowBody", "slow-body:300", "ok", true, false, true, nullptr, false},
    {"FirstRequestClosedMidBody", "close-mid-body", "ok", true, false, true, nullptr, false},
    // Too long to be used: no id and no feedback line, but the report goes up.
    {"FirstRequestLongLocation", "long-location:65536", "ok", false, false, true, nullptr, false},
    {"FirstRequest500", "status:500", "ok", false, false, true, nullptr, false},
    {"FirstRequest503", "unavailable", "ok", false, true, false,
     "report dropped: the crash server declined it (503)", false},
    {"UploadRefused", "redirect", "refuse", true, false, false,
     "report not uploaded: no answer from the crash server (not sent, not reached, or not in time)",
     false},
    {"UploadSilent", "redirect", "silent", true, false, true,
     "report not uploaded: no answer from the crash server (not sent, not reached, or not in time)",
     true},
    {"UploadSlowBody", "redirect", "slow-body:100", true, false, true, nullptr, false},
    {"UploadClosedMidBody", "redirect", "close-mid-body", true, false, true,
     "report not uploaded: the crash server's answer (200) could not be read whole", false},
    {"Upload500", "redirect", "status:500", true, false, true,
     "report not uploaded: the crash server answered 500", false},
    {"Upload503", "redirect", "status:503", true, false, true,
     "report not uploaded: the crash server answered 503", false},
};

class CrashServerFaultTest : public ::testing::TestWithParam<ServerFault> {};

TEST_P(CrashServerFaultTest, ReleasesInTimeEndsTheJobInTimeAndLeavesTheFilesOfItsCase) {
  const ServerFault& fault = GetParam();
  ReporterWithCrashServer reporter(L"fault_e2e");
  ReporterOptions options;
  options.keepLogs = false;
  std::string error;
  ASSERT_TRUE(reporter.start(options, &error)) << error;
  ASSERT_TRUE(reporter.server().setFirstRequestMode(fault.firstRequestMode));
  ASSERT_TRUE(reporter.server().setUploadMode(fault.uploadMode));

  BrowserProcess process;
  ASSERT_TRUE(process.start(reporter.reporterPid()));
  process.set("crash_guid", kGuid);
  process.set("process_type", "renderer");
  ASSERT_TRUE(process.registerWithReporter());
  CrashLine crash;
  const DWORD crashed = GetTickCount();
  ASSERT_TRUE(process.crash("write", "0", &crash));
  ASSERT_TRUE(process.waitForExit(kReleaseBoundMs, nullptr))
      << "not released within " << kReleaseBoundMs << " ms";
  const DWORD released = GetTickCount();

  // The job has ended once the crash log is gone: it is deleted last.
  const DWORD jobBound = fault.stalledUpload ? kStalledJobBoundMs : kJobBoundMs;
  ASSERT_TRUE(reporter.waitUntilNoCrashFiles(jobBound))
      << "the upload job did not end within " << jobBound << " ms";
  const DWORD jobEnded = GetTickCount();
  std::printf("%s: released after %lu ms, the job ended %lu ms later\n", fault.name,
              static_cast<unsigned long>(released - crashed),
              static_cast<unsigned long>(jobEnded - released));

  ASSERT_TRUE(reporter.endBrowserAndReporter(kReporterEndTimeoutMs));
  EXPECT_EQ(reporter.session().reporterExitCode(), 0u);

  // Nothing of the crash stays but the feedback line of a located report.
  const std::wstring logDir = reporter.environment().logDir();
  std::vector<std::wstring> expected;
  if (fault.idReceived) expected.push_back(reporter.feedbackFile(1));
  EXPECT_EQ(filesIn(logDir), expected);
  std::string location;
  if (fault.idReceived) {
    std::string line;
    ASSERT_TRUE(readFileToString(joinPath(logDir, reporter.feedbackFile(1)), &line));
    const std::string start = std::string(kGuid) + "=" + wideToUtf8(reporter.server().url());
    ASSERT_EQ(line.compare(0, start.size(), start), 0) << line.substr(0, 200);
    location = line.substr(sizeof(kGuid));
  }

  const std::vector<std::wstring> ids = reporter.server().reportedIds();
  ASSERT_EQ(ids.size(), fault.stored ? 1u : 0u);
  if (fault.stored) {
    StoredReport report;
    ASSERT_TRUE(reporter.server().readReport(ids[0], &report));
    const std::string* id = report.field("stacktraceId");
    if (fault.idReceived) {
      ASSERT_NE(id, nullptr);
      EXPECT_NE(location.find("?id=" + *id + "&"), std::string::npos);
    } else {
      EXPECT_EQ(id, nullptr);
    }
    EXPECT_EQ(report.crashLog.compare(0, 18, "TAVRA-CRASHLOG V1 "), 0);
  }

  const std::vector<std::string> lines =
      reporter.reporterLogLines(ReporterWithCrashServer::crashLinePrefix(1, process.processId()));
  if (fault.lossLine == nullptr) {
    EXPECT_TRUE(lines.empty()) << lines.front();
  } else {
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(fault.lossLine), std::string::npos) << lines[0];
  }
}

INSTANTIATE_TEST_SUITE_P(OnTheWholeRoad, CrashServerFaultTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<ServerFault>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tavra
