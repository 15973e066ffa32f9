// The whole road of a crash report: the stand-in browser starts the real
// reporter, which talks to the local crash server that runs beside each test
// case; browser processes crash for real; the tests look at what the server
// received and at what the reporter left behind once it has ended.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "desktop/windows/crash_reporter/upload/multipart_body.h"
#include "runtime/file_util.h"
#include "runtime/utf_conversion.h"
#include "testing/crash_server_session/local_crash_server.h"
#include "testing/e2e/browser_process.h"
#include "testing/e2e/reporter_environment.h"
#include "testing/e2e/reporter_session.h"
#include "testing/test_support/reporter_file_names.h"
#include "testing/test_support/test_files.h"
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

// Generous bounds for a loaded machine; a passing run takes a fraction.
constexpr DWORD kReleaseTimeoutMs = 30000;
constexpr DWORD kReporterEndTimeoutMs = 30000;
constexpr DWORD kReportTimeoutMs = 30000;

std::vector<std::string> fieldNames(const StoredReport& report) {
  std::vector<std::string> names;
  for (const auto& field : report.fields) names.push_back(field.first);
  return names;
}

class CrashUploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.attach())
        << "run through testing/crash_server_session/with_crash_server.sh";
  }

  // Sets up the reporter's environment with `options`, pointed at the local
  // crash server, and starts the browser and its reporter. An installed
  // reporter has a user data directory of its own, which gets the shared
  // crash-feedback file.
  void startReporter(ReporterOptions options, bool installed = false) {
    options.serverUrl = server_.url();
    ASSERT_TRUE(environment_.setUp(options));
    std::wstring switches;
    if (installed) {
      switches = environment_.installReporter("");
      ASSERT_FALSE(switches.empty());
    }
    std::string error;
    ASSERT_TRUE(session_.start(switches, &error)) << error;
  }

  std::wstring crashFile(uint32_t crash, const wchar_t* extension) const {
    return crashFileName(session_.reporterPid(), crash, extension);
  }
  std::wstring feedbackFile(uint32_t crash) const {
    return feedbackFileName(session_.reporterPid(), crash);
  }

  // The location that the server's first request handed out with `id`.
  std::string locationOf(const std::string& id) const {
    return wideToUtf8(server_.url()) + "report?id=" + id + "&x=1";
  }

  // Reads a crash-feedback line "<guid>=<location>" of this server, exactly;
  // `id` gets the report id in the location.
  void readFeedbackLine(const std::wstring& path, const std::string& guid, std::string* id) {
    std::string line;
    ASSERT_TRUE(readFileToString(path, &line)) << wideToUtf8(path);
    const std::string start = guid + "=" + wideToUtf8(server_.url()) + "report?id=";
    ASSERT_EQ(line.compare(0, start.size(), start), 0) << line;
    *id = line.substr(start.size(), 16);
    ASSERT_TRUE(isReportId(*id)) << line;
    // Nothing more: no line end.
    EXPECT_EQ(line, guid + "=" + locationOf(*id));
  }

  // A browser process registers with `annotations` and crashes for real; the
  // reporter has handled the crash when it returns.
  void crashWith(const Annotations& annotations) {
    crashBrowserProcess(session_.reporterPid(), annotations, kReleaseTimeoutMs);
  }

  // Ends the browser and waits for the reporter to end after it: by then
  // every upload job has ended too.
  void endBrowserAndReporter() {
    ASSERT_TRUE(session_.endBrowser());
    ASSERT_TRUE(session_.reporterEnded(kReporterEndTimeoutMs)) << "the reporter is still running";
    EXPECT_EQ(session_.reporterExitCode(), 0u);
  }

  void readReport(const std::wstring& id, StoredReport* report) {
    ASSERT_TRUE(server_.readReport(id, report)) << wideToUtf8(id);
  }

  LocalCrashServer server_;
  ReporterEnvironment environment_{L"upload_e2e"};
  ReporterSession session_;
};

