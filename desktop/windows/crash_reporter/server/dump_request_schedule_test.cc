#include "desktop/windows/crash_reporter/server/dump_request_schedule.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/server/server_test_fixture.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_lock.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/process_figures.h"
#include "testing/browser_client/registration_storm.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// Which crashes run and which wait, driven through a whole server: one crash
// of a process at a time whatever it registers, a bound on crashes at once,
// and the order and fate of those that wait.
class DumpRequestScheduleTest : public ServerTestFixture {
 protected:
  size_t threadCount() {
    std::vector<uint32_t> ids;
    threadIdsOf(GetCurrentProcessId(), &ids);
    return ids.size();
  }
};

// A dump hook that takes a while, as a crash does, and counts the crashes
// that run at once, of each process and overall.
struct CrashesAtOnce {
  static constexpr DWORD kRunMs = 200;

  void begin(uint32_t processId) {
    ScopedCriticalSection hold(&lock);
    ++runs;
    const int ofProcess = ++running[processId];
    if (ofProcess > maxOfProcess) maxOfProcess = ofProcess;
  }
  void end(uint32_t processId) {
    ScopedCriticalSection hold(&lock);
    --running[processId];
  }

  CriticalSection lock;
  std::map<uint32_t, int> running;
  int maxOfProcess = 0;
  int runs = 0;
};

void countCrashesAtOnce(void* context, ReporterClient* client) {
  CrashesAtOnce* crashes = static_cast<CrashesAtOnce*>(context);
  crashes->begin(client->processId());
  Sleep(CrashesAtOnce::kRunMs);
  crashes->end(client->processId());
}

TEST_F(DumpRequestScheduleTest, AProcessThatRegistersAndSignalsInAStormHasOneCrashHandledAtATime) {
  CrashesAtOnce crashes;
  makeServer(&countCrashesAtOnce, &crashes);
  ASSERT_TRUE(server_->start());
  ChildProcess* client = startClient();
  registerClient(client);
  ASSERT_TRUE(listening());
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());

  // Two hundred registrations, each signalled at once: while a crash of the
  // process runs, or waits to be taken, its registrations are refused.
  const std::string line = client->command("storm 200 60000", 180000);
  StormOutcome storm;
  ASSERT_TRUE(parseStorm(line, &storm)) << line;
  EXPECT_EQ(0u, storm.failed) << line;
  EXPECT_EQ(200u, storm.accepted + storm.refused) << line;
  EXPECT_GT(storm.refused, 0u) << line;
  EXPECT_EQ(1u, storm.maxOutstanding) << line;
  // Every request that a registration it got carried was served.
  EXPECT_EQ(storm.accepted, storm.answered) << line;
  {
    ScopedCriticalSection hold(&crashes.lock);
    EXPECT_EQ(1, crashes.maxOfProcess);
    EXPECT_EQ(static_cast<int>(storm.accepted), crashes.runs);
  }
  const std::vector<RegistrationRefusal> refusals = recorder_.read(recorder_.refusals);
  EXPECT_EQ(storm.refused, refusals.size());
  for (const RegistrationRefusal& refusal : refusals) {
    EXPECT_EQ(RefusalReason::CrashBeingHandled, refusal.reason);
    EXPECT_EQ(client->processId(), refusal.processId);
  }
  EXPECT_TRUE(recorder_.read(recorder_.unserved).empty());

  // The records that the storm replaced have gone with their handles; the
  // last one serves the process.
  EXPECT_TRUE(waitUntil([&] { return server_->recordCount() == 1; }, 10000))
      << server_->recordCount();
  EXPECT_TRUE(handleCountReturnsTo(handlesBefore, 10000));
  registerClient(client);
  EXPECT_EQ("dump done", client->command("dump"));
  EXPECT_EQ(0u, server_->runningCrashCount());
  EXPECT_EQ(0u, server_->waitingCrashCount());
}

