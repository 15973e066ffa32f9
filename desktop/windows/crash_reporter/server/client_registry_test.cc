#include "desktop/windows/crash_reporter/server/client_registry.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/server/server_test_fixture.h"
#include "runtime/scoped_holder.h"
#include "runtime/seam.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/process_figures.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// The records, driven through a whole server: how clients' exits, new
// registrations of the same process and the bounds make them come and go.
class ClientRegistryTest : public ServerTestFixture {};

TEST_F(ClientRegistryTest, ClientsExitingBeforeDuringAndAfterRegistrationAreForgotten) {
  startServer();
  ChildProcess* before = startClient();
  before->sendLine("connect-and-exit");
  DWORD code = 0;
  ASSERT_TRUE(before->waitForExit(5000, &code));
  EXPECT_EQ(3u, code);

  // Writes its registration and dies: depending on the moment, the server
  // never gets its process open, or registers it and forgets it at once.
  for (int i = 0; i < 4; ++i) {
    ChildProcess* client = startClient();
    client->sendLine("register-and-exit");
    ASSERT_TRUE(client->waitForExit(5000, &code));
    EXPECT_EQ(4u, code);
  }

  ChildProcess* after = startClient();
  registerClient(after);
  after->sendLine("exit 0");
  ASSERT_TRUE(after->waitForExit(5000));

  ASSERT_TRUE(waitUntil([&] { return registeredCount() == 0; }));
  ASSERT_TRUE(waitUntil([&] {
    const std::vector<uint32_t> exited = recorder_.read(recorder_.exited);
    for (uint32_t id : exited) {
      if (id == after->processId()) return true;
    }
    return false;
  }));
  // None of them acknowledged but the last one.
  EXPECT_EQ(std::vector<uint32_t>{after->processId()}, recorder_.read(recorder_.registered));

  ChildProcess* next = startClient();
  registerClient(next);
  EXPECT_EQ("dump done", next->command("dump"));
  EXPECT_EQ(1u, registeredCount());
}

// A dump hook that outlasts its client's process.
struct ExitDuringDump {
  HANDLE clientProcess = nullptr;
  std::atomic<bool> dumpFinished{false};
  std::atomic<bool> exitSeenDuringDump{false};
  std::atomic<bool> exitSeen{false};
  std::atomic<bool> dumpFinishedBeforeExit{false};
  std::atomic<uint32_t> processIdInHook{0};
  std::atomic<uint32_t> viewCountInHook{0};
};

ExitDuringDump* exitDuringDump = nullptr;

void dumpOutlivingClient(void*, ReporterClient* client) {
  WaitForSingleObject(exitDuringDump->clientProcess, 10000);
  // Time for an exit callback that did not wait for this request to run.
  Sleep(200);
  exitDuringDump->exitSeenDuringDump = exitDuringDump->exitSeen.load();
  exitDuringDump->processIdInHook = client->processId();
  exitDuringDump->viewCountInHook = client->annotationView().count;
  exitDuringDump->dumpFinished = true;
}

void exitAfterDump(void*, ReporterClient*) {
  exitDuringDump->dumpFinishedBeforeExit = exitDuringDump->dumpFinished.load();
  exitDuringDump->exitSeen = true;
}

TEST_F(ClientRegistryTest, ClientExitingDuringItsDumpIsDestroyedAfterTheRequest) {
  ExitDuringDump observed;
  exitDuringDump = &observed;
  makeServerWithOnly(&dumpOutlivingClient, nullptr, &exitAfterDump);
  ASSERT_TRUE(server_->start());
  ChildProcess* client = startClient(L"--annotations=2");
  registerClient(client);
  observed.clientProcess = client->process();
  client->sendLine("dump-and-exit");
  ASSERT_TRUE(client->waitForExit(5000));

  ASSERT_TRUE(waitUntil([&] { return observed.exitSeen.load(); }));
  EXPECT_TRUE(observed.dumpFinishedBeforeExit);
  EXPECT_FALSE(observed.exitSeenDuringDump);
  EXPECT_EQ(client->processId(), observed.processIdInHook);
  EXPECT_EQ(3u, observed.viewCountInHook);
  ASSERT_TRUE(waitUntil([&] { return registeredCount() == 0; }));
  server_->stop();
  exitDuringDump = nullptr;
}

