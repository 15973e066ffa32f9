#include "desktop/windows/crash_reporter/server/pipe_conversation.h"

#include <windows.h>

#include <gtest/gtest.h>

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

  // "as-reporter" registers with the reporter's own process id.
  const char* malformed[] = {"bad-tag", "zero-assertion", "short",
                             "long",    "as-reporter",    "hook 305419896"};
  for (const char* command : malformed) {
    EXPECT_EQ("hangup", client->command(command)) << command;
  }
  // The next client is served at once.
  registerClient(next);
  ASSERT_TRUE(waitUntil([&] { return recorder_.read(recorder_.registered).size() == 2; }));

  EXPECT_EQ(2u, registeredCount());
  EXPECT_EQ(std::vector<uint32_t>{305419896u}, recorder_.read(recorder_.hookValues));
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

  // Where the system cannot say who wrote, only the other bounds hold; a
  // second record of the same process then replaces the first.
  const struct {
    const char* what;
    PipeClientProcessIdFunction function;
    bool namesTarget;
    bool accepted;
    size_t registered;
  } cases[] = {
      {"the system names the writer, which names another", nullptr, true, false, 1},
      {"the system names the writer, which names itself", nullptr, false, true, 2},
      {"the system cannot tell", &cannotTellClient, true, true, 3},
      {"the system answers 0", &answersNoClient, true, true, 3},
  };
  // No SCOPED_TRACE here: its first use on a thread leaves a thread handle
  // open in this process, which the counts would take for a leak.
  for (const auto& c : cases) {
    const uint32_t named = c.namesTarget ? target->processId() : writer->processId();
    std::string line;
    {
      ScopedSeamReplacement<PipeClientProcessIdFunction> replaced(&pipeClientProcessIdSeam,
                                                                  c.function);
      line = writer->command("register-as " + std::to_string(named));
    }
    EXPECT_EQ(c.accepted, startsWith(line, "reply 2 ")) << c.what << ": " << line;
    if (!c.accepted) {
      EXPECT_EQ("hangup", line) << c.what;
      // Nothing was opened for the named process, nor placed in it.
      ASSERT_TRUE(listening());
      EXPECT_EQ(reporterHandles, probeHandleCount(GetCurrentProcess())) << c.what;
      EXPECT_EQ(targetHandles, probeHandleCount(target->process())) << c.what;
    }
    EXPECT_TRUE(waitUntil([&] { return registeredCount() == c.registered; }))
        << c.what << ": " << registeredCount();
  }
  EXPECT_TRUE(waitUntil([&] { return server_->recordCount() == 3; })) << server_->recordCount();
}

}  // namespace
}  // namespace tavra
