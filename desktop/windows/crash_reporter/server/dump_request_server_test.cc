#include "desktop/windows/crash_reporter/server/dump_request_server.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/server/server_test_fixture.h"
#include "runtime/scoped_holder.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// Starting and stopping the whole server: what stop releases, and what it
// waits for.
class DumpRequestServerTest : public ServerTestFixture {};

TEST_F(DumpRequestServerTest, StopReleasesRegisteredClients) {
  startServer();
  ChildProcess* first = startClient();
  ChildProcess* second = startClient();
  registerClient(first);
  registerClient(second);
  ASSERT_EQ(2u, registeredCount());
  first->sendLine("wait-mutex 8000");
  Sleep(50);

  server_->stop();
  EXPECT_EQ(0u, registeredCount());
  EXPECT_EQ(PipeState::Failed, server_->state());
  // A client waiting on the server-alive mutex gets it as the server lets go.
  std::string line;
  ASSERT_TRUE(first->readLine(&line, 5000));
  EXPECT_EQ("mutex acquired", line);
  // Stopping forgets clients without calling the exit hook.
  EXPECT_TRUE(recorder_.read(recorder_.exited).empty());
  // Nobody answers dump requests any more, and the pipe is gone.
  EXPECT_EQ("dump timeout", second->command("dump 300"));
  EXPECT_EQ("failed " + std::to_string(ERROR_FILE_NOT_FOUND), second->command("register"));
}

TEST_F(DumpRequestServerTest, StopWithoutClientsRemovesThePipe) {
  startServer();
  ASSERT_TRUE(listening());
  EXPECT_FALSE(server_->start());
  server_->stop();
  server_->stop();
  EXPECT_EQ(PipeState::Failed, server_->state());
  PipeConnection connection;
  EXPECT_FALSE(connection.connect(pipeName(), 1000));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), connection.lastError());
}

TEST_F(DumpRequestServerTest, SecondServerOnTheSameNameFailsToStart) {
  startServer();
  DumpRequestServer second(pipeName(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           nullptr, nullptr, nullptr);
  EXPECT_FALSE(second.start());
  second.stop();
  EXPECT_EQ(PipeState::Failed, second.state());
  // The first one serves on.
  ChildProcess* client = startClient();
  registerClient(client);
  EXPECT_EQ("dump done", client->command("dump"));
}

// A dump hook that runs until the test lets it go.
void blockUntilReleased(void* context, ReporterClient*) {
  HookGate* gate = static_cast<HookGate*>(context);
  gate->hold(10000);
  gate->returned = true;
}

// Starts and stops a server on a thread of its own: both must run on the same
// thread, and the test's thread stays free to watch `stop`.
struct ServerThread {
  DumpRequestServer* server = nullptr;
  HookGate* gate = nullptr;
  ScopedHandle started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle stopNow{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle thread;
  std::atomic<bool> startResult{false};
  std::atomic<bool> hookReturnedBeforeStopReturned{false};

  // Starts `server` on the thread; whether it started.
  bool start(DumpRequestServer* serverToRun, HookGate* dumpGate) {
    server = serverToRun;
    gate = dumpGate;
    thread.reset(CreateThread(nullptr, 0, &ServerThread::run, this, 0, nullptr));
    return thread.isValid() && WaitForSingleObject(started.get(), 5000) == WAIT_OBJECT_0 &&
           startResult;
  }

  static DWORD WINAPI run(void* context) {
    ServerThread* self = static_cast<ServerThread*>(context);
    self->startResult = self->server->start();
    SetEvent(self->started.get());
    WaitForSingleObject(self->stopNow.get(), 10000);
    self->server->stop();
    self->hookReturnedBeforeStopReturned = self->gate->returned.load();
    return 0;
  }

  // Tells the thread to stop the server; whether `stop` is still running
  // after `milliseconds`.
  bool stopStillRunningAfter(DWORD milliseconds) {
    SetEvent(stopNow.get());
    return WaitForSingleObject(thread.get(), milliseconds) == WAIT_TIMEOUT;
  }

  // Lets everything go and waits for the thread, also when the test failed
  // half-way.
  void finish() {
    if (gate != nullptr) SetEvent(gate->release.get());
    SetEvent(stopNow.get());
    if (thread.isValid()) WaitForSingleObject(thread.get(), 10000);
  }
  ~ServerThread() { finish(); }
};

class DumpRequestServerStopTest : public DumpRequestServerTest {
 protected:
  // A server whose dump hook holds every crash at `gate_`, started on
  // `serverThread_`, and a registered client.
  ChildProcess* startHeldServerAndClient() {
    makeServerWithOnly(&blockUntilReleased, &gate_);
    EXPECT_TRUE(serverThread_.start(server_.get(), &gate_));
    ChildProcess* client = startClient();
    registerClient(client);
    return client;
  }

  // The server is stopped on its own thread before the fixture's tear-down
  // looks at it.
  void TearDown() override {
    serverThread_.finish();
    DumpRequestServerTest::TearDown();
  }

  HookGate gate_;
  ServerThread serverThread_;
};

TEST_F(DumpRequestServerStopTest, StopWaitsForARunningDumpHookAndTheClientIsAnswered) {
  ChildProcess* client = startHeldServerAndClient();
  ASSERT_TRUE(client->sendLine("dump 8000"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gate_.entered.get(), 5000));

  EXPECT_TRUE(serverThread_.stopStillRunningAfter(200))
      << "stop returned while the dump hook was still running";
  std::string line;
  EXPECT_FALSE(client->readLine(&line, 0)) << line;

  SetEvent(gate_.release.get());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serverThread_.thread.get(), 5000));
  EXPECT_TRUE(serverThread_.hookReturnedBeforeStopReturned);
  ASSERT_TRUE(client->readLine(&line, 5000));
  EXPECT_EQ("dump done", line);
  EXPECT_EQ(0u, registeredCount());
  EXPECT_EQ(PipeState::Failed, server_->state());
}

