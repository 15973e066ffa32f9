#include "desktop/windows/crash_reporter/server/handle_placement.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/server/client_registry.h"
#include "desktop/windows/crash_reporter/server/pipe_conversation.h"
#include "desktop/windows/crash_reporter/server/server_test_fixture.h"
#include "runtime/seam.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/process_figures.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// The handles that a reply places in the client, driven through a whole
// server: their rights, and that a registration that fails at any step after
// placing some takes them back.
class HandlePlacementTest : public ServerTestFixture {};

TEST_F(HandlePlacementTest, ReplyCarriesReporterIdAndHandlesWithExactRights) {
  startServer();
  ChildProcess* client = startClient(L"--annotations=6");
  const std::vector<uint32_t> info = words(client->command("info"));
  ASSERT_EQ(13u, info.size());
  const std::vector<uint32_t> reply = registerClient(client);
  ASSERT_EQ(11u, reply.size());
  EXPECT_EQ(2u, reply[0]);
  EXPECT_EQ(GetCurrentProcessId(), reply[1]);
  for (size_t i = 2; i < 8; ++i) EXPECT_EQ(0u, reply[i]) << "word " << i;
  for (size_t i = 8; i < 11; ++i) EXPECT_NE(0u, reply[i]) << "word " << i;

  // Granted access as the system reports it, then what each handle may and
  // may not do in the client.
  const std::vector<std::string> rights = tokens(client->command("rights"));
  ASSERT_EQ(11u, rights.size());
  EXPECT_EQ("0x2", rights[1]);
  EXPECT_EQ("0x100002", rights[2]);
  EXPECT_EQ("0x100000", rights[3]);
  EXPECT_EQ("request-reset=ok", rights[4]);
  EXPECT_EQ("request-wait=denied", rights[5]);
  EXPECT_EQ("done-reset=ok", rights[6]);
  EXPECT_EQ("done-wait=timeout", rights[7]);
  EXPECT_EQ("done-readcontrol=denied", rights[8]);
  // The server owns the mutex until it stops.
  EXPECT_EQ("mutex-wait=timeout", rights[9]);
  EXPECT_EQ("mutex-readcontrol=denied", rights[10]);

  // The record holds what the client registered.
  ASSERT_TRUE(waitUntil([&] { return recorder_.read(recorder_.registered).size() == 1; }));
  EXPECT_EQ(client->processId(), recorder_.read(recorder_.registered)[0]);
  EXPECT_EQ(1u, registeredCount());
  EXPECT_EQ(info[1], client->processId());
  EXPECT_EQ(6u, info[7]);
}

// DuplicateHandle that fails the n-th duplication into a client and records
// the handles placed there and the ones closed there again.
struct DuplicationLog {
  int failAt = 0;
  int calls = 0;
  std::vector<HANDLE> placed;
  std::vector<HANDLE> closed;
};
DuplicationLog* duplicationLog = nullptr;

BOOL WINAPI failingDuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                                   HANDLE* target, DWORD access, BOOL inherit, DWORD options) {
  if (sourceProcess == GetCurrentProcess() && targetProcess != GetCurrentProcess()) {
    if (++duplicationLog->calls == duplicationLog->failAt) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    const BOOL result =
        DuplicateHandle(sourceProcess, source, targetProcess, target, access, inherit, options);
    if (result) duplicationLog->placed.push_back(*target);
    return result;
  }
  if (options & DUPLICATE_CLOSE_SOURCE) duplicationLog->closed.push_back(source);
  return DuplicateHandle(sourceProcess, source, targetProcess, target, access, inherit, options);
}

// Whether every handle of `placed` is gone from `process` soon. Some systems
// close a handle in another process asynchronously.
bool goneFromProcess(HANDLE process, const std::vector<HANDLE>& placed) {
  for (HANDLE handle : placed) {
    if (!waitUntil([&] { return !validInProcess(process, handle); }, 2000)) return false;
  }
  return true;
}

