#include "desktop/windows/crash_reporter/lifecycle/crash_pipeline.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "desktop/windows/crash_reporter/lifecycle/crash_budget.h"
#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "desktop/windows/crash_reporter/lifecycle/uncaptured_log_lines_test_support.h"
#include "desktop/windows/crash_reporter/lifecycle/upload_queue.h"
#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "desktop/windows/crash_reporter/upload/deadline_task.h"
#include "runtime/file_util.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/private_security.h"
#include "runtime/scoped_temp_dir.h"
#include "runtime/seam.h"
#include "runtime/utf_conversion.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/test_support/scoped_current_directory.h"
#include "testing/test_support/scripted_http_server.h"
#include "testing/test_support/test_files.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/text_occurrences.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// Crash numbers as the reporter takes them, unless a test repeats one for
// every crash from then on.
uint32_t g_repeatedCrashNumber = 0;
uint32_t testCrashNumber() {
  return g_repeatedCrashNumber != 0 ? g_repeatedCrashNumber : nextCrashNumber();
}

// The reporter's set-up in this process: a crash pipeline with the test's
// own settings, count and system as the server's hook, the capture as the
// log's message handler, and a fresh crash directory as the current
// directory. The crash logs are kept, to be read; no crash server is set, so
// each upload job fails at once.
class HandleCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    settings_.keepLogs = true;
    ASSERT_TRUE(currentDirectory_.enter(dir_.path()));
    logLines_ = std::make_unique<testing_support::UncapturedLogLines>();
    ASSERT_TRUE(work_.createDoneEvent());
    work_.enter();  // The living parent.
    server_ = std::make_unique<DumpRequestServer>(reporterPipeName(GetCurrentProcessId()), nullptr,
                                                  nullptr, nullptr, &handleCrash, &pipeline_,
                                                  nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(server_->start());
    ASSERT_TRUE(client_.start(siblingProgramPath(L"tavra_test_client.exe"),
                              L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId())));
    ASSERT_TRUE(startsWith(client_.command("register"), "registered "));
  }

  void TearDown() override {
    if (server_) server_->stop();
    // No upload job may outlive the count and the settings that it uses.
    EXPECT_TRUE(waitForUploadJobs());
    logLines_.reset();
  }

  // Until only the parent counts.
  bool waitForUploadJobs() {
    return waitUntil([this] { return work_.count() == 1; }, 60000);
  }

  std::wstring logPath(int crashNumber) const {
    return joinPath(dir_.path(), L"tavra-crashlog-" + std::to_wstring(GetCurrentProcessId()) +
                                     L"-" + std::to_wstring(crashNumber) + L".txt");
  }

  // The start of the reporter log's line about crash `crashNumber` of the
  // client, after its severity.
  std::string lossLine(int crashNumber) const {
    return ":Crash " + std::to_string(crashNumber) + " of process " +
           std::to_string(client_.processId()) + ": ";
  }

  std::unique_ptr<testing_support::UncapturedLogLines> logLines_;
  ScopedTempDir dir_{L"crash_pipeline"};
  ScopedCurrentDirectory currentDirectory_;
  // Declared before the server, so that they outlive its hooks.
  ReporterSettings settings_;
  PendingWork work_;
  UploadQueue uploads_;
  const SystemInfo system_ = captureSystemInfo();
  CrashPipeline pipeline_{settings_, &work_, system_, &uploads_, &testCrashNumber};
  std::unique_ptr<DumpRequestServer> server_;
  ChildProcess client_;
};

