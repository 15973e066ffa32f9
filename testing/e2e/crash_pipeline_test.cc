// Real crashes of browser processes, handled by the real reporter: the
// stand-in browser starts the reporter and stays, test clients register over
// its pipe and crash for real, and the tests read the crash logs back and
// compare them with what each crashed process saw.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/file_util.h"
#include "runtime/utf_conversion.h"
#include "testing/e2e/browser_process.h"
#include "testing/e2e/reporter_environment.h"
#include "testing/e2e/reporter_session.h"
#include "testing/test_support/crash_log_reader.h"
#include "testing/test_support/reporter_file_names.h"
#include "testing/test_support/scripted_http_server.h"
#include "testing/test_support/test_files.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

using ::testing::HasSubstr;

// The test client's own version resource.
const char kClientVersion[] = "4.3.2.1";

class CrashPipelineTest : public ::testing::Test {
 protected:
  // Each crash log is read after its crash, so the logs are kept; no crash
  // server listens, so nothing is uploaded.
  void SetUp() override { startReporter(ReporterOptions()); }

  void startReporter(const ReporterOptions& options) {
    ASSERT_TRUE(environment_.setUp(options));
    std::string error;
    ASSERT_TRUE(session_.start(L"", &error)) << error;
    reporterPid_ = session_.reporterPid();
  }

  void endBrowser() { ASSERT_TRUE(session_.endBrowser()); }
  bool reporterEnded(DWORD timeoutMs) { return session_.reporterEnded(timeoutMs); }

  std::wstring logPath(uint32_t crashNumber) const {
    return joinPath(environment_.logDir(), crashFileName(reporterPid_, crashNumber));
  }

  // The crash logs: an archive of one may come and go meanwhile, as its
  // upload job runs.
  std::vector<std::wstring> logFiles() const {
    std::vector<std::wstring> logs;
    for (const std::wstring& name : filesIn(environment_.logDir())) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, L".txt") == 0) logs.push_back(name);
    }
    return logs;
  }
  std::string reporterLog() const { return environment_.reporterLog(); }

  void readLog(uint32_t crashNumber, CrashLog* log) {
    std::string error;
    ASSERT_TRUE(readCrashLog(logPath(crashNumber), log, &error))
        << wideToUtf8(logPath(crashNumber)) << ": " << error;
  }

  // A browser process that registers and then crashes with `kind`. Its
  // crash line, threads and modules as it saw them before the crash.
  struct Crashed {
    BrowserProcess process;
    CrashLine crash;
    std::vector<uint32_t> threads;
    std::vector<LoadedModule> modules;
  };

  void prepare(Crashed* crashed, const std::wstring& switches = L"") {
    ASSERT_TRUE(crashed->process.start(reporterPid_, switches));
    ASSERT_TRUE(startsWith(crashed->process.command("threads 3"), "threads "));
    ASSERT_TRUE(crashed->process.registerWithReporter());
  }

  void listThreadsAndModules(Crashed* crashed) {
    crashed->threads = crashed->process.threadIds();
    crashed->modules = crashed->process.modules();
    ASSERT_GE(crashed->threads.size(), 4u);
    ASSERT_FALSE(crashed->modules.empty());
  }

  ReporterEnvironment environment_{L"crash_e2e"};
  ReporterSession session_;
  uint32_t reporterPid_ = 0;
};

