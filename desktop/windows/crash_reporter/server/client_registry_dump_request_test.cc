#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/server/client_registry.h"
#include "desktop/windows/crash_reporter/server/server_test_fixture.h"
#include "runtime/seam.h"
#include "testing/browser_client/child_process.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// The registry's answer to dump requests, driven through a whole server:
// what the dump hook sees, and how requests of one client and of many are
// run.
class ClientRegistryDumpRequestTest : public ServerTestFixture {};

TEST_F(ClientRegistryDumpRequestTest, DumpRequestRereadsTableAndProcessTimeGrows) {
  startServer();
  ChildProcess* client = startClient(L"--annotations=3");
  const std::vector<uint32_t> info = words(client->command("info"));
  ASSERT_EQ("ok", client->command("set channel beta"));
  ASSERT_EQ("ok", client->command("set url first"));
  registerClient(client);
  ASSERT_EQ("dump done", client->command("dump"));
  ASSERT_EQ("ok", client->command("set url second"));
  Sleep(30);
  ASSERT_EQ("dump done", client->command("dump"));

  const std::vector<Recorder::Dump> dumps = recorder_.read(recorder_.dumps);
  ASSERT_EQ(2u, dumps.size());
  for (const Recorder::Dump& dump : dumps) {
    EXPECT_EQ(client->processId(), dump.processId);
    // The thread id that the client stored in its registered word.
    EXPECT_EQ(info[11], dump.threadId);
    ASSERT_EQ(4u, dump.annotations.size());
    EXPECT_EQ(L"channel", dump.annotations[0].first);
    EXPECT_EQ(L"beta", dump.annotations[0].second);
    EXPECT_EQ(L"url", dump.annotations[1].first);
    EXPECT_EQ(L"", dump.annotations[2].first);
    EXPECT_EQ(L"ptime", dump.annotations[3].first);
  }
  EXPECT_EQ(L"first", dumps[0].annotations[1].second);
  EXPECT_EQ(L"second", dumps[1].annotations[1].second);
  const long long firstTime = std::stoll(dumps[0].annotations[3].second);
  const long long secondTime = std::stoll(dumps[1].annotations[3].second);
  EXPECT_GE(firstTime, 0);
  EXPECT_GT(secondTime, firstTime);
}

TEST_F(ClientRegistryDumpRequestTest, DumpRequestWithoutHookIsAnsweredAndRequestsDoNotGetLost) {
  startServer(nullptr);
  ChildProcess* client = startClient();
  registerClient(client);
  ASSERT_EQ("dump done", client->command("dump"));
  // Each request follows the previous answer at once; none may be swallowed.
  EXPECT_EQ("dumps 300", client->command("dumps 300", 30000));
}

TEST_F(ClientRegistryDumpRequestTest, AnnotationCountsUpToTheLimitAreCopied) {
  startServer();
  const struct {
    const wchar_t* switches;
    size_t viewSize;
  } cases[] = {{L"--annotations=0", 1},
               {L"--annotations=4096 --fill", 4097},
               {L"--annotations=4097 --fill", 0}};
  for (const auto& c : cases) {
    ChildProcess* client = startClient(c.switches);
    registerClient(client);
    ASSERT_EQ("dump done", client->command("dump"));
  }
  const std::vector<Recorder::Dump> dumps = recorder_.read(recorder_.dumps);
  ASSERT_EQ(3u, dumps.size());
  EXPECT_EQ(1u, dumps[0].annotations.size());
  EXPECT_EQ(L"ptime", dumps[0].annotations[0].first);
  ASSERT_EQ(4097u, dumps[1].annotations.size());
  EXPECT_EQ(L"key4095", dumps[1].annotations[4095].first);
  EXPECT_EQ(L"value4095", dumps[1].annotations[4095].second);
  EXPECT_EQ(L"ptime", dumps[1].annotations[4096].first);
  // Over the limit the table is never read, but the request is answered.
  EXPECT_TRUE(dumps[2].viewEmpty);
  EXPECT_EQ(0u, dumps[2].annotations.size());
}