TEST_F(DumpRequestServerStopTest, StopServesTheCrashThatWaitsItsTurnAfterTheRunningOne) {
  makeServerWithOnly(&blockUntilReleased, &gate_);
  server_->setRunningCrashLimit(1);
  server_->setUnservedRequestHook(&recordUnserved, &recorder_);
  ASSERT_TRUE(serverThread_.start(server_.get(), &gate_));
  ChildProcess* running = startClient();
  ChildProcess* waiting = startClient();
  registerClient(running);
  registerClient(waiting);
  ASSERT_TRUE(running->sendLine("dump 8000"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(gate_.entered.get(), 5000));
  ASSERT_TRUE(waiting->sendLine("dump 8000"));
  ASSERT_TRUE(waitUntil([&] { return server_->waitingCrashCount() == 1; }));

  // The waiting request was taken: stop serves it once the running crash has
  // made room, and returns only after both. The reporter stops its server
  // once no work is pending, and a storm's last crashes may all end at that
  // moment: a request still waiting then must not be lost.
  EXPECT_TRUE(serverThread_.stopStillRunningAfter(300))
      << "stop returned while a dump hook was still running";
  SetEvent(gate_.release.get());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serverThread_.thread.get(), 10000));
  EXPECT_TRUE(serverThread_.hookReturnedBeforeStopReturned);
  EXPECT_TRUE(recorder_.read(recorder_.unserved).empty());
  for (ChildProcess* client : {running, waiting}) {
    std::string line;
    ASSERT_TRUE(client->readLine(&line, 5000));
    EXPECT_EQ("dump done", line);
  }
  EXPECT_EQ(0u, server_->recordCount());
  EXPECT_EQ(0u, server_->waitingCrashCount());
}

