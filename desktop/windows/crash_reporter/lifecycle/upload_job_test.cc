#include "desktop/windows/crash_reporter/lifecycle/upload_job.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/annotation_table_test_support.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_pipeline.h"
#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "desktop/windows/crash_reporter/lifecycle/uncaptured_log_lines_test_support.h"
#include "desktop/windows/crash_reporter/lifecycle/upload_queue.h"
#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "desktop/windows/crash_reporter/upload/report_archive.h"
#include "runtime/file_util.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/scoped_temp_dir.h"
#include "runtime/utf_conversion.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/crash_server_session/local_crash_server.h"
#include "testing/test_support/scoped_current_directory.h"
#include "testing/test_support/test_files.h"
#include "testing/test_support/text_occurrences.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

using testing_support::annotationTable;
using testing_support::viewOf;

// What the seam saw, and whether it lets the work item be queued.
struct QueueCall {
  int calls = 0;
  ULONG flags = 0;
};
QueueCall g_queueCall;

BOOL WINAPI refuseWorkItem(LPTHREAD_START_ROUTINE /*function*/, void* /*context*/, ULONG flags) {
  ++g_queueCall.calls;
  g_queueCall.flags = flags;
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

int failZipWrite(zipFile, const void*, unsigned) { return ZIP_ERRNO; }

// The reporter's set-up in this process, pointed at the local crash server
// that runs beside the test: the test's own settings, a fresh crash
// directory as the current directory, and the test's own pending-work count
// with the living parent in it.
class UploadJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.attach())
        << "run through testing/crash_server_session/with_crash_server.sh";
    ASSERT_TRUE(dir_.isValid());
    ASSERT_TRUE(currentDirectory_.enter(dir_.path()));
    settings_.serverUrl = server_.url();
    settings_.editionSuffix = L" (Edition developer)";
    settings_.logDirFromEnv = true;
    settings_.feedbackFile = joinPath(dir_.path(), L"crash_feedback_url.txt");
    ASSERT_TRUE(work_.createDoneEvent());
    work_.enter();  // The living parent.
  }

  void TearDown() override {
    // No job may outlive the count that it is counted in.
    EXPECT_TRUE(waitForJobsToEnd());
    queueUserWorkItemSeam.replaceForTesting(nullptr);
    zipWriteSeam.replaceForTesting(nullptr);
  }

  // Until only the parent counts.
  bool waitForJobsToEnd() {
    return waitUntil([this] { return work_.count() == 1; }, 60000);
  }

  std::wstring path(const std::string& name) const {
    return joinPath(dir_.path(), utf8ToWide(name));
  }

  // A job of this test's count and settings, which say whether the crash log
  // is to be deleted.
  UploadJob* newJob(const std::string& logName, bool deleteLog, const AnnotationView& view,
                    const std::wstring& reportId, const CrashIdentity& crash = CrashIdentity()) {
    settings_.keepLogs = !deleteLog;
    return new UploadJob(&work_, settings_, logName, readCrashAnnotations(view), reportId, crash);
  }

  // Runs the job as a worker of the queue does, and lets it go.
  static void runJob(UploadJob* job) {
    std::unique_ptr<UploadJob> owned(job);
    runUploadJob(owned.get());
  }

  LocalCrashServer server_;
  ScopedTempDir dir_{L"upload_job"};
  ScopedCurrentDirectory currentDirectory_;
  ReporterSettings settings_;
  PendingWork work_;
};

