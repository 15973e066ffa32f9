#include "desktop/windows/crash_reporter/server/pipe_conversation.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/server/server_test_fixture.h"
#include "runtime/seam.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/process_figures.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// The conversation on the pipe, driven through a whole server: which
// requests it answers, and how it gets rid of clients that misbehave.
class PipeConversationTest : public ServerTestFixture {};

TEST_F(PipeConversationTest, MalformedConversationsEndOnlyThemselves) {
  ChildProcess* client = startServerWithARegisteredClient();
  ChildProcess* next = startClient();
  ASSERT_EQ("info", tokens(next->command("info"))[0]);
  ASSERT_TRUE(listening());
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());

  // "as-reporter" registers with the reporter's own process id; "long" has
  // bytes after the registration within the pipe's buffer, "too-long" is
  // longer than the buffer; "other-tag-length" carries the other width's tag
  // at this width's length.
  const char* malformed[] = {"bad-tag",  "zero-assertion", "short",          "long",
                             "too-long", "as-reporter",    "hook 305419896", "other-tag-length"};
  for (const char* command : malformed) {
    EXPECT_EQ("hangup", client->command(command)) << command;
  }
  // The next client is served at once.
  registerClient(next);
  ASSERT_TRUE(waitUntil([&] { return recorder_.read(recorder_.registered).size() == 2; }));

  EXPECT_EQ(2u, registeredCount());
  EXPECT_EQ(std::vector<uint32_t>{305419896u}, recorder_.read(recorder_.hookValues));
  // Each refusal was told, naming the sender; the hook request is none.
  const std::vector<RegistrationRefusal> refusals = recorder_.read(recorder_.refusals);
  EXPECT_EQ(7u, refusals.size());
  for (const RegistrationRefusal& refusal : refusals) {
    EXPECT_EQ(RefusalReason::Malformed, refusal.reason);
    EXPECT_EQ(client->processId(), refusal.connectedProcessId);
  }
  ASSERT_TRUE(listening());
  // The malformed conversations left nothing behind; the second client's
  // record holds its process handle and two events.
  EXPECT_EQ(handlesBefore + 3, probeHandleCount(GetCurrentProcess()));
}

TEST_F(PipeConversationTest, ClientWithoutAcknowledgementStaysRegistered) {
  startServer();
  ChildProcess* client = startClient();
  registerClient(client, "nack");
  EXPECT_EQ("dump done", client->command("dump"));
  EXPECT_EQ(1u, registeredCount());
  EXPECT_TRUE(recorder_.read(recorder_.registered).empty());
  // The pipe is free for the next client.
  ChildProcess* next = startClient();
  registerClient(next);
  ASSERT_TRUE(waitUntil([&] { return recorder_.read(recorder_.registered).size() == 1; }));
  EXPECT_EQ(next->processId(), recorder_.read(recorder_.registered)[0]);
}

TEST_F(PipeConversationTest, SilentClientIsHungUpSoThatOthersGetThrough) {
  startServer(&recordDump, 300);
  ChildProcess* silent = startClient();
  ASSERT_EQ("connected", silent->command("hold"));
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitRequest; }));
  ChildProcess* client = startClient();
  registerClient(client);
  EXPECT_EQ("hangup", silent->command("read-held 5000"));
  EXPECT_EQ(1u, registeredCount());
}

TEST_F(PipeConversationTest, StopDuringAConversationHangsUp) {
  startServer();
  ChildProcess* client = startClient();
  ASSERT_EQ("connected", client->command("hold"));
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitRequest; }));
  server_->stop();
  EXPECT_EQ(PipeState::Failed, server_->state());
  EXPECT_EQ("hangup", client->command("read-held 5000"));
}

TEST_F(PipeConversationTest, ClientHoldingThePipeWithoutAcknowledgementIsHungUpAndStays) {
  startServer(&recordDump, 300);
  ChildProcess* holder = startClient();
  const std::string line = holder->command("register-hold");
  ASSERT_TRUE(startsWith(line, "reply 2 ")) << line;
  const std::vector<uint32_t> reply = words(line);
  ASSERT_EQ(11u, reply.size());

  // Bounded by the read's own time-out: a server that waits for the
  // acknowledgement for good leaves this read to time out instead.
  EXPECT_EQ("hangup", holder->command("read-held 5000"));
  EXPECT_EQ(1u, registeredCount());
  // The handles that it was given are still its own.
  for (size_t i = 8; i < 11; ++i) {
    EXPECT_TRUE(validInProcess(holder->process(),
                               reinterpret_cast<HANDLE>(static_cast<uintptr_t>(reply[i]))))
        << "word " << i;
  }

  ChildProcess* next = startClient();
  registerClient(next);
  ASSERT_TRUE(waitUntil([&] { return recorder_.read(recorder_.registered).size() == 1; }));
  EXPECT_EQ(next->processId(), recorder_.read(recorder_.registered)[0]);
  EXPECT_EQ(2u, registeredCount());
}