TEST_F(ClientRegistryTest, SameProcessRegisteringAThousandTimesKeepsOneRecord) {
  startServer();
  ChildProcess* client = startClient(L"--annotations=2");
  registerClient(client);
  ASSERT_TRUE(listening());
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());

  EXPECT_EQ("registered-many 1000", client->command("register-many 1000", 300000));
  EXPECT_EQ(1u, registeredCount());
  // Replaced records are retired on worker threads; with them go their
  // process handles, events and waits.
  EXPECT_TRUE(waitUntil([&] { return server_->recordCount() == 1; })) << server_->recordCount();
  EXPECT_TRUE(handleCountReturnsTo(handlesBefore, 10000));

  // The last registration is the one that serves.
  ASSERT_EQ("ok", client->command("set url last"));
  EXPECT_EQ("dump done", client->command("dump"));
  const std::vector<Recorder::Dump> dumps = recorder_.read(recorder_.dumps);
  ASSERT_EQ(1u, dumps.size());
  EXPECT_EQ(client->processId(), dumps[0].processId);
  ASSERT_EQ(3u, dumps[0].annotations.size());
  EXPECT_EQ(L"last", dumps[0].annotations[0].second);
  // A replaced record is no exit, and every acknowledged registration counts.
  EXPECT_TRUE(recorder_.read(recorder_.exited).empty());
  EXPECT_TRUE(waitUntil([&] { return recorder_.read(recorder_.registered).size() == 1001; }));
}

// A dump hook that holds the first crash it gets until the test lets it go,
// then looks at its record; later crashes are recorded.
struct FirstCrashHeld {
  std::atomic<int> calls{0};
  HookGate gate;
  std::atomic<uint32_t> processIdAfterRelease{0};
  std::atomic<uint32_t> viewCountAfterRelease{0};
  Recorder* recorder = nullptr;
};

void holdFirstCrash(void* context, ReporterClient* client) {
  FirstCrashHeld* held = static_cast<FirstCrashHeld*>(context);
  if (++held->calls != 1) {
    recordDump(held->recorder, client);
    return;
  }
  held->gate.hold(20000);
  // A record destroyed under a running crash would show here.
  held->processIdAfterRelease = client->processId();
  held->viewCountAfterRelease = client->annotationView().count;
  held->gate.returned = true;
}

TEST_F(ClientRegistryTest, RegistrationOfAProcessWhoseCrashIsHandledIsRefusedAndLeavesNothing) {
  FirstCrashHeld held;
  held.recorder = &recorder_;
  makeServer(&holdFirstCrash, &held);
  ASSERT_TRUE(server_->start());
  ChildProcess* client = startClient(L"--annotations=2");
  registerClient(client);
  ASSERT_TRUE(listening());
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());
  // Signals without waiting for the answer.
  EXPECT_EQ("dump timeout", client->command("dump 0"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.gate.entered.get(), 5000));

  // The pipe is not held up by the crash: the registration is refused at
  // once, nothing is made for it, and the refusal is told.
  EXPECT_TRUE(startsWith(client->command("register"), "hangup ")) << "registered during its crash";
  ASSERT_TRUE(listening());
  EXPECT_EQ(1u, server_->recordCount());
  EXPECT_EQ(handlesBefore, probeHandleCount(GetCurrentProcess()));
  const std::vector<RegistrationRefusal> refusals = recorder_.read(recorder_.refusals);
  ASSERT_EQ(1u, refusals.size());
  EXPECT_EQ(RefusalReason::CrashBeingHandled, refusals[0].reason);
  EXPECT_EQ(client->processId(), refusals[0].processId);
  EXPECT_FALSE(held.gate.returned);

  // Once its crash is over the process registers again, and is served.
  SetEvent(held.gate.release.get());
  ASSERT_TRUE(waitUntil([&] { return held.gate.returned.load(); }));
  EXPECT_EQ(client->processId(), held.processIdAfterRelease);
  EXPECT_EQ(3u, held.viewCountAfterRelease);
  registerClient(client);
  EXPECT_EQ("dump done", client->command("dump"));
  const std::vector<Recorder::Dump> dumps = recorder_.read(recorder_.dumps);
  ASSERT_EQ(1u, dumps.size());
  EXPECT_EQ(client->processId(), dumps[0].processId);
  EXPECT_TRUE(waitUntil([&] { return server_->recordCount() == 1; }));
  EXPECT_TRUE(handleCountReturnsTo(handlesBefore, 5000));
  EXPECT_TRUE(recorder_.read(recorder_.exited).empty());
}