TEST_F(UploadJobTest, AJobThatCannotBeQueuedLeavesNoArchiveNoFeedbackAndTheLogOnlyWhenKept) {
  testing_support::UncapturedLogLines logLines;
  const SystemInfo system = captureSystemInfo();
  UploadQueue uploads;
  CrashPipeline pipeline(settings_, &work_, system, &uploads);
  DumpRequestServer server(reporterPipeName(GetCurrentProcessId()), nullptr, nullptr, nullptr,
                           &handleCrash, &pipeline, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(server.start());
  ChildProcess client;
  ASSERT_TRUE(client.start(siblingProgramPath(L"tavra_test_client.exe"),
                           L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId())));
  ASSERT_EQ(client.command("set crash_guid abc"), "ok");
  ASSERT_EQ(client.command("register").compare(0, 11, "registered "), 0);

  const std::wstring prefix = L"tavra-crashlog-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  const std::wstring feedbackPrefix =
      L"crash_feedback_url-" + std::to_wstring(GetCurrentProcessId()) + L"-";
  const struct {
    bool queueFails;
    bool keepLogs;
  } cases[] = {{true, true}, {true, false}, {false, false}};
  int crash = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "queue fails " << c.queueFails << ", keep " << c.keepLogs);
    ++crash;
    settings_.keepLogs = c.keepLogs;
    g_queueCall = QueueCall();
    queueUserWorkItemSeam.replaceForTesting(c.queueFails ? &refuseWorkItem : nullptr);
    const size_t reportsBefore = server_.reportIds().size();
    // The client's own exception record: a crash log is written.
    ASSERT_EQ(client.command("dump-raw * * *").compare(0, 9, "dump done"), 0);
    const std::wstring log = prefix + std::to_wstring(crash) + L".txt";
    const std::wstring feedback = feedbackPrefix + std::to_wstring(crash) + L".txt";
    if (c.queueFails) {
      // Its worker was offered as a long function, refused, and the job is
      // gone again.
      EXPECT_EQ(g_queueCall.calls, 1);
      EXPECT_EQ(g_queueCall.flags, static_cast<ULONG>(WT_EXECUTELONGFUNCTION));
      EXPECT_EQ(work_.count(), 1);
      std::vector<std::wstring> expected;
      if (c.keepLogs) expected.push_back(log);
      EXPECT_EQ(filesIn(dir_.path()), expected);
      DeleteFileW(joinPath(dir_.path(), log).c_str());
      EXPECT_EQ(server_.reportIds().size(), reportsBefore);
    } else {
      // The same crash queued: uploaded, cleaned up, and its feedback line.
      ASSERT_TRUE(waitForJobsToEnd());
      EXPECT_EQ(filesIn(dir_.path()), std::vector<std::wstring>{feedback});
      EXPECT_EQ(server_.reportIds().size(), reportsBefore + 1);
    }
    // A dropped report says why in the reporter log, with the queueing's
    // error; an uploaded one says nothing.
    const std::string line = "Crash " + std::to_string(crash) + " of process " +
                             std::to_string(client.processId()) + ": ";
    EXPECT_EQ(occurrences(logLines.text(), line), c.queueFails ? 1u : 0u) << logLines.text();
    if (c.queueFails) {
      EXPECT_EQ(occurrences(logLines.text(),
                            "ERROR:" + line + "report dropped: its upload could not be queued " +
                                "(error " + std::to_string(ERROR_NOT_ENOUGH_MEMORY) + ")\n"),
                1u)
          << logLines.text();
    }
  }
  server.stop();
  // Its last job may still be on its way out of the queue.
  EXPECT_TRUE(waitForJobsToEnd());
}