TEST_F(HandleCrashTest, EachRequestIsNumberedAndOnlyARealExceptionLeavesALog) {
  // The test's own thread captures too: nothing of the handling threads may
  // land in it.
  LogCapture ownCapture;
  // "*" is the client's own exception record (code E0000001) or context;
  // 00000010 cannot be read.
  const struct {
    const char* request;
    bool logged;
  } requests[] = {{"dump-raw * * *", true},
                  {"dump-raw 00000010 * *", false},
                  {"dump-raw * * 00000010", false},
                  {"dump-raw * * *", true}};
  int crashNumber = 0;
  for (const auto& request : requests) {
    SCOPED_TRACE(request.request);
    ++crashNumber;
    EXPECT_TRUE(startsWith(client_.command(request.request), "dump done")) << request.request;
    std::string log;
    EXPECT_EQ(request.logged, readFileToString(logPath(crashNumber), &log));
    if (!request.logged) continue;
    EXPECT_TRUE(startsWith(log, "TAVRA-CRASHLOG V1 desktop 0.0.0.0 -1 windows  release\r\n"));
    EXPECT_NE(std::string::npos,
              log.find("\r\ntavra_test_client.exe caused exception E0000001 at address "));
    // The messages of the handling thread follow the crash log.
    const size_t heading = log.find("\r\nCrash Logger:\r\n");
    ASSERT_NE(std::string::npos, heading);
    EXPECT_NE(std::string::npos, log.find(".cc:", heading));
  }
  EXPECT_EQ("", ownCapture.text());
  // Once the crashes and their upload jobs have ended, nothing of them stays
  // counted (that each is counted while it runs is checked below and in the
  // upload job's tests).
  EXPECT_TRUE(waitForUploadJobs());
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(work_.doneEvent(), 0));
  // Each crash has one line in the reporter log: no log could be made of the
  // unreadable ones; the others' uploads failed, as no crash server is set.
  const std::string lines = logLines_->text();
  crashNumber = 0;
  for (const auto& request : requests) {
    SCOPED_TRACE(request.request);
    ++crashNumber;
    const std::string expected =
        request.logged
            ? "WARNING" + lossLine(crashNumber) +
                  "report not uploaded: no answer from the crash server (not sent, not "
                  "reached, or not in time)\n"
            : "WARNING" + lossLine(crashNumber) +
                  "no crash log: the process could not be read (it has gone, or its exception "
                  "record is not readable)\n";
    EXPECT_EQ(occurrences(lines, lossLine(crashNumber)), 1u) << lines;
    EXPECT_EQ(occurrences(lines, expected), 1u) << lines;
  }
}

TEST_F(HandleCrashTest, ACrashCountsAsPendingWorkWhileItIsHandled) {
  // The crash server takes the first request and never answers: the crash
  // stays in its handling until the server goes.
  ScriptedHttpServer server(ScriptedHttpServer::Behaviour::kStall);
  ASSERT_TRUE(server.start());
  settings_.serverUrl = server.url();
  ASSERT_EQ(work_.count(), 1);
  ASSERT_TRUE(client_.sendLine("dump-raw * * *"));
  ASSERT_TRUE(waitUntil([&] { return server.connectionCount() == 1; }, 30000))
      << "the crash's first request did not come";
  // The living parent and the crash.
  EXPECT_EQ(work_.count(), 2);
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(work_.doneEvent(), 0));
  // Without its server the first request and then the upload fail at once.
  server.stop();
  std::string line;
  ASSERT_TRUE(client_.readLine(&line, 30000));
  EXPECT_TRUE(startsWith(line, "dump done")) << line;
  EXPECT_TRUE(pathExists(logPath(1)));
  EXPECT_TRUE(waitForUploadJobs());
}

TEST_F(HandleCrashTest, ClientGoesOnUndebuggedAfterItsReport) {
  EXPECT_TRUE(startsWith(client_.command("dump-raw * * *"), "dump done"));
  EXPECT_TRUE(pathExists(logPath(1)));
  // Attaching as a debugger for a moment neither ended nor froze the client,
  // and left it undebugged.
  BOOL debugged = TRUE;
  ASSERT_TRUE(CheckRemoteDebuggerPresent(client_.process(), &debugged));
  EXPECT_FALSE(debugged);
  EXPECT_TRUE(startsWith(client_.command("info"), "info "));
  EXPECT_TRUE(startsWith(client_.command("dump-raw * * *"), "dump done"));
  EXPECT_TRUE(pathExists(logPath(2)));
}