TEST_F(HandlePlacementTest, FailedDuplicationClosesHandlesAlreadyPlacedInTheClient) {
  startServer();
  ChildProcess* client = startClient();
  for (int failAt : {1, 2, 3}) {
    DuplicationLog log;
    log.failAt = failAt;
    duplicationLog = &log;
    std::string line;
    {
      ScopedSeamReplacement<DuplicateHandleFunction> replaced(&duplicateHandleSeam,
                                                              &failingDuplicateHandle);
      line = client->command("register");
    }
    duplicationLog = nullptr;

    EXPECT_TRUE(startsWith(line, "hangup")) << line;
    ASSERT_EQ(static_cast<size_t>(failAt - 1), log.placed.size());
    EXPECT_EQ(log.placed, log.closed);
    EXPECT_TRUE(goneFromProcess(client->process(), log.placed));
    EXPECT_EQ(0u, registeredCount());
  }
  registerClient(client);
  // The record joins the list just after the reply has been handed to the
  // pipe, so the client can read its reply a moment before that.
  EXPECT_TRUE(waitUntil([&] { return registeredCount() == 1; }));
}

// DuplicateHandle that ends the client's process as soon as the third handle
// has been placed in it, so that the client is gone before its reply is
// written.
struct KillAfterDuplications {
  static constexpr UINT kExitCode = 77;
  int placed = 0;
  BOOL terminated = FALSE;
  DWORD waitResult = WAIT_FAILED;
};
KillAfterDuplications* killAfterDuplications = nullptr;

BOOL WINAPI killingDuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                                   HANDLE* target, DWORD access, BOOL inherit, DWORD options) {
  const BOOL result =
      DuplicateHandle(sourceProcess, source, targetProcess, target, access, inherit, options);
  if (result && sourceProcess == GetCurrentProcess() && targetProcess != GetCurrentProcess() &&
      ++killAfterDuplications->placed == 3) {
    killAfterDuplications->terminated =
        TerminateProcess(targetProcess, KillAfterDuplications::kExitCode);
    killAfterDuplications->waitResult = WaitForSingleObject(targetProcess, 5000);
  }
  return result;
}

size_t occurrences(const std::vector<uint32_t>& ids, uint32_t id) {
  size_t count = 0;
  for (uint32_t each : ids) count += each == id ? 1 : 0;
  return count;
}

TEST_F(HandlePlacementTest, ClientEndingWhileItsHandlesArePlacedIsForgotten) {
  ChildProcess* first = startServerWithARegisteredClient();
  ChildProcess* victim = startClient();
  ASSERT_EQ("info", tokens(victim->command("info"))[0]);
  ASSERT_TRUE(listening());
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());

  KillAfterDuplications kill;
  killAfterDuplications = &kill;
  DWORD code = 0;
  bool ended = false;
  bool listeningAgain = false;
  {
    ScopedSeamReplacement<DuplicateHandleFunction> replaced(&duplicateHandleSeam,
                                                            &killingDuplicateHandle);
    victim->sendLine("register");
    ended = victim->waitForExit(5000, &code);
    // Once the server listens again, the victim's conversation is over.
    listeningAgain = listening();
  }
  killAfterDuplications = nullptr;
  ASSERT_TRUE(ended);
  ASSERT_TRUE(listeningAgain);
  EXPECT_EQ(KillAfterDuplications::kExitCode, code);
  EXPECT_EQ(3, kill.placed);
  EXPECT_TRUE(kill.terminated);
  EXPECT_EQ(WAIT_OBJECT_0, kill.waitResult);

  // Whether the reply write failed or the record was made and its exit wait
  // fired at once, nothing of the victim stays: no record, and its process
  // handle and events are closed.
  ASSERT_TRUE(waitUntil([&] { return registeredCount() == 1; }));
  EXPECT_TRUE(handleCountReturnsTo(handlesBefore, 2000));

  ChildProcess* next = startClient();
  registerClient(next);
  EXPECT_EQ("dump done", next->command("dump"));
  EXPECT_EQ(2u, registeredCount());
  EXPECT_LE(occurrences(recorder_.read(recorder_.exited), victim->processId()), 1u);
  // It never acknowledged.
  EXPECT_EQ((std::vector<uint32_t>{first->processId(), next->processId()}),
            recorder_.read(recorder_.registered));
}

// Fails one step of a registration after its handles were placed: the
// registration of one of the client's two waits, or the write of the reply,
// at once or after it was pending. None of them lets the reply reach the
// client, so the handles are closed there; a reply that reached it leaves
// them to it, whatever happens to the registration afterwards.
struct LateFailure {
  enum class Write { Works, FailsAtOnce, FailsLater };
  Write write = Write::Works;
  int failWaitAt = 0;
  int waitCalls = 0;
};
LateFailure* lateFailure = nullptr;