TEST_F(UploadJobTest, TheJobCountsAsPendingWorkAndPostsItsArchiveUnderTheLogsName) {
  const std::vector<ClientAnnotation> table =
      annotationTable({{L"process_type", L"renderer"}, {L"ptime", L"4321"}});
  const struct {
    const char* logName;
    const char* archiveName;
    bool deleteLog;
  } cases[] = {
      {"tavra-crashlog-12-3.txt", "tavra-crashlog-12-3.zip", true},
      {"tavra-crashlog-12-4.txt", "tavra-crashlog-12-4.zip", false},
      // The last dot is not followed by exactly three characters.
      {"crash.log.text", "crash.log.text.zip", true},
      {"crash.tx", "crash.tx.zip", false},
      {"crash", "crash.zip", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logName);
    const std::string log = "TAVRA-CRASHLOG V1 desktop 1.0 2 windows  release\r\n" +
                            std::string(5000, 'x') + "\r\n" + c.logName + "\r\n";
    ASSERT_TRUE(writeFile(path(c.logName), log));
    std::unique_ptr<UploadJob> job(newJob(c.logName, c.deleteLog, viewOf(table), L"id7"));
    EXPECT_EQ(work_.count(), 2);
    EXPECT_EQ(job->formFields().at(L"stacktraceId"), L"id7");
    EXPECT_EQ(job->formFields().at(L"CrashUptime"), L"4");
    const size_t reportsBefore = server_.reportIds().size();
    runUploadJob(job.get());
    job.reset();
    EXPECT_EQ(work_.count(), 1);

    std::vector<std::wstring> ids = server_.reportIds();
    ASSERT_EQ(ids.size(), reportsBefore + 1);
    std::string metadata;
    std::string uploaded;
    std::wstring id;
    for (const std::wstring& candidate : ids) {
      std::string text;
      if (server_.readReportFile(candidate, L"crashlog.txt", &text) && text == log) id = candidate;
    }
    ASSERT_FALSE(id.empty()) << "no report holds this crash log";
    ASSERT_TRUE(server_.readReportFile(id, L"metadata.json", &metadata));
    const nlohmann::json parsed = nlohmann::json::parse(metadata, nullptr, false);
    EXPECT_EQ(parsed.value("file_name", ""), c.archiveName);
    EXPECT_EQ(parsed.value("user_agent", ""),
              "TavraCrashReporter/1.0 (Windows) (Edition developer)");

    EXPECT_FALSE(pathExists(path(c.archiveName)));
    EXPECT_EQ(pathExists(path(c.logName)), !c.deleteLog);
    DeleteFileW(path(c.logName).c_str());
  }
}

TEST_F(UploadJobTest, AnArchiveThatFailsIsNotPostedAndTheLogGoesAsTheJobSays) {
  zipWriteSeam.replaceForTesting(&failZipWrite);
  testing_support::UncapturedLogLines logLines;
  const std::vector<ClientAnnotation> table = annotationTable({{L"ptime", L"10"}});
  CrashIdentity crash;
  crash.clientProcessId = 4321;
  for (bool deleteLog : {true, false}) {
    SCOPED_TRACE(deleteLog);
    ++crash.number;
    ASSERT_TRUE(writeFile(path("tavra-crashlog-5-1.txt"), "TAVRA-CRASHLOG V1\r\n"));
    runJob(newJob("tavra-crashlog-5-1.txt", deleteLog, viewOf(table), L"", crash));
    EXPECT_EQ(work_.count(), 1);
    EXPECT_TRUE(server_.reportIds().empty());
    std::vector<std::wstring> expected;
    if (!deleteLog) expected.push_back(L"tavra-crashlog-5-1.txt");
    EXPECT_EQ(filesIn(dir_.path()), expected);
    EXPECT_EQ(occurrences(logLines.text(),
                          "ERROR:Crash " + std::to_string(crash.number) +
                              " of process 4321: report not uploaded: tavra-crashlog-5-1.txt "
                              "could not be zipped\n"),
              1u)
        << logLines.text();
  }
}

