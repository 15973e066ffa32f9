// Browser processes that are badly broken, hostile or dying when they ask
// for a report: words that lead nowhere, memory that goes while it is read, a
// context of garbage, a process that ends itself during its capture, one with
// hundreds of threads, one with a full table of full-length annotations, a
// stack overflow, and a process that registers over and over. Each ends in a
// crash log as complete as could be read, or in none and a line in the
// reporter's log, with the process released; the reporter keeps serving, and
// holds no more handles, threads or memory than before.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "runtime/file_util.h"
#include "runtime/utf_conversion.h"
#include "testing/e2e/browser_process.h"
#include "testing/e2e/reporter_with_crash_server.h"
#include "testing/test_support/crash_log_reader.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// Generous bounds for a loaded machine; a passing run takes a fraction.
constexpr DWORD kReleaseTimeoutMs = 60000;
constexpr DWORD kSettleTimeoutMs = 60000;
constexpr DWORD kReporterEndTimeoutMs = 60000;
// What the reporter's memory may grow by across the hostile crashes: heap
// slack after tables, thread lists and logs of unusual size.
constexpr uint64_t kMemorySlack = 4 * 1024 * 1024;

// The threads that a crash log holds at most; the rest are left out to bound
// its size.
constexpr uint32_t kCrashLogThreadLimit = 499;

const char kNotCaptured[] = "no crash log: the process could not be read";

class HostileClientTest : public ::testing::Test {
 protected:
  // The reporter keeps its crash logs, to be read, and has handled one clean
  // crash (crash 1) before the hostile ones: the figures after it are the
  // baseline.
  void SetUp() override {
    ReporterOptions options;
    options.keepLogs = true;
    std::string error;
    ASSERT_TRUE(reporter_.start(options, &error)) << error;
    ASSERT_NO_FATAL_FAILURE(crashCleanly());
    ASSERT_NO_FATAL_FAILURE(settle());
    ASSERT_TRUE(reporter_.readFigures(&baseline_));
  }

  // The reporter still serves: another process's crash is handled whole and
  // uploaded; once everything has settled, the reporter holds what it held
  // before the hostile crashes; it ends after the browser.
  void TearDown() override {
    if (HasFatalFailure()) return;
    ASSERT_NO_FATAL_FAILURE(crashCleanly());
    ASSERT_NO_FATAL_FAILURE(settle());
    ProcessFigures after;
    const DWORD start = GetTickCount();
    const bool settled = reporter_.waitForFiguresToSettle(baseline_, kMemorySlack, &after);
    std::printf("%s\n%s (%lu ms later)\n", describeFigures("before", baseline_).c_str(),
                describeFigures("after", after).c_str(),
                static_cast<unsigned long>(GetTickCount() - start));
    EXPECT_TRUE(settled) << "the reporter kept more than it held before";
    ASSERT_TRUE(reporter_.endBrowserAndReporter(kReporterEndTimeoutMs));
    EXPECT_EQ(reporter_.session().reporterExitCode(), 0u);
  }

  // The next crash's number.
  uint32_t nextCrash() { return ++crashes_; }

  std::wstring logPath(uint32_t crash) const {
    return joinPath(reporter_.environment().logDir(), reporter_.crashFile(crash, L".txt"));
  }

  // A process with nothing odd about it crashes; its log is complete and it
  // is uploaded.
  void crashCleanly() {
    const uint32_t crash = nextCrash();
    CrashLine line;
    ASSERT_NO_FATAL_FAILURE(
        crashBrowserProcess(reporter_.reporterPid(), {{"clean", "yes"}}, kReleaseTimeoutMs, &line));
    CrashLog log;
    readLog(crash, &log);
    EXPECT_EQ(log.threads.at(0).id, line.at("tid"));
    EXPECT_TRUE(log.hasModuleList);
    ++reports_;
  }

  // Every report so far has arrived and every upload job has ended.
  void settle() {
    ASSERT_TRUE(reporter_.server().waitForReports(reports_, kSettleTimeoutMs, nullptr));
    ASSERT_TRUE(waitUntil([this] { return reporter_.crashFiles().size() == crashLogsKept(); },
                          kSettleTimeoutMs))
        << "an upload job did not end";
  }