TEST_F(PipeConversationTest, ServerWithoutHooksEndsHookRequestsAndServesOn) {
  makeServerWithOnly(nullptr, nullptr);
  ASSERT_TRUE(server_->start());
  ChildProcess* asker = startClient();
  EXPECT_EQ("hangup", asker->command("hook 7"));

  ChildProcess* client = startClient();
  registerClient(client);
  EXPECT_EQ("dump done", client->command("dump"));
  EXPECT_EQ(1u, registeredCount());
  client->sendLine("exit 0");
  ASSERT_TRUE(client->waitForExit(5000));
  EXPECT_TRUE(waitUntil([&] { return registeredCount() == 0; }));
}

// Says that every other process is of the other width than this one.
BOOL WINAPI othersAreOfTheOtherWidth(HANDLE process, BOOL* isWow64) {
  BOOL ownIsWow64 = FALSE;
  if (!IsWow64Process(GetCurrentProcess(), &ownIsWow64)) return FALSE;
  *isWow64 = process == GetCurrentProcess() ? ownIsWow64 : !ownIsWow64;
  return TRUE;
}

BOOL WINAPI widthUnknown(HANDLE, BOOL*) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// A registration in the other width's layout, or from a process of the other
// width, is refused with its own reason before anything is placed in the
// client; the next registration of the same process in its own width is
// served.
TEST_F(PipeConversationTest, RegistrationsOfTheOtherWidthAreRefusedWithTheirReason) {
  startServerWithARegisteredClient();
  ChildProcess* client = startClient();
  ASSERT_EQ("info", tokens(client->command("info"))[0]);
  ASSERT_TRUE(listening());
  const uint32_t reporterHandles = probeHandleCount(GetCurrentProcess());
  const uint32_t clientHandles = probeHandleCount(client->process());

  const struct {
    const char* what;
    const char* command;
    IsWow64ProcessFunction width;
    RefusalReason reason;
  } cases[] = {
      {"the other width's layout", "register other-width", nullptr,
       RefusalReason::OtherWidthRegistration},
      {"a process of the other width", "register", &othersAreOfTheOtherWidth,
       RefusalReason::OtherWidthProcess},
      {"a process whose width cannot be told", "register", &widthUnknown,
       RefusalReason::OtherWidthProcess},
  };
  for (const auto& c : cases) {
    const size_t refusalsBefore = recorder_.read(recorder_.refusals).size();
    std::string line;
    {
      ScopedSeamReplacement<IsWow64ProcessFunction> replaced(&isWow64ProcessSeam, c.width);
      line = client->command(c.command);
    }
    EXPECT_TRUE(startsWith(line, "hangup ")) << c.what << ": " << line;
    ASSERT_TRUE(listening());
    EXPECT_EQ(1u, registeredCount()) << c.what;
    const std::vector<RegistrationRefusal> refusals = recorder_.read(recorder_.refusals);
    ASSERT_EQ(refusalsBefore + 1, refusals.size()) << c.what;
    EXPECT_EQ(c.reason, refusals.back().reason) << c.what;
    EXPECT_EQ(client->processId(), refusals.back().processId) << c.what;
    EXPECT_EQ(client->processId(), refusals.back().connectedProcessId) << c.what;
    // Whatever was opened for it is closed again, and nothing was placed in
    // it. Records are retired on worker threads.
    EXPECT_TRUE(handleCountReturnsTo(reporterHandles, 5000)) << c.what;
    EXPECT_EQ(clientHandles, probeHandleCount(client->process())) << c.what;
  }
  registerClient(client);
  EXPECT_EQ(2u, registeredCount());
}

// A real 32-bit process at the 64-bit reporter: the test client of the
// 32-bit build, which lies beside the 64-bit one (its build folder holds the
// 64-bit build in "x64"). Refused whichever layout it sends: its own for its
// layout, the 64-bit one for its width.
TEST_F(PipeConversationTest, ARealProcessOfTheOtherWidthIsRefusedInEitherLayout) {
  if (sizeof(void*) == 4) GTEST_SKIP() << "a 32-bit reporter's system may run no 64-bit process";
  const std::wstring otherClient = siblingProgramPath(L"..\\..\\bin\\tavra_test_client.exe");
  if (GetFileAttributesW(otherClient.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "the 32-bit build is not there";
  }
  startServer();
  ASSERT_TRUE(listening());
  clients_.push_back(std::make_unique<ChildProcess>());
  ChildProcess* client = clients_.back().get();
  ASSERT_TRUE(
      client->start(otherClient, L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId())));
  const struct {
    const char* command;
    RefusalReason reason;
  } cases[] = {
      {"register", RefusalReason::OtherWidthRegistration},
      {"register other-width", RefusalReason::OtherWidthProcess},
  };
  for (const auto& c : cases) {
    const std::string line = client->command(c.command);
    EXPECT_TRUE(startsWith(line, "hangup ")) << c.command << ": " << line;
    ASSERT_TRUE(listening());
    const std::vector<RegistrationRefusal> refusals = recorder_.read(recorder_.refusals);
    ASSERT_FALSE(refusals.empty()) << c.command;
    EXPECT_EQ(c.reason, refusals.back().reason) << c.command;
    EXPECT_EQ(client->processId(), refusals.back().processId) << c.command;
  }
  EXPECT_EQ(0u, registeredCount());
}