// What one crash leaves behind, case by case: the crash log only when logs
// are kept and not always then, the archive never, the crash-feedback file
// whenever the crash was queued for upload and the server named a location.
struct SurvivalCase {
  const char* name;
  // Asks for a report with words that lead to no exception.
  bool garbageWords;
  const char* firstRequestMode;
  const char* uploadMode;
  // A folder has the name of the first crash's archive before the crash:
  // the crash takes the next number, and the folder stays as it was.
  bool archiveNameTaken;
  bool logWritten;
  bool serverStoresReport;
  bool feedbackWritten;
  // The number that the crash's files carry.
  uint32_t number = 1;
};

void PrintTo(const SurvivalCase& c, std::ostream* out) { *out << c.name; }

const SurvivalCase kSurvivalCases[] = {
    {"CrashLogNotWritten", true, "redirect", "ok", false, false, false, false},
    {"ServiceUnavailable", false, "unavailable", "ok", false, true, false, false},
    {"ArchiveNameTaken", false, "redirect", "ok", true, true, true, true, 2},
    {"UploadedSuccessfully", false, "redirect", "ok", false, true, true, true},
    // The server stores the report and then answers 500.
    {"UploadedUnsuccessfully", false, "redirect", "status:500", false, true, true, true},
};

class CrashSurvivalTest : public CrashUploadTest,
                          public ::testing::WithParamInterface<std::tuple<SurvivalCase, bool>> {};

TEST_P(CrashSurvivalTest, LeavesTheFilesOfItsCase) {
  const SurvivalCase& c = std::get<0>(GetParam());
  const bool keepLogs = std::get<1>(GetParam());
  ReporterOptions options;
  options.keepLogs = keepLogs;
  startReporter(options);
  ASSERT_TRUE(server_.setFirstRequestMode(c.firstRequestMode));
  ASSERT_TRUE(server_.setUploadMode(c.uploadMode));
  const std::wstring logDir = environment_.logDir();
  const std::wstring blocker = joinPath(logDir, crashFile(1, L".zip"));
  if (c.archiveNameTaken) {
    ASSERT_TRUE(createDirectoryWithParents(blocker));
  }

  if (c.garbageWords) {
    BrowserProcess process;
    ASSERT_TRUE(process.start(session_.reporterPid()));
    process.set("crash_guid", "guid-7");
    ASSERT_TRUE(process.registerWithReporter());
    EXPECT_EQ(process.command("dump-raw 00000010 * *").compare(0, 9, "dump done"), 0);
  } else {
    crashWith({{"crash_guid", "guid-7"}, {"process_type", "renderer"}});
  }
  endBrowserAndReporter();

  std::vector<std::wstring> expected;
  if (c.logWritten && keepLogs) expected.push_back(crashFile(c.number, L".txt"));
  if (c.feedbackWritten) expected.push_back(feedbackFile(c.number));
  std::sort(expected.begin(), expected.end());
  // No archive is left; the crash log only as the case and keepLogs say.
  EXPECT_EQ(filesIn(logDir), expected);
  if (c.archiveNameTaken) {
    EXPECT_TRUE(directoryExists(blocker));
    EXPECT_TRUE(filesIn(blocker).empty());
  }

  const std::vector<std::wstring> ids = server_.reportedIds();
  ASSERT_EQ(ids.size(), c.serverStoresReport ? 1u : 0u);
  std::string feedbackId;
  if (c.feedbackWritten) {
    readFeedbackLine(joinPath(logDir, feedbackFile(c.number)), "guid-7", &feedbackId);
  }
  if (!c.serverStoresReport) return;
  // The report is stored under the id of the first request, which the
  // feedback line names.
  EXPECT_EQ(wideToUtf8(ids[0]), feedbackId);
  StoredReport report;
  readReport(ids[0], &report);
  ASSERT_NE(report.field("stacktraceId"), nullptr);
  EXPECT_EQ(*report.field("stacktraceId"), feedbackId);
  EXPECT_EQ(report.crashLog.compare(0, 18, "TAVRA-CRASHLOG V1 "), 0);
  if (keepLogs) {
    std::string kept;
    ASSERT_TRUE(readFileToString(joinPath(logDir, crashFile(c.number, L".txt")), &kept));
    EXPECT_TRUE(kept == report.crashLog) << "the uploaded crash log differs from the kept one";
  }
}