  // The crash logs in the crash directory, which are kept.
  size_t crashLogsKept() const {
    size_t count = 0;
    for (uint32_t crash = 1; crash <= crashes_; ++crash) count += pathExists(logPath(crash));
    return count;
  }

  void readLog(uint32_t crash, CrashLog* log) {
    std::string error;
    ASSERT_TRUE(readCrashLog(logPath(crash), log, &error)) << "crash " << crash << ": " << error;
  }

  // The lines that the reporter logged about crash `crash` of process `pid`.
  std::vector<std::string> lossLines(uint32_t crash, uint32_t pid) const {
    return reporter_.reporterLogLines(ReporterWithCrashServer::crashLinePrefix(crash, pid));
  }

  // Waits until the request of process `pid`, which nobody waits for, is
  // over: a line says why crash `crash` has no log, or its report has
  // arrived, or the process ended before its request was taken up, which
  // gives it no crash number. Returns false in that last case.
  bool waitForFate(uint32_t crash, uint32_t pid) {
    const DWORD start = GetTickCount();
    for (;;) {
      if (!lossLines(crash, pid).empty()) return true;
      if (reporter_.server().reportedIds().size() >= reports_ + 1) return true;
      if (!reporter_.unhandledRequestLines(pid).empty()) return false;
      if (GetTickCount() - start > kSettleTimeoutMs) {
        ADD_FAILURE() << "crash " << crash << " never ended";
        return true;
      }
      Sleep(20);
    }
  }

  // A request that may or may not have left a crash log: either its log is
  // whole, is uploaded and nothing was logged about it, or there is none and
  // one line says why. Returns whether there is a log.
  bool expectLogOrLine(uint32_t crash, uint32_t pid, const std::string& what) {
    SCOPED_TRACE(what);
    if (pathExists(logPath(crash))) {
      CrashLog log;
      readLog(crash, &log);
      EXPECT_TRUE(lossLines(crash, pid).empty());
      ++reports_;
      return true;
    }
    const std::vector<std::string> lines = lossLines(crash, pid);
    EXPECT_EQ(lines.size(), 1u) << "no crash log and no line that says why";
    if (!lines.empty()) {
      EXPECT_NE(lines[0].find(kNotCaptured), std::string::npos) << lines[0];
    }
    return false;
  }

  ReporterWithCrashServer reporter_{L"hostile_e2e"};
  ProcessFigures baseline_;
  uint32_t crashes_ = 0;
  // Reports that the server should have received.
  size_t reports_ = 0;
};

TEST_F(HostileClientTest, WordsThatLeadToUnmappedMemoryLeaveNoLogAndOneLineEach) {
  // P, the exception pointers' address in the registered word; R and C, the
  // record and context it points to: "*" is the client's own, "edge" 4 bytes
  // before the end of readable memory.
  const char* requests[] = {"dump-raw 00000010 * *", "dump-raw FFFFFFF0 * *",
                            "dump-raw * 00000010 *", "dump-raw * * 00000010",
                            "dump-raw edge * *",     "dump-raw * * edge"};
  BrowserProcess process;
  ASSERT_TRUE(process.start(reporter_.reporterPid()));
  ASSERT_TRUE(process.registerWithReporter());
  for (const char* request : requests) {
    SCOPED_TRACE(request);
    const uint32_t crash = nextCrash();
    EXPECT_TRUE(startsWith(process.command(request), "dump done"));
    EXPECT_FALSE(pathExists(logPath(crash)));
    const std::vector<std::string> lines = lossLines(crash, process.processId());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(kNotCaptured), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(":WARNING:"), std::string::npos) << lines[0];
  }
}