// A name taken before the crash, by a crash log that an earlier reporter of
// the same process id kept or by anything planted in the crash directory,
// is left as it is: the crash takes the next number, and its crash log is
// new and the user's alone.
TEST_F(HandleCrashTest, ANameTakenBeforeTheCrashGivesWayToTheNextNumber) {
  const struct {
    const char* what;
    const wchar_t* extension;
    bool folder;
  } cases[] = {
      {"a kept crash log", L".txt", false},
      {"a folder", L".txt", true},
      {"an archive", L".zip", false},
  };
  std::wstring privateFile;
  ASSERT_TRUE(privateSecuritySddl(PrivateObject::kFile, &privateFile));
  int taken = -1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    taken += 2;
    const int crash = taken + 1;
    const std::wstring planted = logPath(taken).substr(0, logPath(taken).size() - 4) + c.extension;
    if (c.folder) {
      ASSERT_TRUE(createDirectoryWithParents(planted));
    } else {
      ASSERT_TRUE(writeFile(planted, "an earlier run's"));
    }
    const std::wstring plantedAccess = accessListOf(planted);
    EXPECT_TRUE(startsWith(client_.command("dump-raw * * *"), "dump done"));
    // What was there is as it was.
    EXPECT_EQ(accessListOf(planted), plantedAccess);
    std::string before;
    if (c.folder) {
      EXPECT_TRUE(directoryExists(planted));
    } else {
      ASSERT_TRUE(readFileToString(planted, &before));
      EXPECT_EQ(before, "an earlier run's");
    }
    // The crash is the next number's, and says so in its own log.
    if (std::wstring(c.extension) == L".zip") {
      EXPECT_FALSE(pathExists(logPath(taken)));
    }
    std::string log;
    ASSERT_TRUE(readFileToString(logPath(crash), &log));
    EXPECT_TRUE(startsWith(log, "TAVRA-CRASHLOG V1 desktop "));
    EXPECT_NE(log.find(wideToUtf8(baseName(logPath(taken))) +
                       " or its archive was there already: "
                       "this crash is " +
                       wideToUtf8(baseName(logPath(crash)))),
              std::string::npos);
    EXPECT_EQ(accessEntries(accessListOf(logPath(crash))), accessEntries(privateFile));
    EXPECT_TRUE(waitForUploadJobs());
    // Its line, if any, names the number that it took.
    EXPECT_EQ(occurrences(logLines_->text(), lossLine(taken)), 0u) << logLines_->text();
    EXPECT_EQ(occurrences(logLines_->text(), lossLine(crash)), 1u) << logLines_->text();
  }

  // Every name is taken: the crash gives up after its bound, says so, and
  // its process is released all the same.
  g_repeatedCrashNumber = 99;
  ASSERT_TRUE(writeFile(logPath(99), "an earlier run's"));
  EXPECT_TRUE(startsWith(client_.command("dump-raw * * *"), "dump done"));
  g_repeatedCrashNumber = 0;
  EXPECT_EQ(
      occurrences(logLines_->text(), "WARNING" + lossLine(99) +
                                         "no crash log: 1024 names in a row were taken "
                                         "already, the last " +
                                         wideToUtf8(baseName(logPath(99))) + " (or its archive)\n"),
      1u)
      << logLines_->text();
  std::string kept;
  ASSERT_TRUE(readFileToString(logPath(99), &kept));
  EXPECT_EQ(kept, "an earlier run's");
}