// A dump hook that holds every crash until the test lets one go, and records
// the order in which they began.
struct HeldCrashes {
  void begin(uint32_t processId) {
    ScopedCriticalSection hold(&lock);
    began.push_back(processId);
  }
  std::vector<uint32_t> beginnings() {
    ScopedCriticalSection hold(&lock);
    return began;
  }

  ScopedHandle letOneGo{CreateSemaphoreW(nullptr, 0, 100, nullptr)};
  CriticalSection lock;
  std::vector<uint32_t> began;
};

void holdEachCrash(void* context, ReporterClient* client) {
  HeldCrashes* held = static_cast<HeldCrashes*>(context);
  held->begin(client->processId());
  WaitForSingleObject(held->letOneGo.get(), 30000);
}

TEST_F(DumpRequestScheduleTest, CrashesPastTheBoundWaitTheirTurnInOrderWithoutAThreadEach) {
  constexpr size_t kLimit = 2;
  constexpr size_t kClients = 8;
  HeldCrashes held;
  makeServer(&holdEachCrash, &held);
  server_->setRunningCrashLimit(kLimit);
  ASSERT_TRUE(server_->start());
  std::vector<ChildProcess*> clients;
  for (size_t i = 0; i < kClients; ++i) {
    clients.push_back(startClient());
    registerClient(clients.back());
  }
  ASSERT_TRUE(waitUntil([&] { return registeredCount() == kClients; }));
  const size_t threadsBefore = threadCount();

  // One crash after the other, so that their order is known.
  for (size_t i = 0; i < kClients; ++i) {
    ASSERT_TRUE(clients[i]->sendLine("dump 60000"));
    ASSERT_TRUE(waitUntil([&] {
      return server_->runningCrashCount() + server_->waitingCrashCount() == i + 1;
    })) << i;
  }
  EXPECT_EQ(kLimit, server_->runningCrashCount());
  EXPECT_EQ(kClients - kLimit, server_->waitingCrashCount());
  ASSERT_TRUE(waitUntil([&] { return held.beginnings().size() == kLimit; }));
  // The waiting ones hold no thread: a blocked thread each would be six.
  const size_t threadsWhileWaiting = threadCount();
  EXPECT_LE(threadsWhileWaiting, threadsBefore + kLimit + 3)
      << threadsBefore << " threads before, " << threadsWhileWaiting << " while six wait";

  // A client that ends while its request waits: the request is told
  // unserved, once, and its record goes from the list and from the queue.
  clients[3]->terminate();
  ASSERT_TRUE(waitUntil([&] { return registeredCount() == kClients - 1; }));
  EXPECT_TRUE(waitUntil([&] { return server_->waitingCrashCount() == kClients - kLimit - 1; }));
  EXPECT_EQ(std::vector<uint32_t>{clients[3]->processId()}, recorder_.read(recorder_.unserved));

  // Each crash let go gives its place to the first one waiting.
  const size_t order[] = {2, 4, 5, 6, 7};
  for (size_t next : order) {
    const size_t begun = held.beginnings().size();
    ReleaseSemaphore(held.letOneGo.get(), 1, nullptr);
    ASSERT_TRUE(waitUntil([&] { return held.beginnings().size() == begun + 1; })) << next;
    EXPECT_EQ(clients[next]->processId(), held.beginnings().back()) << next;
    EXPECT_EQ(kLimit, server_->runningCrashCount());
  }
  ReleaseSemaphore(held.letOneGo.get(), static_cast<LONG>(kLimit), nullptr);
  for (size_t i = 0; i < kClients; ++i) {
    if (i == 3) continue;
    std::string line;
    ASSERT_TRUE(clients[i]->readLine(&line, 10000)) << i;
    EXPECT_EQ("dump done", line) << i;
  }
  EXPECT_EQ(kClients - 1, held.beginnings().size());
  EXPECT_TRUE(waitUntil([&] { return server_->runningCrashCount() == 0; }));
  EXPECT_EQ(0u, server_->waitingCrashCount());
  EXPECT_EQ(1u, recorder_.read(recorder_.unserved).size());
}

}  // namespace
}  // namespace tavra