BOOL WINAPI cannotTellClient(HANDLE, ULONG*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI answersNoClient(HANDLE, ULONG* processId) {
  *processId = 0;
  return TRUE;
}

TEST_F(PipeConversationTest, RegistrationMustNameTheProcessAtTheOtherEndOfThePipe) {
  startServerWithARegisteredClient();
  ChildProcess* target = startClient();
  ChildProcess* writer = startClient();
  ASSERT_EQ("info", tokens(target->command("info"))[0]);
  ASSERT_EQ("info", tokens(writer->command("info"))[0]);
  ASSERT_TRUE(listening());
  const uint32_t reporterHandles = probeHandleCount(GetCurrentProcess());
  const uint32_t targetHandles = probeHandleCount(target->process());

  // A process that the system cannot name is not trusted to be the one that
  // the message names, whichever that is.
  const struct {
    const char* what;
    PipeClientProcessIdFunction function;
    bool namesTarget;
    bool accepted;
    RefusalReason reason;
    bool connectedKnown;
  } cases[] = {
      {"the system names the writer, which names another", nullptr, true, false,
       RefusalReason::NotTheConnectedProcess, true},
      {"the system cannot tell", &cannotTellClient, false, false,
       RefusalReason::ClientProcessUnknown, false},
      {"the system answers 0", &answersNoClient, false, false, RefusalReason::ClientProcessUnknown,
       false},
      {"the system names the writer, which names itself", nullptr, false, true,
       RefusalReason::Malformed, true},
  };
  // No SCOPED_TRACE here: its first use on a thread leaves a thread handle
  // open in this process, which the counts would take for a leak.
  for (const auto& c : cases) {
    const uint32_t named = c.namesTarget ? target->processId() : writer->processId();
    const size_t refusalsBefore = recorder_.read(recorder_.refusals).size();
    std::string line;
    {
      ScopedSeamReplacement<PipeClientProcessIdFunction> replaced(&pipeClientProcessIdSeam,
                                                                  c.function);
      line = writer->command("register-as " + std::to_string(named));
    }
    EXPECT_EQ(c.accepted, startsWith(line, "reply 2 ")) << c.what << ": " << line;
    if (c.accepted) {
      EXPECT_EQ(refusalsBefore, recorder_.read(recorder_.refusals).size()) << c.what;
      continue;
    }
    EXPECT_EQ("hangup", line) << c.what;
    ASSERT_TRUE(listening());
    const std::vector<RegistrationRefusal> refusals = recorder_.read(recorder_.refusals);
    // Nothing was opened for the named process, nor placed in it, and the
    // refusal was told once.
    EXPECT_EQ(reporterHandles, probeHandleCount(GetCurrentProcess())) << c.what;
    EXPECT_EQ(targetHandles, probeHandleCount(target->process())) << c.what;
    EXPECT_EQ(1u, registeredCount()) << c.what;
    ASSERT_EQ(refusalsBefore + 1, refusals.size()) << c.what;
    EXPECT_EQ(c.reason, refusals.back().reason) << c.what;
    EXPECT_EQ(named, refusals.back().processId) << c.what;
    EXPECT_EQ(c.connectedKnown ? writer->processId() : 0u, refusals.back().connectedProcessId)
        << c.what;
  }
  EXPECT_TRUE(waitUntil([&] { return registeredCount() == 2; })) << registeredCount();
}

// CreateNamedPipeW that records the pipe mode that it was asked for.
DWORD createdPipeMode = 0;

HANDLE WINAPI recordingCreateNamedPipe(const wchar_t* name, DWORD openMode, DWORD pipeMode,
                                       DWORD maxInstances, DWORD outBufferSize, DWORD inBufferSize,
                                       DWORD defaultTimeoutMs,
                                       SECURITY_ATTRIBUTES* securityAttributes) {
  createdPipeMode = pipeMode;
  return CreateNamedPipeW(name, openMode, pipeMode, maxInstances, outBufferSize, inBufferSize,
                          defaultTimeoutMs, securityAttributes);
}

TEST_F(PipeConversationTest, ThePipeRefusesRemoteClientsAndStillServesLocalOnes) {
  {
    ScopedSeamReplacement<CreateNamedPipeFunction> recording(&createNamedPipeSeam,
                                                             &recordingCreateNamedPipe);
    startServer();
  }
  EXPECT_EQ(static_cast<DWORD>(PIPE_REJECT_REMOTE_CLIENTS),
            createdPipeMode & PIPE_REJECT_REMOTE_CLIENTS);
  ChildProcess* client = startClient();
  registerClient(client);
  EXPECT_EQ("dump done", client->command("dump"));
}

}  // namespace
}  // namespace tavra