BOOL WINAPI failingRegisterWait(HANDLE* wait, HANDLE object, WAITORTIMERCALLBACK callback,
                                void* context, ULONG milliseconds, ULONG flags) {
  if (++lateFailure->waitCalls == lateFailure->failWaitAt) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return RegisterWaitForSingleObject(wait, object, callback, context, milliseconds, flags);
}

BOOL WINAPI failingPipeWrite(HANDLE pipe, const void* data, DWORD size, DWORD* written,
                             OVERLAPPED* overlapped) {
  switch (lateFailure->write) {
    case LateFailure::Write::Works:
      break;
    case LateFailure::Write::FailsAtOnce:
      SetLastError(ERROR_NO_DATA);
      return FALSE;
    case LateFailure::Write::FailsLater:
      // What the system leaves behind when a pending write fails: the status
      // in the OVERLAPPED and its event set.
      overlapped->Internal = static_cast<ULONG_PTR>(0xC000014BL);  // STATUS_PIPE_BROKEN
      overlapped->InternalHigh = 0;
      SetEvent(overlapped->hEvent);
      SetLastError(ERROR_IO_PENDING);
      return FALSE;
  }
  return WriteFile(pipe, data, size, written, overlapped);
}

TEST_F(HandlePlacementTest, RegistrationFailingBeforeItsReplyReachedTheClientTakesItsHandlesBack) {
  startServerWithARegisteredClient();
  ChildProcess* client = startClient();
  ASSERT_EQ("info", tokens(client->command("info"))[0]);
  ASSERT_TRUE(listening());
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());

  const struct {
    const char* what;
    LateFailure::Write write;
    int failWaitAt;
    RefusalReason reason;
  } cases[] = {
      {"the reply cannot be written", LateFailure::Write::FailsAtOnce, 0,
       RefusalReason::ReplyNotDelivered},
      {"the reply's pending write fails", LateFailure::Write::FailsLater, 0,
       RefusalReason::ReplyNotDelivered},
      {"the dump-request wait cannot be registered", LateFailure::Write::Works, 1,
       RefusalReason::NotEnlisted},
      {"the exit wait cannot be registered", LateFailure::Write::Works, 2,
       RefusalReason::NotEnlisted},
  };
  // No SCOPED_TRACE here: its first use on a thread leaves a thread handle
  // open in this process, which the counts would take for a leak.
  for (const auto& c : cases) {
    const size_t refusalsBefore = recorder_.read(recorder_.refusals).size();
    DuplicationLog log;
    LateFailure failure;
    failure.write = c.write;
    failure.failWaitAt = c.failWaitAt;
    duplicationLog = &log;
    lateFailure = &failure;
    std::string line;
    bool listeningAgain = false;
    {
      ScopedSeamReplacement<DuplicateHandleFunction> duplicate(&duplicateHandleSeam,
                                                               &failingDuplicateHandle);
      ScopedSeamReplacement<RegisterWaitFunction> registerWait(&registerWaitSeam,
                                                               &failingRegisterWait);
      ScopedSeamReplacement<PipeWriteFunction> write(&pipeWriteSeam, &failingPipeWrite);
      line = client->command("register");
      // Once the server listens again, the conversation is over.
      listeningAgain = listening();
    }
    // No reply was written whose handles are then taken back.
    EXPECT_TRUE(startsWith(line, "hangup ")) << c.what << ": " << line;
    const std::vector<RegistrationRefusal> refusals = recorder_.read(recorder_.refusals);
    ASSERT_EQ(refusalsBefore + 1, refusals.size()) << c.what;
    EXPECT_EQ(c.reason, refusals.back().reason) << c.what;
    EXPECT_EQ(client->processId(), refusals.back().processId) << c.what;
    duplicationLog = nullptr;
    lateFailure = nullptr;
    ASSERT_TRUE(listeningAgain) << c.what;

    ASSERT_EQ(3u, log.placed.size()) << c.what;
    EXPECT_EQ(log.placed, log.closed) << c.what;
    EXPECT_TRUE(goneFromProcess(client->process(), log.placed)) << c.what;
    EXPECT_EQ(1u, registeredCount()) << c.what;
    EXPECT_TRUE(waitUntil([&] { return server_->recordCount() == 1; }))
        << c.what << ": " << server_->recordCount();
    EXPECT_TRUE(handleCountReturnsTo(handlesBefore, 5000)) << c.what;
  }
  registerClient(client);
  EXPECT_EQ("dump done", client->command("dump"));
  EXPECT_EQ(2u, registeredCount());
}

}  // namespace
}  // namespace tavra