TEST_F(UploadJobTest, AnUploadThatDoesNotSucceedSaysWhyInTheReporterLog) {
  testing_support::UncapturedLogLines logLines;
  const std::vector<ClientAnnotation> table = annotationTable({{L"ptime", L"10"}});
  const struct {
    const char* uploadMode;
    // What the line says after "report not uploaded: "; null: no line.
    const char* why;
  } cases[] = {
      {"ok", nullptr},
      {"status:500", "the crash server answered 500"},
      {"status:503", "the crash server answered 503"},
      {"refuse", "no answer from the crash server (not sent, not reached, or not in time)"},
      {"short-body", "the crash server's answer (200) could not be read whole"},
  };
  CrashIdentity crash;
  crash.clientProcessId = 77;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.uploadMode);
    ++crash.number;
    ASSERT_TRUE(server_.setUploadMode(c.uploadMode));
    ASSERT_TRUE(writeFile(path("tavra-crashlog-9-1.txt"), "TAVRA-CRASHLOG V1\r\n"));
    runJob(newJob("tavra-crashlog-9-1.txt", true, viewOf(table), L"", crash));
    const std::string line = "Crash " + std::to_string(crash.number) + " of process 77: ";
    if (c.why == nullptr) {
      EXPECT_EQ(occurrences(logLines.text(), line), 0u) << logLines.text();
    } else {
      EXPECT_EQ(
          occurrences(logLines.text(), "WARNING:" + line + "report not uploaded: " + c.why + "\n"),
          1u)
          << logLines.text();
    }
    EXPECT_TRUE(filesIn(dir_.path()).empty());
  }
}

TEST_F(UploadJobTest, AQueuedJobRunsOnAWorkQueueThreadUntilItsUploadHasEnded) {
  // The server holds its answer: the job counts until the answer has come.
  // The hold outlasts the checks below even on a loaded machine, and stays
  // well within the upload's stall time-out.
  ASSERT_TRUE(server_.setUploadMode("hold:15"));
  ASSERT_TRUE(writeFile(path("tavra-crashlog-6-1.txt"), "TAVRA-CRASHLOG V1\r\n"));
  const std::vector<ClientAnnotation> table = annotationTable({{L"ptime", L"10"}});
  UploadQueue uploads;
  ASSERT_EQ(uploads.submit(std::unique_ptr<UploadJob>(
                newJob("tavra-crashlog-6-1.txt", true, viewOf(table), L""))),
            UploadQueueResult::kQueued);
  ASSERT_TRUE(server_.waitForReports(1, 30000, nullptr));
  EXPECT_EQ(work_.count(), 2);
  EXPECT_TRUE(pathExists(path("tavra-crashlog-6-1.zip")));
  ASSERT_TRUE(waitForJobsToEnd());
  EXPECT_TRUE(filesIn(dir_.path()).empty());
}

// An archive whose name something else has taken is neither posted, written
// into nor deleted; the report is told in the reporter log, and the crash log
// goes as the job says.
TEST_F(UploadJobTest, AnArchiveNameThatIsTakenIsLeftAloneAndNothingIsPosted) {
  testing_support::UncapturedLogLines logLines;
  const std::vector<ClientAnnotation> table = annotationTable({{L"ptime", L"10"}});
  CrashIdentity crash;
  crash.number = 3;
  crash.clientProcessId = 88;
  ASSERT_TRUE(writeFile(path("tavra-crashlog-7-3.txt"), "TAVRA-CRASHLOG V1\r\n"));
  ASSERT_TRUE(writeFile(path("tavra-crashlog-7-3.zip"), "planted"));
  runJob(newJob("tavra-crashlog-7-3.txt", true, viewOf(table), L"", crash));
  EXPECT_TRUE(server_.reportIds().empty());
  EXPECT_EQ(filesIn(dir_.path()), std::vector<std::wstring>{L"tavra-crashlog-7-3.zip"});
  std::string planted;
  ASSERT_TRUE(readFileToString(path("tavra-crashlog-7-3.zip"), &planted));
  EXPECT_EQ(planted, "planted");
  EXPECT_EQ(occurrences(logLines.text(),
                        "WARNING:Crash 3 of process 88: report not uploaded: "
                        "tavra-crashlog-7-3.zip was there already, and is left as it is\n"),
            1u)
      << logLines.text();
}

}  // namespace
}  // namespace tavra