// Every part of one crash log against what its crashed process saw, in the
// registers and the address width of the build's (and so the reporter's and
// the crashed process's) width.
void expectLogMatchesCrash(const CrashLog& log, const CrashLine& crash,
                           const std::vector<uint32_t>& threads,
                           const std::vector<LoadedModule>& modules) {
  uint64_t exeBase = 0;
  for (const LoadedModule& module : modules) {
    if (module.path.size() >= 21 &&
        module.path.compare(module.path.size() - 21, 21, "tavra_test_client.exe") == 0) {
      exeBase = module.base;
    }
  }
  EXPECT_EQ("tavra_test_client.exe caused exception " + hex(crash.at("code")) + " at address " +
                hexAddress(crash.at("address")) + " (Base: " + hexAddress(exeBase) + ")",
            log.exceptionLine);

  // The crashed thread comes first, with the registers of the crash.
  ASSERT_FALSE(log.threads.empty());
  const CrashLogThread& crashed = log.threads[0];
  EXPECT_EQ(crash.at("tid"), crashed.id);
  EXPECT_TRUE(crashed.crashed);
  // Every general register is checked: all but the flags.
  const std::vector<RegisterName>& names = crashRegisterNames();
  EXPECT_EQ(names.size() - 1, crashed.checkedContextValues);
  for (const RegisterName& name : names) {
    ASSERT_EQ(1u, crashed.registers.count(name.inLog)) << name.inLog;
    EXPECT_EQ(hexAddress(crash.at(name.inLine)), hexAddress(crashed.registers.at(name.inLog)))
        << name.inLog;
  }
  // Its stack, from the stack pointer on, rounded down to a whole word.
  ASSERT_FALSE(crashed.stackLineAddresses.empty());
  const uint64_t wordMask = ~static_cast<uint64_t>(sizeof(void*) - 1);
  EXPECT_EQ(hexAddress(crash.at(stackPointerName()) & wordMask),
            hexAddress(crashed.stackLineAddresses[0]));
  // The code that the instruction pointer points to is dumped.
  EXPECT_TRUE(log.hasMemoryDumps);
  const uint64_t instructionPointer = crash.at(instructionPointerName());
  EXPECT_TRUE(log.dumpsShow(instructionPointer)) << hexAddress(instructionPointer);

  // Every other thread has its section.
  for (uint32_t id : threads) {
    if (id == crash.at("tid")) continue;
    const CrashLogThread* thread = log.thread(id);
    ASSERT_NE(nullptr, thread) << "thread " << id;
    EXPECT_FALSE(thread->crashed);
  }
  for (size_t i = 1; i < log.threads.size(); ++i) EXPECT_FALSE(log.threads[i].crashed);

  // Every module, with its version.
  ASSERT_TRUE(log.hasModuleList);
  for (const LoadedModule& module : modules) {
    const CrashLogModule* listed = log.moduleAt(module.base);
    ASSERT_NE(nullptr, listed) << module.path;
    EXPECT_EQ(baseName(utf8ToWide(module.path)), utf8ToWide(listed->name));
    if (module.base == exeBase) {
      EXPECT_EQ(kClientVersion, listed->version);
    }
  }
}

size_t countOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Keys that every crash log carries, whatever the client set.
const char* const kAlwaysPresent[] = {"enabled_extensions",
                                      "disabled_extensions",
                                      "blacklisted_extensions",
                                      "terminated_extensions",
                                      "third_party_installs",
                                      "os_version",
                                      "os_service_pack_version",
                                      "cpu_architecture",
                                      "cpu_level",
                                      "cpu_revision",
                                      "mem_working_set_size",
                                      "mem_peak_working_set_size",
                                      "mem_private_usage"};

// The captured messages of a crash, without their "file:line:" start.
std::vector<std::string> capturedMessages(const CrashLog& log) {
  std::vector<std::string> messages;
  for (const std::string& line : log.crashLogger) {
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    EXPECT_NE(std::string::npos, second) << line;
    if (second != std::string::npos) messages.push_back(line.substr(second + 1));
  }
  return messages;
}