INSTANTIATE_TEST_SUITE_P(EveryCase, CrashSurvivalTest,
                         ::testing::Combine(::testing::ValuesIn(kSurvivalCases), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<SurvivalCase, bool>>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_KeepingLogs" : "_DeletingLogs");
                         });

// The crash-feedback file: per crash in the log directory from the
// environment, with "0" for a missing or empty GUID; otherwise one shared
// file in the user data directory, written only for a crash with a GUID.
class CrashFeedbackTest : public CrashUploadTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CrashFeedbackTest, LinksEachCrashGuidToItsReportLocation) {
  const bool logDirFromEnvironment = GetParam();
  ReporterOptions options;
  options.logDirFromEnvironment = logDirFromEnvironment;
  options.keepLogs = false;
  startReporter(options, /*installed=*/true);
  const std::wstring shared = joinPath(environment_.userDataDir(), L"crash_feedback_url.txt");

  const struct {
    Annotations annotations;
    // The line's GUID; null: no line is written for this crash.
    const char* guid;
  } crashes[] = {
      {{{"crash_guid", "abc-123"}}, "abc-123"},
      {{{"process_type", "gpu"}}, logDirFromEnvironment ? "0" : nullptr},
      {{{"crash_guid", ""}}, logDirFromEnvironment ? "0" : ""},
  };
  std::vector<std::string> lineIds;
  std::string sharedLine;
  uint32_t number = 0;
  for (const auto& crash : crashes) {
    SCOPED_TRACE(number + 1);
    crashWith(crash.annotations);
    ++number;
    // The file is written before the crashed process is released.
    const std::wstring target =
        logDirFromEnvironment ? joinPath(environment_.logDir(), feedbackFile(number)) : shared;
    if (crash.guid == nullptr) {
      if (logDirFromEnvironment) {
        EXPECT_FALSE(pathExists(target));
      } else {
        // The shared file still holds the line before.
        std::string line;
        ASSERT_TRUE(readFileToString(target, &line));
        EXPECT_EQ(line, sharedLine);
      }
      continue;
    }
    std::string id;
    readFeedbackLine(target, crash.guid, &id);
    lineIds.push_back(id);
    readFileToString(target, &sharedLine);
  }
  endBrowserAndReporter();

  // Every report was uploaded, under the ids that the lines name.
  std::vector<std::wstring> stored;
  ASSERT_TRUE(server_.waitForReports(3, kReportTimeoutMs, &stored));
  for (const std::string& id : lineIds) {
    EXPECT_NE(std::find(stored.begin(), stored.end(), utf8ToWide(id)), stored.end()) << id;
  }
  // Nothing but the feedback files stays in the crash directory: the crash
  // logs and archives are gone.
  std::vector<std::wstring> expected;
  if (logDirFromEnvironment) {
    expected = {feedbackFile(1), feedbackFile(2), feedbackFile(3)};
  } else {
    expected = {L"tavra_crashreporter.log"};
  }
  EXPECT_EQ(filesIn(environment_.crashDir()), expected);
}

INSTANTIATE_TEST_SUITE_P(LogDirectory, CrashFeedbackTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "FromTheEnvironment" : "Default";
                         });

// The bytes that the server received, against the body laid out anew from
// the fields, the archive and the boundary that the server saw.
void expectBodyAsSent(const StoredReport& report, const std::wstring& archiveName) {
  const std::string boundary = report.metadata.value("boundary", std::string());
  ASSERT_EQ(boundary.size(), 43u);
  UploadParameters parameters;
  for (const auto& field : report.fields) {
    parameters[utf8ToWide(field.first)] = utf8ToWide(field.second);
  }
  MultipartBody expected;
  ASSERT_TRUE(buildMultipartBody(utf8ToWide(boundary), parameters, archiveName, L"file",
                                 report.archive, wideToUtf8, &expected));
  EXPECT_TRUE(report.body == std::string(expected.bytes.get(), expected.size))
      << "the server received a different body";
}

