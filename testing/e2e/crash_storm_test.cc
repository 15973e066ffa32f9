// Many browser processes crash at the same moment, each for real, while the
// reporter talks to the local crash server: every crash gets its own complete
// crash log and its own report, and every process is released.
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
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

constexpr int kProcesses = 16;
// Generous bounds for a loaded machine; a passing run takes a fraction.
constexpr DWORD kReleaseTimeoutMs = 120000;
constexpr DWORD kReportTimeoutMs = 120000;
constexpr DWORD kReporterEndTimeoutMs = 60000;

// A path that no file has, unique to process `index`: its loader names one of
// its modules so, and the reporter's message about the missing file lands in
// that crash's captured messages only.
std::string missingModulePath(int index) {
  return "C:\\storm-" + std::to_string(index) + "-of-many\\missing.dll";
}

struct StormProcess {
  BrowserProcess process;
  std::vector<uint32_t> threads;
  CrashLine crash;
  uint32_t expectedCode = 0;
  DWORD releasedAfterMs = 0;
};

// How the crash server answers the sixteen first requests.
struct StormServer {
  const char* name;
  const char* firstRequestMode;
  // Whether each report gets an id.
  bool idReceived;
  // When the last process must be released by: the crashes are handled side
  // by side, so a server that keeps each first request waiting for its whole
  // bound holds each process up once, not sixteen times over. Far above what
  // a passing run takes, far below sixteen bounds one after the other.
  DWORD lastReleaseBoundMs;
};

void PrintTo(const StormServer& server, std::ostream* out) { *out << server.name; }

const StormServer kStormServers[] = {
    {"Answering", "redirect", true, 60000},
    {"SilentAtTheFirstRequest", "silent", false, 30000},
};

class CrashStormTest : public ::testing::TestWithParam<StormServer> {};