TEST_F(CrashPipelineTest, EveryKindOfCrashLeavesACompleteLogNumberedInTurn) {
  const struct {
    const char* kind;
    const char* argument;
    uint32_t code;
  } kinds[] = {{"read", "0", 0xC0000005},         {"write", "10", 0xC0000005},
               {"divide", "0", 0xC0000094},       {"breakpoint", "0", 0x80000003},
               {"raise", "E0001234", 0xE0001234}, {"stack-overflow", "0", 0xC00000FD}};
  uint32_t crashNumber = 0;
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.kind);
    ++crashNumber;
    Crashed crashed;
    prepare(&crashed);
    crashed.process.set("version", "7.8.9.10");
    crashed.process.set("build", "b" + std::to_string(crashNumber));
    crashed.process.set("crash_kind", kind.kind);
    crashed.process.set("enabled_extensions", "abc");
    crashed.process.set("enabled_extensions2", "def");
    crashed.process.set("crash_guid", "0123-guid");
    crashed.process.set("bad!name", "dropped");
    listThreadsAndModules(&crashed);
    ASSERT_TRUE(crashed.process.crash(kind.kind, kind.argument, &crashed.crash));
    EXPECT_EQ(kind.code, crashed.crash.at("code"));
    DWORD code = 0;
    ASSERT_TRUE(crashed.process.waitForExit(10000, &code));
    EXPECT_EQ(kind.code, code);

    CrashLog log;
    readLog(crashNumber, &log);
    EXPECT_EQ(
        "TAVRA-CRASHLOG V1 desktop 7.8.9.10 b" + std::to_string(crashNumber) + " windows  release",
        log.header);
    expectLogMatchesCrash(log, crashed.crash, crashed.threads, crashed.modules);
    // The client's annotations by the rules of metadata.
    ASSERT_NE(nullptr, log.metadataValue("crash_kind"));
    EXPECT_EQ(kind.kind, *log.metadataValue("crash_kind"));
    EXPECT_EQ("abc", *log.metadataValue("enabled_extensions"));
    ASSERT_NE(nullptr, log.metadataValue("enabled_extensions2"));
    for (const char* absent : {"bad!name", "crash_guid", "ptime", "version", "build"}) {
      EXPECT_EQ(nullptr, log.metadataValue(absent)) << absent;
    }
    for (const char* key : kAlwaysPresent) EXPECT_NE(nullptr, log.metadataValue(key)) << key;

    // The reporter's messages about this crash are in its crash log, and
    // not in the reporter's own log.
    const std::vector<std::string> messages = capturedMessages(log);
    EXPECT_FALSE(messages.empty());
    const std::string ownLog = reporterLog();
    for (const std::string& message : messages) {
      EXPECT_THAT(ownLog, ::testing::Not(HasSubstr(message)));
    }
  }
  EXPECT_EQ(static_cast<size_t>(crashNumber), logFiles().size());
  endBrowser();
  EXPECT_TRUE(reporterEnded(10000));
}

// Each reporter serves the processes of its own width: a registration in the
// other width's layout is hung up on and told in the reporter's log, and the
// same process is served once it registers in its own.
TEST_F(CrashPipelineTest, TheOtherWidthsRegistrationIsRefusedWithItsLineInTheReporterLog) {
  const bool serves64 = sizeof(void*) == 8;
  BrowserProcess client;
  ASSERT_TRUE(client.start(reporterPid_));
  const std::string refused = client.command("register other-width");
  EXPECT_TRUE(startsWith(refused, "hangup ")) << refused;
  const std::string line =
      "Process " + std::to_string(client.processId()) + ": registration refused: it sent the " +
      (serves64 ? "32-bit registration; this reporter serves 64-bit processes"
                : "64-bit registration; this reporter serves 32-bit processes");
  EXPECT_TRUE(waitUntil([&] { return reporterLog().find(line) != std::string::npos; }))
      << reporterLog();
  EXPECT_EQ(1u, countOf(reporterLog(), "registration refused"));

  ASSERT_TRUE(client.registerWithReporter());
  EXPECT_EQ("dump done", client.command("dump"));
  EXPECT_EQ(1u, countOf(reporterLog(), "registration refused"));
  endBrowser();
  EXPECT_TRUE(reporterEnded(10000));
}

