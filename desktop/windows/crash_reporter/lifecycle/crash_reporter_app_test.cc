#include "desktop/windows/crash_reporter/lifecycle/crash_reporter_app.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <string>

#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/path_service.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_temp_dir.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

TEST(ParentProcessIdTest, OnlyPlainDecimalNumbersWithinThirtyTwoBits) {
  EXPECT_EQ(4321u, parseParentProcessId("4321"));
  EXPECT_EQ(4294967295u, parseParentProcessId("4294967295"));
  EXPECT_EQ(7u, parseParentProcessId("0007"));
  for (const char* bad : {"", "0", "12a", "-5", "+5", " 5", "5 ", "4294967296", "0x10",
                          "99999999999999999999999", "１２"}) {
    EXPECT_EQ(0u, parseParentProcessId(bad)) << bad;
  }
}

TEST(HandshakeNameTest, NamesCarryTheProcessId) {
  wchar_t name[kHandshakeNameLength];
  ASSERT_TRUE(buildHandshakeName(kReadyEventPrefix, 4321, name));
  EXPECT_STREQ(L"TavraCrashReporterInitEvent4321", name);
  ASSERT_TRUE(buildHandshakeName(kPipeNamePrefix, 17, name));
  EXPECT_STREQ(L"\\\\.\\pipe\\TavraCrashReporter17", name);
}

TEST(HandshakeNameTest, TheLargestIdStillFits) {
  wchar_t name[kHandshakeNameLength];
  ASSERT_TRUE(buildHandshakeName(kReadyEventPrefix, 4294967295u, name));
  EXPECT_STREQ(L"TavraCrashReporterInitEvent4294967295", name);
  EXPECT_EQ(kHandshakeNameLength - 1, wcslen(name));
  ASSERT_TRUE(buildHandshakeName(kPipeNamePrefix, 4294967295u, name));
  EXPECT_EQ(kHandshakeNameLength - 1, wcslen(name));
}

TEST(HandshakeNameTest, ALongerPrefixIsCutAndTerminated) {
  wchar_t name[kHandshakeNameLength];
  // A name that does not fit is refused, and the buffer still ends in NUL.
  EXPECT_FALSE(buildHandshakeName(L"APrefixThatIsFarTooLongForTheNameBuffer", 1, name));
  EXPECT_EQ(L'\0', name[kHandshakeNameLength - 1]);
  EXPECT_LT(wcslen(name), kHandshakeNameLength);
}

TEST(CrashReporterProcessTest, SecondCommandLineInitialisationEndsWithMinusOne) {
  ASSERT_TRUE(CommandLine::initForCurrentProcess());
  EXPECT_EQ(-1, runCrashReporterProcess());
}

TEST(CrashReporterProcessTest, UnusableLocalizationFolderEndsWithMinusOne) {
  // The module folder answers with a folder whose "localization" is a file,
  // so the folder cannot be made.
  ScopedTempDir temp(L"app_test");
  ASSERT_TRUE(temp.isValid());
  ASSERT_TRUE(writeFile(joinPath(temp.path(), L"localization"), "not a folder"));
  ASSERT_TRUE(PathService::overridePath(DIR_MODULE, temp.path()));
  CommandLine::resetForCurrentProcess();
  EXPECT_EQ(-1, runCrashReporterProcess());
  PathService::resetForTesting();
}

TEST(CrashReporterProcessTest, MissingParentIdEndsWithZero) {
  // The test program's own command line has no parent id: the main routine
  // fails at once, and the process still ends with 0.
  ScopedTempDir temp(L"app_test");
  ASSERT_TRUE(temp.isValid());
  ASSERT_TRUE(PathService::overridePath(DIR_MODULE, temp.path()));
  CommandLine::resetForCurrentProcess();
  EXPECT_EQ(0, runCrashReporterProcess());
  EXPECT_TRUE(directoryExists(joinPath(temp.path(), L"localization")));
  PathService::resetForTesting();
}