TEST_P(CrashStormTest, SixteenProcessesCrashingAtOnceGetSixteenCompleteLogsAndReports) {
  const StormServer& server = GetParam();
  ReporterWithCrashServer reporter(L"storm_e2e");
  ReporterOptions options;
  options.keepLogs = true;
  std::string error;
  ASSERT_TRUE(reporter.start(options, &error)) << error;
  ASSERT_TRUE(reporter.server().setFirstRequestMode(server.firstRequestMode));

  const std::wstring eventName = L"TavraTestCrashStorm" + std::to_wstring(GetCurrentProcessId());
  ScopedHandle go(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
  ASSERT_TRUE(go.isValid());

  // Three kinds of crash, so that each log can be told by its exception too.
  const struct {
    const char* kind;
    const char* argument;
    uint32_t code;
  } kinds[] = {{"write", "0", 0xC0000005}, {"divide", "0", 0xC0000094}, {"raise", "E0000", 0}};
  std::vector<std::unique_ptr<StormProcess>> processes;
  for (int i = 0; i < kProcesses; ++i) {
    SCOPED_TRACE(i);
    processes.push_back(std::make_unique<StormProcess>());
    StormProcess& own = *processes.back();
    ASSERT_TRUE(own.process.start(reporter.reporterPid()));
    ASSERT_TRUE(startsWith(own.process.command("threads 2"), "threads "));
    own.process.set("storm_index", std::to_string(i));
    own.process.set("crash_guid", "storm-guid-" + std::to_string(i));
    const std::vector<LoadedModule> modules = own.process.modules();
    ASSERT_GE(modules.size(), 2u);
    ASSERT_EQ(own.process.command("loader-path " + hexAddress(modules[1].base) + " " +
                                  missingModulePath(i)),
              "loader-path done");
    ASSERT_TRUE(own.process.registerWithReporter());
    own.threads = own.process.threadIds();
    const auto& kind = kinds[i % 3];
    std::string argument = kind.argument;
    own.expectedCode = kind.code;
    if (kind.code == 0) {
      argument += hex(0x100 + i);
      own.expectedCode = 0xE0000100 + i;
    }
    ASSERT_TRUE(own.process.armCrash(wideToUtf8(eventName), kind.kind, argument));
  }

  // All of them at once.
  const DWORD start = GetTickCount();
  ASSERT_TRUE(SetEvent(go.get()));
  DWORD slowest = 0;
  for (int i = 0; i < kProcesses; ++i) {
    SCOPED_TRACE(i);
    StormProcess& own = *processes[i];
    ASSERT_TRUE(own.process.readCrashLine(&own.crash, kReleaseTimeoutMs));
    EXPECT_EQ(own.crash.at("code"), own.expectedCode);
    DWORD code = 0;
    ASSERT_TRUE(own.process.waitForExit(kReleaseTimeoutMs, &code)) << "not released";
    own.releasedAfterMs = GetTickCount() - start;
    if (own.releasedAfterMs > slowest) slowest = own.releasedAfterMs;
    EXPECT_EQ(code, own.expectedCode);
  }
  std::printf("%d crashes at once, %s: the last process was released after %lu ms\n", kProcesses,
              server.name, static_cast<unsigned long>(slowest));
  EXPECT_LT(slowest, server.lastReleaseBoundMs);

  // Sixteen crash logs, numbered 1 to 16, each holding one process's crash.
  std::set<int> seen;
  for (uint32_t number = 1; number <= kProcesses; ++number) {
    SCOPED_TRACE(number);
    const std::wstring path =
        joinPath(reporter.environment().logDir(), reporter.crashFile(number, L".txt"));
    CrashLog log;
    ASSERT_TRUE(readCrashLog(path, &log, &error)) << error;
    const std::string* index = log.metadataValue("storm_index");
    ASSERT_NE(index, nullptr);
    const int own = std::atoi(index->c_str());
    ASSERT_TRUE(own >= 0 && own < kProcesses) << *index;
    EXPECT_TRUE(seen.insert(own).second) << "two logs of process " << own;
    const StormProcess& process = *processes[own];
    EXPECT_NE(log.exceptionLine.find(" caused exception " + hex(process.expectedCode) + " "),
              std::string::npos)
        << log.exceptionLine;
    ASSERT_FALSE(log.threads.empty());
    EXPECT_EQ(log.threads[0].id, process.crash.at("tid"));
    // Its own threads, and none of another process.
    for (uint32_t id : process.threads) EXPECT_NE(log.thread(id), nullptr) << "thread " << id;
    for (int other = 0; other < kProcesses; ++other) {
      if (other == own) continue;
      for (uint32_t id : processes[other]->threads) {
        EXPECT_EQ(log.thread(id), nullptr) << "thread " << id << " of process " << other;
      }
    }
    // Its own captured messages, and none of another process.
    std::string captured;
    for (const std::string& line : log.crashLogger) captured += line + "\n";
    EXPECT_NE(captured.find(missingModulePath(own)), std::string::npos) << captured;
    for (int other = 0; other < kProcesses; ++other) {
      if (other == own) continue;
      EXPECT_EQ(captured.find(missingModulePath(other)), std::string::npos)
          << "a message of process " << other;
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kProcesses));

  // Sixteen reports, each the crash log that was kept.
  std::vector<std::wstring> ids;
  ASSERT_TRUE(reporter.server().waitForReports(kProcesses, kReportTimeoutMs, &ids));
  EXPECT_EQ(ids.size(), static_cast<size_t>(kProcesses));
  std::set<std::string> uploaded;
  for (const std::wstring& id : ids) {
    StoredReport report;
    ASSERT_TRUE(reporter.server().readReport(id, &report)) << wideToUtf8(id);
    uploaded.insert(report.crashLog);
    EXPECT_EQ(report.field("stacktraceId") != nullptr, server.idReceived);
  }
  EXPECT_EQ(uploaded.size(), static_cast<size_t>(kProcesses));
  for (uint32_t number = 1; number <= kProcesses; ++number) {
    std::string kept;
    ASSERT_TRUE(readFileToString(
        joinPath(reporter.environment().logDir(), reporter.crashFile(number, L".txt")), &kept));
    EXPECT_EQ(uploaded.count(kept), 1u) << "crash " << number << " was not uploaded as kept";
  }

  ASSERT_TRUE(reporter.endBrowserAndReporter(kReporterEndTimeoutMs));
  EXPECT_EQ(reporter.session().reporterExitCode(), 0u);
  // Every report was made: the reporter logged no loss.
  EXPECT_TRUE(reporter.reporterLogLines(" of process ").empty());
}

INSTANTIATE_TEST_SUITE_P(WithTheCrashServer, CrashStormTest, ::testing::ValuesIn(kStormServers),
                         [](const ::testing::TestParamInfo<StormServer>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tavra