TEST_F(CrashPipelineTest, WordsWithoutAnExceptionBehindThemLeaveNoLogAndTheNextCrashIsHandled) {
  // Each asks with a hand-made exception: "*" is the client's own record,
  // "edge" an address 4 bytes before the end of readable memory.
  const char* garbage[] = {"dump-raw 00000010 * *", "dump-raw * 00000010 *",
                           "dump-raw * * 00000010", "dump-raw edge * *", "dump-raw * * edge"};
  BrowserProcess client;
  ASSERT_TRUE(client.start(reporterPid_));
  ASSERT_TRUE(client.registerWithReporter());
  for (const char* request : garbage) {
    // The client is released all the same.
    EXPECT_TRUE(startsWith(client.command(request), "dump done")) << request;
  }
  EXPECT_TRUE(logFiles().empty());

  Crashed crashed;
  prepare(&crashed);
  listThreadsAndModules(&crashed);
  ASSERT_TRUE(crashed.process.crash("read", "0", &crashed.crash));
  ASSERT_TRUE(crashed.process.waitForExit(10000, nullptr));
  // The requests that came to nothing still took their numbers.
  const uint32_t crashNumber = sizeof(garbage) / sizeof(garbage[0]) + 1;
  ASSERT_EQ(1u, logFiles().size());
  CrashLog log;
  readLog(crashNumber, &log);
  expectLogMatchesCrash(log, crashed.crash, crashed.threads, crashed.modules);
}

// The module names in a captured message, as "... in NAME" or "... for PATH"
// name them.
std::set<std::string> modulesNamedIn(const std::vector<std::string>& messages) {
  std::set<std::string> names;
  for (const std::string& message : messages) {
    for (const char* marker : {" in ", " for "}) {
      const size_t at = message.rfind(marker);
      if (at == std::string::npos) continue;
      std::string name = message.substr(at + strlen(marker));
      const size_t slash = name.find_last_of("\\/");
      if (slash != std::string::npos) name = name.substr(slash + 1);
      if (name.size() > 4 && name.find('.') != std::string::npos) names.insert(name);
    }
  }
  return names;
}

std::set<std::string> lowerCaseBaseNames(const std::vector<LoadedModule>& modules) {
  std::set<std::string> names;
  for (const LoadedModule& module : modules) {
    std::string name = wideToUtf8(baseName(utf8ToWide(module.path)));
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    names.insert(name);
  }
  return names;
}

TEST_F(CrashPipelineTest, CrashesAtTheSameMomentGiveTwoCompleteLogsEachWithOnlyItsOwnCrash) {
  // The second process holds more modules, so that messages about modules
  // only it has would show in the wrong log.
  Crashed first, second;
  prepare(&first);
  prepare(&second);
  ASSERT_TRUE(startsWith(second.process.command("modules 40"), "modules "));
  first.process.set("who", "first");
  second.process.set("who", "second");
  listThreadsAndModules(&first);
  listThreadsAndModules(&second);

  // Both crash before either is looked at.
  ASSERT_TRUE(first.process.crash("read", "0", &first.crash));
  ASSERT_TRUE(second.process.crash("divide", "0", &second.crash));
  ASSERT_TRUE(first.process.waitForExit(10000, nullptr));
  ASSERT_TRUE(second.process.waitForExit(10000, nullptr));

  ASSERT_EQ(2u, logFiles().size());
  CrashLog logs[2];
  readLog(1, &logs[0]);
  readLog(2, &logs[1]);
  for (const CrashLog& log : logs) {
    ASSERT_NE(nullptr, log.metadataValue("who"));
    const bool isFirst = *log.metadataValue("who") == "first";
    const Crashed& own = isFirst ? first : second;
    const Crashed& other = isFirst ? second : first;
    SCOPED_TRACE(*log.metadataValue("who"));
    expectLogMatchesCrash(log, own.crash, own.threads, own.modules);
    for (uint32_t id : other.threads) EXPECT_EQ(nullptr, log.thread(id)) << "thread " << id;
    const std::set<std::string> ownModules = lowerCaseBaseNames(own.modules);
    for (std::string name : modulesNamedIn(capturedMessages(log))) {
      std::transform(name.begin(), name.end(), name.begin(), ::tolower);
      EXPECT_EQ(1u, ownModules.count(name)) << name << " is not a module of this process";
    }
  }
  EXPECT_NE(*logs[0].metadataValue("who"), *logs[1].metadataValue("who"));
  // The check above could tell: the second process's messages name modules
  // that the first one does not have.
  const CrashLog& secondLog = *logs[0].metadataValue("who") == "second" ? logs[0] : logs[1];
  const std::set<std::string> firstModules = lowerCaseBaseNames(first.modules);
  size_t onlySecond = 0;
  for (std::string name : modulesNamedIn(capturedMessages(secondLog))) {
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    onlySecond += firstModules.count(name) == 0 ? 1 : 0;
  }
  EXPECT_GT(onlySecond, 0u);
}