TEST_F(HostileClientTest, MemoryFreedWhileTheCrashIsHandledLeavesAWholeLogOrNone) {
  // The exception, its context and the stack that the context names lie in a
  // region that the process frees this many milliseconds after its request:
  // before the reporter reads it, while it writes the log, or after.
  const int delays[] = {0, 1, 3, 10, 30, 100, 300};
  BrowserProcess process;
  ASSERT_TRUE(process.start(reporter_.reporterPid()));
  ASSERT_TRUE(process.registerWithReporter());
  std::string outcomes;
  for (int delay : delays) {
    const uint32_t crash = nextCrash();
    const std::string answer = process.command("dump-vanishing " + std::to_string(delay));
    EXPECT_TRUE(startsWith(answer, "dump done")) << answer;
    const bool logged =
        expectLogOrLine(crash, process.processId(), "freed after " + std::to_string(delay) + " ms");
    outcomes += " " + std::to_string(delay) + "ms:" + (logged ? "log" : "none");
  }
  std::printf("freed while handled:%s\n", outcomes.c_str());
}

TEST_F(HostileClientTest, AContextOfGarbageStillGivesAWholeLog) {
  // "garbage" is 4 KiB of pseudo-random bytes that stay readable.
  const struct {
    const char* request;
    // Whether the exception is readable, so that a log must come of it.
    bool readable;
  } requests[] = {{"dump-raw * * garbage", true},
                  {"dump-raw * garbage garbage", true},
                  {"dump-raw garbage * *", false}};
  BrowserProcess process;
  ASSERT_TRUE(process.start(reporter_.reporterPid()));
  ASSERT_TRUE(process.registerWithReporter());
  for (const auto& request : requests) {
    SCOPED_TRACE(request.request);
    const uint32_t crash = nextCrash();
    EXPECT_TRUE(startsWith(process.command(request.request), "dump done"));
    const bool logged = expectLogOrLine(crash, process.processId(), request.request);
    if (request.readable) {
      EXPECT_TRUE(logged);
    }
  }
}

TEST_F(HostileClientTest, AProcessThatEndsItselfDuringItsCaptureIsLeftBehindCleanly) {
  // Many threads make the capture take a while; the process ends this many
  // milliseconds after its request.
  for (int delay : {0, 30, 150}) {
    SCOPED_TRACE(delay);
    const uint32_t crash = nextCrash();
    BrowserProcess process;
    ASSERT_TRUE(process.start(reporter_.reporterPid()));
    ASSERT_TRUE(startsWith(process.command("threads 100"), "threads "));
    ASSERT_TRUE(process.registerWithReporter());
    ASSERT_TRUE(process.send("dump-then-exit " + std::to_string(delay)));
    DWORD code = 0;
    ASSERT_TRUE(process.waitForExit(kReleaseTimeoutMs, &code));
    EXPECT_EQ(code, 7u);
    // Nobody waits for the reporter now: wait until it has logged why there
    // is no log, or uploaded the one it wrote.
    if (!waitForFate(crash, process.processId())) {
      EXPECT_EQ(reporter_.unhandledRequestLines(process.processId()).size(), 1u);
      --crashes_;
      std::printf("ended itself %d ms after its request: before it was taken up\n", delay);
      continue;
    }
    const bool logged = expectLogOrLine(crash, process.processId(), "ended itself");
    std::printf("ended itself %d ms after its request: %s\n", delay, logged ? "log" : "no log");
  }
}

TEST_F(HostileClientTest, ManyThreadsGiveTheCrashedOneFirstAndTheLimitNoneTwice) {
  const uint32_t crash = nextCrash();
  BrowserProcess process;
  ASSERT_TRUE(process.start(reporter_.reporterPid()));
  ASSERT_TRUE(startsWith(process.command("threads 520"), "threads "));
  ASSERT_TRUE(process.registerWithReporter());
  const std::vector<uint32_t> threads = process.threadIds();
  ASSERT_GT(threads.size(), 520u);
  const std::set<uint32_t> own(threads.begin(), threads.end());
  CrashLine line;
  const DWORD start = GetTickCount();
  ASSERT_TRUE(process.crash("read", "0", &line));
  ASSERT_TRUE(process.waitForExit(kReleaseTimeoutMs, nullptr)) << "not released";
  std::printf("%zu threads: released after %lu ms\n", threads.size(),
              static_cast<unsigned long>(GetTickCount() - start));
  // The crash log holds the crashed thread first and then as many of the
  // others as it has room for, each once.
  CrashLog log;
  readLog(crash, &log);
  EXPECT_EQ(log.threads.at(0).id, line.at("tid"));
  EXPECT_EQ(log.threads.size(), static_cast<size_t>(kCrashLogThreadLimit));
  std::set<uint32_t> logged;
  for (const CrashLogThread& thread : log.threads) {
    EXPECT_EQ(own.count(thread.id), 1u) << "thread " << thread.id << " is not the process's";
    EXPECT_TRUE(logged.insert(thread.id).second) << "thread " << thread.id << " twice";
  }
  ++reports_;
}