// A dump hook that works as the crash pipeline will: it counts itself while
// it runs and starts a job that outlives it and counts itself until the test
// lets it end. It may be told to wait before it begins.
struct LateCrash {
  PendingWork work;
  ScopedHandle hookStarted{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle hookMayBegin{CreateEventW(nullptr, TRUE, TRUE, nullptr)};
  ScopedHandle jobMayEnd{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> jobEnded{false};

  static DWORD WINAPI runJob(void* context) {
    LateCrash* self = static_cast<LateCrash*>(context);
    WaitForSingleObject(self->jobMayEnd.get(), 20000);
    self->jobEnded = true;
    self->work.leave();
    return 0;
  }

  static void onDumpRequest(void* context, ReporterClient*) {
    LateCrash* self = static_cast<LateCrash*>(context);
    SetEvent(self->hookStarted.get());
    WaitForSingleObject(self->hookMayBegin.get(), 20000);
    self->work.enter();
    self->work.enter();
    if (!QueueUserWorkItem(&LateCrash::runJob, self, WT_EXECUTELONGFUNCTION)) self->work.leave();
    self->work.leave();
  }
};

// Starts the server and, once told to, shuts down, on a thread of its own:
// `start` and `stop` must run on the same thread.
struct ShutdownThread {
  LateCrash* crash = nullptr;
  DumpRequestServer* server = nullptr;
  ScopedHandle started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle go{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle thread;
  std::atomic<bool> startResult{false};
  std::atomic<LONG> countAtEnd{-1};
  std::atomic<bool> jobEndedBeforeEnd{false};

  static DWORD WINAPI run(void* context) {
    ShutdownThread* self = static_cast<ShutdownThread*>(context);
    self->startResult = self->server->start();
    SetEvent(self->started.get());
    WaitForSingleObject(self->go.get(), 20000);
    shutDownWhenIdle(&self->crash->work, self->server);
    self->countAtEnd = self->crash->work.count();
    self->jobEndedBeforeEnd = self->crash->jobEnded.load();
    return 0;
  }

  // Lets everything go, also when the test failed half-way.
  ~ShutdownThread() {
    if (crash != nullptr) {
      SetEvent(crash->hookMayBegin.get());
      SetEvent(crash->jobMayEnd.get());
    }
    SetEvent(go.get());
    if (thread.isValid()) WaitForSingleObject(thread.get(), 20000);
  }
};

class ShutdownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(crash_.work.createDoneEvent());
    server_ = std::make_unique<DumpRequestServer>(reporterPipeName(GetCurrentProcessId()), nullptr,
                                                  nullptr, nullptr, &LateCrash::onDumpRequest,
                                                  &crash_, nullptr, nullptr, nullptr, nullptr);
    shutdown_.crash = &crash_;
    shutdown_.server = server_.get();
    shutdown_.thread.reset(CreateThread(nullptr, 0, &ShutdownThread::run, &shutdown_, 0, nullptr));
    ASSERT_TRUE(shutdown_.thread.isValid());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(shutdown_.started.get(), 5000));
    ASSERT_TRUE(shutdown_.startResult);
    ASSERT_TRUE(client_.start(siblingProgramPath(L"tavra_test_client.exe"),
                              L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId())));
    ASSERT_EQ(0u, client_.command("register").find("registered "));
    // The parent lives, then ends: nothing is pending and the main thread
    // would wake.
    crash_.work.enter();
    crash_.work.leave();
  }

  // Shutdown goes on only once the job has ended, and finds nothing pending.
  void expectShutdownWaitsForTheJob() {
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(shutdown_.thread.get(), 300))
        << "shutdown ended while the job still ran";
    SetEvent(crash_.jobMayEnd.get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(shutdown_.thread.get(), 5000));
    EXPECT_TRUE(shutdown_.jobEndedBeforeEnd);
    EXPECT_EQ(0, shutdown_.countAtEnd);
  }

  LateCrash crash_;
  std::unique_ptr<DumpRequestServer> server_;
  ShutdownThread shutdown_;
  ChildProcess client_;
};

TEST_F(ShutdownTest, CrashAfterTheParentEndedIsWaitedForWithTheWorkItStarted) {
  EXPECT_EQ("dump done", client_.command("dump"));
  SetEvent(shutdown_.go.get());
  expectShutdownWaitsForTheJob();
}

TEST_F(ShutdownTest, CrashThatBeginsWhileTheServerStopsIsWaitedForAndItsClientReleased) {
  ResetEvent(crash_.hookMayBegin.get());
  ASSERT_TRUE(client_.sendLine("dump 10000"));
  // The dump request is taken; its hook counts itself only after the first
  // wait for idle has returned and the server is stopping.
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(crash_.hookStarted.get(), 5000));
  SetEvent(shutdown_.go.get());
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::Failed; }));
  SetEvent(crash_.hookMayBegin.get());
  std::string line;
  ASSERT_TRUE(client_.readLine(&line, 5000));
  EXPECT_EQ("dump done", line);
  expectShutdownWaitsForTheJob();
}

}  // namespace
}  // namespace tavra