TEST_F(ClientRegistryTest, BoundsOnRecordsAndTableCopiesRefuseRegistrationsUntilClientsExit) {
  const struct {
    const char* what;
    size_t maxClients;
    size_t maxAnnotationBytes;
    const wchar_t* switches;
    const wchar_t* lateSwitches;
  } cases[] = {
      {"records", 2, DumpRequestServer::kDefaultMaxAnnotationBytes, L"--annotations=4",
       L"--annotations=4"},
      // Two tables of ten entries and "ptime" fill the bound exactly; the
      // smallest table does not fit beside them.
      {"table copies", 100, 2 * 11 * sizeof(ClientAnnotation), L"--annotations=10",
       L"--annotations=0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    makeServer(&recordDump, &recorder_);
    server_->setClientLimits(c.maxClients, c.maxAnnotationBytes);
    ASSERT_TRUE(server_->start());
    ChildProcess* first = startClient(c.switches);
    ChildProcess* second = startClient(c.switches);
    ChildProcess* late = startClient(c.lateSwitches);
    registerClient(first);
    registerClient(second);
    ASSERT_TRUE(waitUntil([&] { return registeredCount() == 2; }));

    // Past a bound nothing is made, also for a process that has a record:
    // that record stays as it was.
    EXPECT_TRUE(startsWith(late->command("register"), "hangup "));
    EXPECT_TRUE(startsWith(first->command("register"), "hangup "));
    EXPECT_EQ(2u, registeredCount());
    EXPECT_EQ(2u, server_->recordCount());
    EXPECT_EQ("dump done", second->command("dump"));

    second->sendLine("exit 0");
    ASSERT_TRUE(second->waitForExit(5000));
    ASSERT_TRUE(waitUntil([&] { return server_->recordCount() == 1; }));
    registerClient(late);
    EXPECT_EQ("dump done", late->command("dump"));
    EXPECT_EQ(2u, registeredCount());
  }
}

// Dump-request waits registered while this is set listen to an event that
// is never set instead, so that a client's request stays untaken for as long
// as the test likes.
HANDLE deafEvent = nullptr;

BOOL WINAPI deafDumpRequestWait(HANDLE* wait, HANDLE object, WAITORTIMERCALLBACK callback,
                                void* context, ULONG milliseconds, ULONG flags) {
  // The other wait of a record is on its client's process.
  if (GetProcessId(object) == 0) object = deafEvent;
  return RegisterWaitForSingleObject(wait, object, callback, context, milliseconds, flags);
}

TEST_F(ClientRegistryTest, RequestNeverTakenUpIsToldOnceWhenItsRecordGoes) {
  ScopedHandle deaf{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ASSERT_TRUE(deaf.isValid());
  deafEvent = deaf.get();
  const struct {
    const char* what;
    bool requests;
    // How the record goes: its client exits, or the server stops.
    bool byExit;
  } cases[] = {
      {"a request, then the client exits", true, true},
      {"a request, then the server stops", true, false},
      {"no request, the client exits", false, true},
      {"no request, the server stops", false, false},
  };
  for (const auto& c : cases) {
    const size_t unservedBefore = recorder_.read(recorder_.unserved).size();
    makeServer(&recordDump, &recorder_);
    ASSERT_TRUE(server_->start()) << c.what;
    ChildProcess* client = startClient();
    {
      ScopedSeamReplacement<RegisterWaitFunction> deafWaits(&registerWaitSeam,
                                                            &deafDumpRequestWait);
      registerClient(client);
    }
    ASSERT_EQ(1u, registeredCount()) << c.what;
    // The request is signalled before the answer comes; nobody takes it.
    if (c.requests) {
      EXPECT_TRUE(startsWith(client->command("dump 1"), "dump ")) << c.what;
    }
    if (c.byExit) {
      ASSERT_TRUE(client->sendLine("exit 0")) << c.what;
      ASSERT_TRUE(waitUntil([&] { return registeredCount() == 0; }, 10000)) << c.what;
      // The record goes after the exit hook, on the same thread.
      ASSERT_TRUE(waitUntil([&] { return server_->recordCount() == 0; }, 10000)) << c.what;
    } else {
      server_->stop();
    }
    const std::vector<uint32_t> unserved = recorder_.read(recorder_.unserved);
    EXPECT_EQ(unservedBefore + (c.requests ? 1 : 0), unserved.size()) << c.what;
    if (c.requests && !unserved.empty()) {
      EXPECT_EQ(client->processId(), unserved.back()) << c.what;
    }
    // Nothing was handled: the request was never taken up.
    EXPECT_TRUE(recorder_.read(recorder_.dumps).empty()) << c.what;
    server_->stop();
    server_.reset();
  }
  deafEvent = nullptr;
}

}  // namespace
}  // namespace tavra