// The first request names the crash by its signature's short hash, which the
// writer computed from the crash log; past the crash-storm budget, a crash of
// the same signature is not asked about, its log goes unless logs are kept,
// and its line names the signature.
TEST_F(HandleCrashTest, TheFirstRequestCarriesTheSignatureAndPastTheBudgetNoneIsSent) {
  ScriptedHttpServer server(ScriptedHttpServer::Behaviour::kAnswer,
                            "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
  ASSERT_TRUE(server.start());
  settings_.serverUrl = server.url();
  settings_.keepLogs = false;
  // The same process asking twice from the same place is one signature.
  CrashBudget budget(CrashBudgetLimits{1, 0}, joinPath(dir_.path(), kCrashBudgetFileName));
  CrashPipeline pipeline(settings_, &work_, system_, &uploads_, &testCrashNumber,
                         kFirstRequestTimeoutMs, &budget);
  server_->stop();
  server_ = std::make_unique<DumpRequestServer>(reporterPipeName(GetCurrentProcessId()), nullptr,
                                                nullptr, nullptr, &handleCrash, &pipeline, nullptr,
                                                nullptr, nullptr, nullptr);
  ASSERT_TRUE(server_->start());
  ASSERT_TRUE(startsWith(client_.command("register"), "registered "));
  EXPECT_TRUE(startsWith(client_.command("dump-raw * * *"), "dump done"));
  EXPECT_TRUE(startsWith(client_.command("dump-raw * * *"), "dump done"));
  // The pipeline goes before the server that calls it.
  server_->stop();
  server_.reset();
  server.stop();

  ASSERT_EQ(server.requests().size(), 1u);
  const std::string request = server.requests()[0];
  const std::string name = "\r\nX-Tavra-Crash-Signature: ";
  const size_t at = request.find(name);
  ASSERT_NE(at, std::string::npos) << request;
  const std::string hash = request.substr(at + name.size(), 14);
  EXPECT_EQ(hash.find_first_not_of("0123456789abcdef"), 12u) << request;
  EXPECT_EQ(hash.substr(12), "\r\n") << request;
  const std::string lines = logLines_->text();
  EXPECT_EQ(
      occurrences(lines, lossLine(2) + "not reported: over the crash budget (1 of signature " +
                             hash.substr(0, 12) + " in 24 hours)\n"),
      1u)
      << lines;
  EXPECT_FALSE(pathExists(logPath(1)));
  EXPECT_FALSE(pathExists(logPath(2)));
}

TEST_F(HandleCrashTest, AFirstRequestWithoutRoomIsSkippedAndSaidSo) {
  // The server sends the first request's answer a byte at a time, never
  // whole: it is abandoned at its deadline and stays under way, which fills
  // a bound of one. The uploads then get no thread either.
  ScopedSeamReplacement<uint32_t> bound(&abandonedDeadlineThreadBoundSeam, 1);
  ScriptedHttpServer server(ScriptedHttpServer::Behaviour::kTrickle,
                            "HTTP/1.1 303 See Other\r\nX-Pad: " + std::string(100000, 'p'), 100);
  ASSERT_TRUE(server.start());
  settings_.serverUrl = server.url();
  EXPECT_TRUE(startsWith(client_.command("dump-raw * * *"), "dump done"));
  EXPECT_TRUE(startsWith(client_.command("dump-raw * * *"), "dump done"));
  EXPECT_TRUE(waitForUploadJobs());
  EXPECT_EQ(server.connectionCount(), 1);
  const std::string lines = logLines_->text();
  const std::string skipped =
      "WARNING" + lossLine(2) +
      "first request skipped: too many earlier ones are still waiting for the crash server; the "
      "report goes up without an id\n";
  EXPECT_EQ(occurrences(lines, skipped), 1u) << lines;
  EXPECT_EQ(occurrences(lines, "first request skipped"), 1u) << lines;
  // Both crash logs were written and went on to their uploads, which found
  // no room either.
  EXPECT_TRUE(pathExists(logPath(1)));
  EXPECT_TRUE(pathExists(logPath(2)));
  EXPECT_EQ(occurrences(lines, "report not uploaded: no answer from the crash server"), 2u)
      << lines;
  server.stop();
  EXPECT_TRUE(waitUntil([] { return DeadlineTask::abandonedThreads() == 0; }, 30000));
}

}  // namespace
}  // namespace tavra