TEST_F(HostileClientTest, AFullTableOfFullLengthAnnotationsIsReadWhole) {
  const uint32_t crash = nextCrash();
  BrowserProcess process;
  ASSERT_TRUE(process.start(reporter_.reporterPid(), L"--annotations=4096"));
  ASSERT_EQ(process.command("fill-full"), "ok");
  // The first and the last entry get names that a report may carry, with
  // values of all 64 units.
  const std::string fullValue(64, 'v');
  ASSERT_EQ(process.command("setat 0 first_entry " + fullValue), "ok");
  ASSERT_EQ(process.command("setat 4095 last_entry " + fullValue), "ok");
  ASSERT_TRUE(process.registerWithReporter());
  CrashLine line;
  const DWORD start = GetTickCount();
  ASSERT_TRUE(process.crash("write", "0", &line));
  ASSERT_TRUE(process.waitForExit(kReleaseTimeoutMs, nullptr)) << "not released";
  std::printf("4096 annotations of 64 units: released after %lu ms\n",
              static_cast<unsigned long>(GetTickCount() - start));
  CrashLog log;
  readLog(crash, &log);
  // A name of 64 units has no room for its end: such entries are no report
  // fields. The two named ones are, with their values whole.
  for (const char* name : {"first_entry", "last_entry"}) {
    const std::string* logged = log.metadataValue(name);
    ASSERT_NE(logged, nullptr) << name;
    EXPECT_EQ(*logged, fullValue);
  }
  for (const auto& entry : log.metadata) {
    EXPECT_NE(entry.first.compare(0, 9, "full_key_"), 0) << entry.first;
  }
  ++reports_;
}

TEST_F(HostileClientTest, AStackOverflowIsReportedByTheCrashHandlerOnItsLastPages) {
  const uint32_t crash = nextCrash();
  BrowserProcess process;
  ASSERT_TRUE(process.start(reporter_.reporterPid()));
  ASSERT_TRUE(process.registerWithReporter());
  CrashLine line;
  ASSERT_TRUE(process.crash("stack-overflow", "0", &line));
  DWORD code = 0;
  ASSERT_TRUE(process.waitForExit(kReleaseTimeoutMs, &code)) << "not released";
  EXPECT_EQ(code, 0xC00000FDu);
  CrashLog log;
  readLog(crash, &log);
  EXPECT_NE(log.exceptionLine.find(" caused exception C00000FD at address "), std::string::npos)
      << log.exceptionLine;
  EXPECT_EQ(log.threads.at(0).id, line.at("tid"));
  // The stack pointer of its width: ESP or RSP.
  const std::vector<RegisterName>& names = crashRegisterNames();
  const RegisterName& stackPointer = names[7];
  ASSERT_EQ(std::string(stackPointerName()), stackPointer.inLine);
  EXPECT_EQ(log.threads.at(0).registers.at(stackPointer.inLog), line.at(stackPointer.inLine));
  ++reports_;
}

TEST_F(HostileClientTest, AProcessThatRegistersManyTimesAndCrashesOnceGetsOneLog) {
  const uint32_t crash = nextCrash();
  BrowserProcess process;
  ASSERT_TRUE(process.start(reporter_.reporterPid()));
  process.set("registered", "many");
  ASSERT_EQ(process.command("register-many 200"), "registered-many 200");
  CrashLine line;
  ASSERT_TRUE(process.crash("write", "0", &line));
  ASSERT_TRUE(process.waitForExit(kReleaseTimeoutMs, nullptr)) << "not released";
  CrashLog log;
  readLog(crash, &log);
  ASSERT_NE(log.metadataValue("registered"), nullptr);
  // One crash, one log: nothing under the next number.
  EXPECT_FALSE(pathExists(logPath(crash + 1)));
  ++reports_;
}

}  // namespace
}  // namespace tavra