// The parts in their order: (name, filename), the filename empty for a field.
std::vector<std::pair<std::string, std::string>> partsOf(const StoredReport& report) {
  std::vector<std::pair<std::string, std::string>> parts;
  for (const auto& part : report.metadata["parts"]) {
    parts.emplace_back(part.value("name", std::string()),
                       part["filename"].is_string() ? part["filename"].get<std::string>() : "");
  }
  return parts;
}

TEST_F(CrashUploadTest, TheServerReceivesTheFieldsAndTheCrashLogAsTheReporterSentThem) {
  ReporterOptions options;
  options.email = L"someone@example.test";
  startReporter(options);

  // A renderer, whose page address comes in two pieces.
  BrowserProcess renderer;
  ASSERT_TRUE(renderer.start(session_.reporterPid()));
  renderer.set("process_type", "renderer");
  renderer.set("origin", "Wren");
  renderer.set("crash_guid", "guid-1");
  ASSERT_EQ(renderer.command("setat 14 active_url http://example.test/"), "ok");
  ASSERT_EQ(renderer.command("setat 15 active_url page?q=1"), "ok");
  ASSERT_TRUE(renderer.registerWithReporter());
  CrashLine crash;
  ASSERT_TRUE(renderer.crash("read", "0", &crash));
  ASSERT_TRUE(renderer.waitForExit(kReleaseTimeoutMs, nullptr));

  // The browser process itself, for which the server has no id.
  ASSERT_TRUE(server_.setFirstRequestMode("no-id"));
  crashWith({{"process_type", "browser"},
             {"crash_guid", "guid-2"},
             {"active_url", "http://example.test/never-sent"}});
  endBrowserAndReporter();

  std::vector<std::wstring> ids;
  ASSERT_TRUE(server_.waitForReports(2, kReportTimeoutMs, &ids));
  StoredReport first, second;
  readReport(ids[0], &first);
  readReport(ids[1], &second);
  // Both uploads ran on their own threads: either may have come first.
  if (first.field("stacktraceId") == nullptr) std::swap(first, second);

  // The renderer's report, under the id that its first request got.
  ASSERT_NE(first.field("stacktraceId"), nullptr);
  EXPECT_EQ(utf8ToWide(*first.field("stacktraceId")), first.id);
  EXPECT_EQ(fieldNames(first),
            (std::vector<std::string>{"CrashUptime", "TotalUptime", "email", "origin",
                                      "stacktraceId", "url", "userComments"}));
  const std::string uptime = *first.field("CrashUptime");
  EXPECT_TRUE(std::all_of(uptime.begin(), uptime.end(), ::isdigit)) << uptime;
  EXPECT_EQ(*first.field("TotalUptime"), "");
  EXPECT_EQ(*first.field("email"), "someone@example.test");
  EXPECT_EQ(*first.field("origin"), "Wren");
  EXPECT_EQ(*first.field("url"), "http://example.test/page?q=1");
  EXPECT_EQ(*first.field("userComments"), "");
  const std::wstring firstArchive = crashFile(1, L".zip");
  EXPECT_EQ(partsOf(first),
            (std::vector<std::pair<std::string, std::string>>{{"CrashUptime", ""},
                                                              {"TotalUptime", ""},
                                                              {"email", ""},
                                                              {"origin", ""},
                                                              {"stacktraceId", ""},
                                                              {"url", ""},
                                                              {"userComments", ""},
                                                              {"file", wideToUtf8(firstArchive)}}));
  EXPECT_EQ(first.metadata.value("user_agent", ""),
            "TavraCrashReporter/1.0 (Windows) (Edition developer)");
  EXPECT_EQ(first.metadata.value("path", ""), "/?email=someone@example.test");
  expectBodyAsSent(first, firstArchive);
  // The archive's one entry, as the server unpacked it, is the crash log as
  // it was kept, byte for byte.
  std::string kept;
  ASSERT_TRUE(readFileToString(joinPath(environment_.logDir(), crashFile(1, L".txt")), &kept));
  EXPECT_TRUE(first.crashLog == kept) << "the archive's entry differs from the crash log";
  // The first request carried the page and the origin.
  ASSERT_TRUE(first.firstRequest.is_object());
  EXPECT_EQ(first.firstRequest.value("crash_url", ""), "http://example.test/page?q=1");
  EXPECT_EQ(first.firstRequest.value("origin", ""), "Wren");
  EXPECT_EQ(first.firstRequest.value("user_agent", ""),
            "TavraCrashReporter/1.0 (Windows) (Edition developer)");

  // The browser process's report: no id, so no "stacktraceId"; no "url" for
  // the browser process itself; no origin.
  EXPECT_EQ(fieldNames(second),
            (std::vector<std::string>{"CrashUptime", "TotalUptime", "email", "userComments"}));
  EXPECT_TRUE(second.firstRequest.is_null());
  const std::wstring secondArchive = crashFile(2, L".zip");
  EXPECT_EQ(partsOf(second).back(),
            (std::pair<std::string, std::string>("file", wideToUtf8(secondArchive))));
  expectBodyAsSent(second, secondArchive);
  ASSERT_TRUE(readFileToString(joinPath(environment_.logDir(), crashFile(2, L".txt")), &kept));
  EXPECT_TRUE(second.crashLog == kept);

  // Only the renderer's crash got a location, and with it a feedback line.
  std::vector<std::wstring> expected = {crashFile(1, L".txt"), crashFile(2, L".txt"),
                                        feedbackFile(1)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(filesIn(environment_.logDir()), expected);
  std::string lineId;
  readFeedbackLine(joinPath(environment_.logDir(), feedbackFile(1)), "guid-1", &lineId);
  EXPECT_EQ(utf8ToWide(lineId), first.id);
}

TEST_F(CrashUploadTest, TheReporterStaysAfterTheBrowserUntilItsUploadHasEnded) {
  ReporterOptions options;
  options.keepLogs = false;
  startReporter(options);
  // The server stores the report, then holds its answer: long enough that
  // the checks below run while it is held even on a loaded machine, and well
  // within the upload's stall time-out.
  ASSERT_TRUE(server_.setUploadMode("hold:15"));
  crashWith({{"process_type", "renderer"}});
  ASSERT_TRUE(session_.endBrowser());

  // The report is stored: the job waits for the answer, with its archive.
  ASSERT_TRUE(server_.waitForReports(1, kReportTimeoutMs, nullptr));
  EXPECT_FALSE(session_.reporterEnded(0)) << "the reporter ended during the upload";
  EXPECT_TRUE(pathExists(joinPath(environment_.logDir(), crashFile(1, L".zip"))));

  ASSERT_TRUE(session_.reporterEnded(kReporterEndTimeoutMs)) << "the reporter is still running";
  EXPECT_EQ(session_.reporterExitCode(), 0u);
  // The job ran to its end: the archive and the crash log are gone.
  EXPECT_EQ(filesIn(environment_.logDir()), std::vector<std::wstring>{feedbackFile(1)});
}

TEST_F(CrashUploadTest, TheDemoShowsTheFeedbackLineOfTheReportThatTheServerStored) {
  ReporterOptions options;
  options.keepLogs = false;
  options.serverUrl = server_.url();
  ASSERT_TRUE(environment_.setUp(options));
  const DemoRun run = runStandInBrowserDemo(L"");
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  std::vector<std::wstring> ids;
  ASSERT_TRUE(server_.waitForReports(1, kReportTimeoutMs, &ids)) << run.output;
  ASSERT_EQ(ids.size(), 1u);
  const std::string feedback =
      "crash-feedback file " + wideToUtf8(environment_.logDir()) + "\\crash_feedback_url-";
  EXPECT_NE(run.output.find(feedback), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(".txt: 5f1e-demo-guid=" + locationOf(wideToUtf8(ids[0])) + "\n"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("the reporter uploads the crash log and then deletes it"),
            std::string::npos);
  EXPECT_NE(run.output.find("observer: the reporter ended "), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("before the browser exited"), std::string::npos) << run.output;
  StoredReport report;
  readReport(ids[0], &report);
  ASSERT_NE(report.field("url"), nullptr);
  EXPECT_EQ(*report.field("url"), "http://example.test/crashing-page");
}

}  // namespace
}  // namespace tavra