// A dump hook that holds the crash of one client until the test lets it go,
// and records every other client's crash as it comes.
struct HeldCrash {
  std::atomic<uint32_t> heldProcessId{0};
  HookGate gate;
  std::atomic<bool> otherHandledWhileHeld{false};
  Recorder* recorder = nullptr;
};

void holdOneClientsCrash(void* context, ReporterClient* client) {
  HeldCrash* held = static_cast<HeldCrash*>(context);
  if (client->processId() == held->heldProcessId) {
    held->gate.hold(20000);
    held->gate.returned = true;
    return;
  }
  if (held->gate.wasEntered() && !held->gate.returned) held->otherHandledWhileHeld = true;
  recordDump(held->recorder, client);
}

TEST_F(ClientRegistryDumpRequestTest,
       ACrashBeingHandledDelaysNeitherRegistrationsNorExitsNorOtherCrashes) {
  HeldCrash held;
  held.recorder = &recorder_;
  makeServer(&holdOneClientsCrash, &held);
  ASSERT_TRUE(server_->start());
  ChildProcess* crashed = startClient();
  registerClient(crashed);
  held.heldProcessId = crashed->processId();
  ASSERT_TRUE(crashed->sendLine("dump 20000"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.gate.entered.get(), 5000));

  // While that crash is held: a registration completes, another client's
  // crash is handled and answered, and a client's exit is noticed.
  ChildProcess* other = startClient();
  registerClient(other);
  EXPECT_EQ("dump done", other->command("dump 5000"));
  ChildProcess* leaving = startClient();
  registerClient(leaving);
  leaving->sendLine("exit 0");
  ASSERT_TRUE(leaving->waitForExit(5000));
  EXPECT_TRUE(waitUntil([&] {
    const std::vector<uint32_t> exited = recorder_.read(recorder_.exited);
    return exited.size() == 1 && exited[0] == leaving->processId();
  }));
  EXPECT_TRUE(held.otherHandledWhileHeld);
  EXPECT_FALSE(held.gate.returned);
  EXPECT_EQ(3u, recorder_.read(recorder_.registered).size());

  SetEvent(held.gate.release.get());
  std::string line;
  ASSERT_TRUE(crashed->readLine(&line, 5000));
  EXPECT_EQ("dump done", line);
  const std::vector<Recorder::Dump> dumps = recorder_.read(recorder_.dumps);
  ASSERT_EQ(1u, dumps.size());
  EXPECT_EQ(other->processId(), dumps[0].processId);
  server_->stop();
}

// Counts the runs of a hook for one client and how many overlapped.
struct SerialRuns {
  std::atomic<int> running{0};
  std::atomic<int> maxRunning{0};
  std::atomic<int> runs{0};
  std::atomic<bool> doneBeforeSecondRun{true};
};

// The registry's waits, registered through the seam with a callback that
// counts its returns, so that a test can tell when a callback of a signal has
// done all it was going to do. The records outlive every wait.
struct CountedWait {
  WAITORTIMERCALLBACK callback;
  void* context;
};
std::atomic<int> countedCallbacksReturned{0};

void CALLBACK countedWaitCallback(void* context, BOOLEAN timedOut) {
  const CountedWait* wait = static_cast<const CountedWait*>(context);
  wait->callback(wait->context, timedOut);
  ++countedCallbacksReturned;
}

BOOL WINAPI registerCountedWait(HANDLE* wait, HANDLE object, WAITORTIMERCALLBACK callback,
                                void* context, ULONG milliseconds, ULONG flags) {
  // Registrations come one at a time, on the server's pipe thread.
  static std::vector<std::unique_ptr<CountedWait>>* records =
      new std::vector<std::unique_ptr<CountedWait>>();
  records->push_back(std::unique_ptr<CountedWait>(new CountedWait{callback, context}));
  return RegisterWaitForSingleObject(wait, object, &countedWaitCallback, records->back().get(),
                                     milliseconds, flags);
}