// The reporter's crash server holds the first crash's first request without
// an answer, so that the crash stays in its handling for as long as the
// reporter lets a first request wait; every later request is declined at
// once (503), so those crashes end without an upload.
class HeldCrashPipelineTest : public CrashPipelineTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.start());
    ReporterOptions options;
    options.serverUrl = server_.url();
    startReporter(options);
  }

  // Crashes `held` and returns once its first request waits at the server.
  void crashAndHold(Crashed* held) {
    ASSERT_TRUE(held->process.crash("read", "0", &held->crash));
    ASSERT_TRUE(waitUntil([this] { return server_.connectionCount() >= 1; }, 30000))
        << "the crash's first request did not come";
  }

  ScriptedHttpServer server_{ScriptedHttpServer::Behaviour::kStallFirst,
                             "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n"};
};

TEST_F(HeldCrashPipelineTest, RegistrationAndAnotherCrashDuringALongCrashDoNotWaitForIt) {
  Crashed held;
  prepare(&held);
  BrowserProcess late;
  ASSERT_TRUE(late.start(reporterPid_));

  ASSERT_NO_FATAL_FAILURE(crashAndHold(&held));
  // While the held crash is handled, a new process registers and has a crash
  // of its own handled.
  const DWORD start = GetTickCount();
  EXPECT_TRUE(late.registerWithReporter());
  EXPECT_TRUE(startsWith(late.command("dump-raw * * *"), "dump done"));
  std::printf("registered and handled another crash in %lu ms\n",
              static_cast<unsigned long>(GetTickCount() - start));
  EXPECT_FALSE(held.process.ended()) << "the held crash was over before the others were served";

  ASSERT_TRUE(held.process.waitForExit(30000, nullptr));
  ASSERT_EQ(2u, logFiles().size());
  CrashLog heldLog, lateLog;
  readLog(1, &heldLog);
  readLog(2, &lateLog);
  EXPECT_EQ(held.crash.at("tid"), heldLog.threads.at(0).id);
  // The hand-made exception of the late process: code E0000001.
  EXPECT_THAT(lateLog.exceptionLine, HasSubstr(" caused exception E0000001 at address "));
}

TEST_F(HeldCrashPipelineTest, BrowserExitingDuringACrashLeavesTheReporterUntilTheLogIsWritten) {
  Crashed held;
  prepare(&held);
  listThreadsAndModules(&held);
  ASSERT_NO_FATAL_FAILURE(crashAndHold(&held));
  endBrowser();
  ASSERT_FALSE(held.process.ended()) << "the crash was handled before the browser exited";
  // The browser has gone, the crash is still being handled.
  EXPECT_FALSE(reporterEnded(0));

  ASSERT_TRUE(held.process.waitForExit(30000, nullptr));
  ASSERT_TRUE(reporterEnded(30000));
  EXPECT_EQ(0u, session_.reporterExitCode());
  CrashLog log;
  readLog(1, &log);
  expectLogMatchesCrash(log, held.crash, held.threads, held.modules);
  EXPECT_FALSE(log.crashLogger.empty());
}

}  // namespace
}  // namespace tavra