// What the server relies on in the system thread pool: a wait flagged only
// long-running calls back on a worker thread, so the wait thread serves its
// other waits meanwhile, and a blocking unregistration, from a worker thread
// as in the client-exit callback or from an ordinary thread as in `stop`,
// returns only after that callback has.
struct LongCallback {
  HookGate gate;
  ScopedHandle unregistered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle otherWaitRan{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<int> calls{0};
  std::atomic<bool> returnedBeforeUnregistration{false};
  HANDLE wait = nullptr;

  static void CALLBACK callback(void* context, BOOLEAN) {
    LongCallback* self = static_cast<LongCallback*>(context);
    if (++self->calls != 1) return;
    self->gate.hold(10000);
    self->gate.returned = true;
  }
  static void CALLBACK otherCallback(void* context, BOOLEAN) {
    SetEvent(static_cast<LongCallback*>(context)->otherWaitRan.get());
  }
  static DWORD WINAPI unregister(void* context) {
    LongCallback* self = static_cast<LongCallback*>(context);
    UnregisterWaitEx(self->wait, INVALID_HANDLE_VALUE);
    self->returnedBeforeUnregistration = self->gate.returned.load();
    SetEvent(self->unregistered.get());
    return 0;
  }
};

TEST(ThreadPoolWaitTest, BlockingUnregistrationWaitsForALongCallbackOnAWorkerThread) {
  for (bool fromWorker : {true, false}) {
    SCOPED_TRACE(fromWorker ? "from a worker thread" : "from an ordinary thread");
    LongCallback state;
    ScopedHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ScopedHandle otherEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_TRUE(RegisterWaitForSingleObject(&state.wait, event.get(), &LongCallback::callback,
                                            &state, INFINITE, WT_EXECUTELONGFUNCTION));
    HANDLE otherWait = nullptr;
    ASSERT_TRUE(RegisterWaitForSingleObject(&otherWait, otherEvent.get(),
                                            &LongCallback::otherCallback, &state, INFINITE,
                                            WT_EXECUTEINWAITTHREAD));
    SetEvent(event.get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(state.gate.entered.get(), 5000));
    // A second signal while the first callback runs: a second callback.
    SetEvent(event.get());
    EXPECT_TRUE(waitUntil([&] { return state.calls == 2; }));
    SetEvent(otherEvent.get());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(state.otherWaitRan.get(), 5000));

    ScopedHandle thread;
    if (fromWorker) {
      ASSERT_TRUE(QueueUserWorkItem(&LongCallback::unregister, &state, WT_EXECUTEDEFAULT));
    } else {
      thread.reset(CreateThread(nullptr, 0, &LongCallback::unregister, &state, 0, nullptr));
      ASSERT_TRUE(thread.isValid());
    }
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(state.unregistered.get(), 300))
        << "the unregistration returned while the callback still ran";
    SetEvent(state.gate.release.get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(state.unregistered.get(), 5000));
    EXPECT_TRUE(state.returnedBeforeUnregistration);
    UnregisterWaitEx(otherWait, INVALID_HANDLE_VALUE);
    if (thread.isValid()) WaitForSingleObject(thread.get(), 5000);
  }
}

// And a wait that calls back in its wait thread, on a manual-reset event that
// the callback resets, calls back once for each signal: the dump-request
// wait takes each signal so.
struct ResettingCallback {
  HANDLE event = nullptr;
  std::atomic<int> calls{0};

  static void CALLBACK callback(void* context, BOOLEAN) {
    ResettingCallback* self = static_cast<ResettingCallback*>(context);
    ResetEvent(self->event);
    ++self->calls;
  }
};

TEST(ThreadPoolWaitTest, AWaitInItsThreadOnAManualResetEventThatItResetsCallsBackOncePerSignal) {
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ResettingCallback state;
  state.event = event.get();
  HANDLE wait = nullptr;
  ASSERT_TRUE(RegisterWaitForSingleObject(&wait, event.get(), &ResettingCallback::callback, &state,
                                          INFINITE, WT_EXECUTEINWAITTHREAD));
  for (int signal = 1; signal <= 3; ++signal) {
    SetEvent(event.get());
    EXPECT_TRUE(waitUntil([&] { return state.calls == signal; })) << signal;
  }
  // No further call comes of a signal that was taken.
  EXPECT_FALSE(waitUntil([&] { return state.calls > 3; }, 300)) << state.calls;
  UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace tavra