void countRuns(void* context, ReporterClient* client) {
  SerialRuns* serialRuns = static_cast<SerialRuns*>(context);
  const int now = ++serialRuns->running;
  for (int seen = serialRuns->maxRunning; now > seen;) {
    if (serialRuns->maxRunning.compare_exchange_weak(seen, now)) break;
  }
  if (++serialRuns->runs == 1) {
    // The client's event is signalled again while its request is handled:
    // another callback of the same wait takes it on another worker thread.
    // Once that callback has returned, a second run that wrongly overlapped
    // this one has shown in the counts.
    const int returned = countedCallbacksReturned;
    SetEvent(client->dumpRequestEvent());
    waitUntil([&] { return countedCallbacksReturned > returned; }, 30000);
  } else if (serialRuns->runs == 2) {
    // The client waits on: the signal that it gave during the first run is
    // not answered by that run.
    serialRuns->doneBeforeSecondRun =
        WaitForSingleObject(client->dumpDoneEvent(), 0) == WAIT_OBJECT_0;
  }
  --serialRuns->running;
}

TEST_F(ClientRegistryDumpRequestTest, SignalDuringARunIsAnsweredByOneMoreRunNeverAtTheSameTime) {
  SerialRuns runs;
  makeServerWithOnly(&countRuns, &runs);
  ASSERT_TRUE(server_->start());
  ChildProcess* client = startClient();
  {
    ScopedSeamReplacement<RegisterWaitFunction> counted(&registerWaitSeam, &registerCountedWait);
    registerClient(client);
  }
  EXPECT_EQ("dump done", client->command("dump"));
  // The signal taken during the first run gets a run of its own afterwards,
  // and only one.
  EXPECT_TRUE(waitUntil([&] { return runs.runs == 2 && runs.running == 0; }));
  EXPECT_FALSE(runs.doneBeforeSecondRun);
  EXPECT_EQ("dump done", client->command("dump"));
  EXPECT_EQ(3, runs.runs);
  EXPECT_EQ(1, runs.maxRunning);
  server_->stop();
}

// A dump hook that takes a while for the looping client, as a crash does,
// and counts the runs of each client.
constexpr DWORD kLoopRunMs = 50;

struct LoopingClient {
  std::atomic<uint32_t> looperId{0};
  std::atomic<int> looperRuns{0};
  std::atomic<int> otherRuns{0};
};

void countLoopRuns(void* context, ReporterClient* client) {
  LoopingClient* state = static_cast<LoopingClient*>(context);
  if (client->processId() != state->looperId) {
    ++state->otherRuns;
    return;
  }
  ++state->looperRuns;
  Sleep(kLoopRunMs);
}

TEST_F(ClientRegistryDumpRequestTest,
       ClientSignallingInATightLoopStarvesNoOtherAndQueuesNothingUp) {
  LoopingClient state;
  makeServer(&countLoopRuns, &state);
  ASSERT_TRUE(server_->start());
  ChildProcess* looper = startClient();
  ChildProcess* other = startClient();
  registerClient(looper);
  registerClient(other);
  state.looperId = looper->processId();

  ASSERT_TRUE(looper->sendLine("dump-loop"));
  ASSERT_TRUE(waitUntil([&] { return state.looperRuns >= 10; }, 20000));
  // The loop runs until it is told to stop: these requests are answered
  // while it goes on, each within the client's bound of two seconds.
  EXPECT_EQ("dumps 10", other->command("dumps 10", 30000));
  EXPECT_EQ(10, state.otherRuns);

  ASSERT_TRUE(looper->sendLine("stop"));
  std::string line;
  ASSERT_TRUE(looper->readLine(&line, 10000));
  const std::vector<std::string> parts = tokens(line);
  ASSERT_EQ(2u, parts.size()) << line;
  ASSERT_EQ("dump-loop", parts[0]);
  const long long signals = std::stoll(parts[1]);
  // Signals that came during a run were answered together by one more run,
  // so once the loop has stopped a new request is answered after at most
  // that run. A run per signal would stand for far longer than the bound.
  ASSERT_GT(signals * kLoopRunMs, 2 * 5000) << signals << " signals: too few for a backlog";
  EXPECT_EQ("dump done", looper->command("dump 5000"));
  EXPECT_LT(state.looperRuns, signals);
  EXPECT_EQ("dump done", other->command("dump 5000"));
  EXPECT_EQ(11, state.otherRuns);
}

}  // namespace
}  // namespace tavra
