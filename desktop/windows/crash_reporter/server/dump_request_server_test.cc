#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "desktop/windows/crash_reporter/server/handle_placement.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "runtime/scoped_holder.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/browser_client/process_figures.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// What the hooks saw. Hooks run on thread-pool threads; the test reads under
// the same lock.
struct Recorder {
  struct Dump {
    uint32_t processId = 0;
    uint32_t threadId = 0;  // as read from the client's registered word
    std::vector<std::pair<std::wstring, std::wstring>> annotations;
    bool viewEmpty = false;
  };

  Recorder() { InitializeCriticalSection(&lock); }
  ~Recorder() { DeleteCriticalSection(&lock); }

  template <typename T>
  T read(const T& field) {
    EnterCriticalSection(&lock);
    T copy = field;
    LeaveCriticalSection(&lock);
    return copy;
  }

  CRITICAL_SECTION lock;
  std::vector<uint32_t> registered;
  std::vector<uint32_t> exited;
  std::vector<uint32_t> hookValues;
  std::vector<Dump> dumps;
};

std::wstring unitsText(const wchar_t* units) { return std::wstring(units, wcsnlen(units, 64)); }

void recordRegistered(void* context, ReporterClient* client) {
  Recorder* recorder = static_cast<Recorder*>(context);
  EnterCriticalSection(&recorder->lock);
  recorder->registered.push_back(client->processId());
  LeaveCriticalSection(&recorder->lock);
}

void recordDump(void* context, ReporterClient* client) {
  Recorder* recorder = static_cast<Recorder*>(context);
  Recorder::Dump dump;
  dump.processId = client->processId();
  SIZE_T read = 0;
  ReadProcessMemory(
      client->process(),
      reinterpret_cast<const void*>(static_cast<uintptr_t>(client->threadIdAddress())),
      &dump.threadId, sizeof(dump.threadId), &read);
  const AnnotationView view = client->annotationView();
  dump.viewEmpty = view.entries == nullptr && view.count == 0;
  for (uint32_t i = 0; i < view.count; ++i) {
    dump.annotations.emplace_back(unitsText(view.entries[i].name),
                                  unitsText(view.entries[i].value));
  }
  EnterCriticalSection(&recorder->lock);
  recorder->dumps.push_back(std::move(dump));
  LeaveCriticalSection(&recorder->lock);
}

void recordExited(void* context, ReporterClient* client) {
  Recorder* recorder = static_cast<Recorder*>(context);
  EnterCriticalSection(&recorder->lock);
  recorder->exited.push_back(client->processId());
  LeaveCriticalSection(&recorder->lock);
}

void recordHookRequest(void* context, uint32_t value) {
  Recorder* recorder = static_cast<Recorder*>(context);
  EnterCriticalSection(&recorder->lock);
  recorder->hookValues.push_back(value);
  LeaveCriticalSection(&recorder->lock);
}

// The eleven words after the first token ("registered ...", "info ...").
std::vector<uint32_t> words(const std::string& line) {
  std::vector<std::string> parts = tokens(line);
  std::vector<uint32_t> result;
  for (size_t i = 1; i < parts.size(); ++i) {
    result.push_back(static_cast<uint32_t>(std::stoul(parts[i])));
  }
  return result;
}

class DumpRequestServerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (server_) server_->stop();
    clients_.clear();
    server_.reset();
  }

  std::wstring pipeName() const { return reporterPipeName(GetCurrentProcessId()); }

  DumpRequestServer* startServer(ClientHook onDumpRequest = &recordDump,
                                 DWORD conversationTimeoutMs = 0) {
    makeServer(onDumpRequest, &recorder_);
    if (conversationTimeoutMs != 0) server_->setConversationTimeout(conversationTimeoutMs);
    EXPECT_TRUE(server_->start());
    return server_.get();
  }

  // Built, not started, with every hook recording but the dump hook.
  DumpRequestServer* makeServer(ClientHook onDumpRequest, void* dumpContext) {
    if (server_) server_->stop();
    server_ = std::make_unique<DumpRequestServer>(
        pipeName(), nullptr, &recordRegistered, &recorder_, onDumpRequest, dumpContext,
        &recordExited, &recorder_, &recordHookRequest, &recorder_);
    return server_.get();
  }

  ChildProcess* startClient(const std::wstring& switches = L"") {
    clients_.push_back(std::make_unique<ChildProcess>());
    ChildProcess* client = clients_.back().get();
    EXPECT_TRUE(client->start(
        siblingProgramPath(L"tavra_test_client.exe"),
        L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId()) + L" " + switches));
    return client;
  }

  // Registers and checks that it worked.
  std::vector<uint32_t> registerClient(ChildProcess* client, const std::string& option = "") {
    const std::string line = client->command("register " + option);
    EXPECT_TRUE(startsWith(line, "registered ")) << line;
    return words(line);
  }

  size_t registeredCount() { return server_->registeredClientCount(); }

  Recorder recorder_;
  std::unique_ptr<DumpRequestServer> server_;
  std::vector<std::unique_ptr<ChildProcess>> clients_;
};

TEST_F(DumpRequestServerTest, ReplyCarriesReporterIdAndHandlesWithExactRights) {
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

TEST_F(DumpRequestServerTest, DumpRequestRereadsTableAndProcessTimeGrows) {
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

TEST_F(DumpRequestServerTest, DumpRequestWithoutHookIsAnsweredAndRequestsDoNotGetLost) {
  startServer(nullptr);
  ChildProcess* client = startClient();
  registerClient(client);
  ASSERT_EQ("dump done", client->command("dump"));
  // Each request follows the previous answer at once; none may be swallowed.
  EXPECT_EQ("dumps 300", client->command("dumps 300", 30000));
}

TEST_F(DumpRequestServerTest, AnnotationCountsUpToTheLimitAreCopied) {
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

TEST_F(DumpRequestServerTest, MalformedConversationsEndOnlyThemselves) {
  startServer();
  ChildProcess* client = startClient();
  registerClient(client);
  ChildProcess* next = startClient();
  ASSERT_EQ("info", tokens(next->command("info"))[0]);
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitClient; }));
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
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitClient; }));
  // The malformed conversations left nothing behind; the second client's
  // record holds its process handle and two events.
  EXPECT_EQ(handlesBefore + 3, probeHandleCount(GetCurrentProcess()));
}

TEST_F(DumpRequestServerTest, ClientsExitingBeforeDuringAndAfterRegistrationAreForgotten) {
  startServer();
  ChildProcess* before = startClient();
  before->sendLine("connect-and-exit");
  DWORD code = 0;
  ASSERT_TRUE(before->waitForExit(5000, &code));
  EXPECT_EQ(3u, code);

  // Writes its registration and dies: depending on the moment, the server
  // never gets its process open, or registers it and forgets it at once.
  std::vector<uint32_t> during;
  for (int i = 0; i < 4; ++i) {
    ChildProcess* client = startClient();
    during.push_back(client->processId());
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

TEST_F(DumpRequestServerTest, ClientWithoutAcknowledgementStaysRegistered) {
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

TEST_F(DumpRequestServerTest, ClientExitingDuringItsDumpIsDestroyedAfterTheRequest) {
  ExitDuringDump observed;
  exitDuringDump = &observed;
  server_ = std::make_unique<DumpRequestServer>(pipeName(), nullptr, nullptr, nullptr,
                                                &dumpOutlivingClient, nullptr, &exitAfterDump,
                                                nullptr, nullptr, nullptr);
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

TEST_F(DumpRequestServerTest, SilentClientIsHungUpSoThatOthersGetThrough) {
  startServer(&recordDump, 300);
  ChildProcess* silent = startClient();
  ASSERT_EQ("connected", silent->command("hold"));
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitRequest; }));
  ChildProcess* client = startClient();
  registerClient(client);
  EXPECT_EQ("hangup", silent->command("read-held 5000"));
  EXPECT_EQ(1u, registeredCount());
}

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

TEST_F(DumpRequestServerTest, StopDuringAConversationHangsUp) {
  startServer();
  ChildProcess* client = startClient();
  ASSERT_EQ("connected", client->command("hold"));
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitRequest; }));
  server_->stop();
  EXPECT_EQ(PipeState::Failed, server_->state());
  EXPECT_EQ("hangup", client->command("read-held 5000"));
}

TEST_F(DumpRequestServerTest, StopWithoutClientsRemovesThePipe) {
  startServer();
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitClient; }));
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

bool validInProcess(HANDLE process, HANDLE handle) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(process, handle, GetCurrentProcess(), &copy, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  CloseHandle(copy);
  return true;
}

TEST_F(DumpRequestServerTest, FailedDuplicationClosesHandlesAlreadyPlacedInTheClient) {
  startServer();
  ChildProcess* client = startClient();
  for (int failAt : {1, 2, 3}) {
    DuplicationLog log;
    log.failAt = failAt;
    duplicationLog = &log;
    duplicateHandleSeam.replaceForTesting(&failingDuplicateHandle);
    const std::string line = client->command("register");
    duplicateHandleSeam.replaceForTesting(nullptr);
    duplicationLog = nullptr;

    EXPECT_TRUE(startsWith(line, "hangup")) << line;
    ASSERT_EQ(static_cast<size_t>(failAt - 1), log.placed.size());
    EXPECT_EQ(log.placed, log.closed);
    for (HANDLE handle : log.placed) {
      // Some systems close a handle in another process asynchronously.
      EXPECT_TRUE(waitUntil([&] { return !validInProcess(client->process(), handle); }, 2000));
    }
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

TEST_F(DumpRequestServerTest, ClientEndingWhileItsHandlesArePlacedIsForgotten) {
  startServer();
  // A registered client first, so that the thread pool's waits exist before
  // the handles are counted.
  ChildProcess* first = startClient();
  registerClient(first);
  ChildProcess* victim = startClient();
  ASSERT_EQ("info", tokens(victim->command("info"))[0]);
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitClient; }));
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());

  KillAfterDuplications kill;
  killAfterDuplications = &kill;
  duplicateHandleSeam.replaceForTesting(&killingDuplicateHandle);
  victim->sendLine("register");
  DWORD code = 0;
  const bool ended = victim->waitForExit(5000, &code);
  // Once the server listens again, the victim's conversation is over.
  const bool listening = waitUntil([&] { return server_->state() == PipeState::AwaitClient; });
  duplicateHandleSeam.replaceForTesting(nullptr);
  killAfterDuplications = nullptr;
  ASSERT_TRUE(ended);
  ASSERT_TRUE(listening);
  EXPECT_EQ(KillAfterDuplications::kExitCode, code);
  EXPECT_EQ(3, kill.placed);
  EXPECT_TRUE(kill.terminated);
  EXPECT_EQ(WAIT_OBJECT_0, kill.waitResult);

  // Whether the reply write failed or the record was made and its exit wait
  // fired at once, nothing of the victim stays: no record, and its process
  // handle and events are closed.
  ASSERT_TRUE(waitUntil([&] { return registeredCount() == 1; }));
  EXPECT_TRUE(
      waitUntil([&] { return probeHandleCount(GetCurrentProcess()) == handlesBefore; }, 2000))
      << probeHandleCount(GetCurrentProcess()) << " handles, " << handlesBefore << " before";

  ChildProcess* next = startClient();
  registerClient(next);
  EXPECT_EQ("dump done", next->command("dump"));
  EXPECT_EQ(2u, registeredCount());
  EXPECT_LE(occurrences(recorder_.read(recorder_.exited), victim->processId()), 1u);
  // It never acknowledged.
  EXPECT_EQ((std::vector<uint32_t>{first->processId(), next->processId()}),
            recorder_.read(recorder_.registered));
}

// A dump hook that runs until the test lets it go.
struct BlockingDump {
  ScopedHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> returned{false};
};

void blockUntilReleased(void* context, ReporterClient*) {
  BlockingDump* dump = static_cast<BlockingDump*>(context);
  SetEvent(dump->entered.get());
  WaitForSingleObject(dump->release.get(), 10000);
  dump->returned = true;
}

// Starts and stops a server on a thread of its own: both must run on the same
// thread, and the test's thread stays free to watch `stop`.
struct ServerThread {
  DumpRequestServer* server = nullptr;
  BlockingDump* dump = nullptr;
  ScopedHandle started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle stopNow{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle thread;
  std::atomic<bool> startResult{false};
  std::atomic<bool> hookReturnedBeforeStopReturned{false};

  // Starts `server` on the thread; whether it started.
  bool start(DumpRequestServer* serverToRun, BlockingDump* blockingDump) {
    server = serverToRun;
    dump = blockingDump;
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
    self->hookReturnedBeforeStopReturned = self->dump->returned.load();
    return 0;
  }

  // Lets everything go, also when the test failed half-way.
  ~ServerThread() {
    if (dump != nullptr) SetEvent(dump->release.get());
    SetEvent(stopNow.get());
    if (thread.isValid()) WaitForSingleObject(thread.get(), 10000);
  }
};

TEST_F(DumpRequestServerTest, StopWaitsForARunningDumpHookAndTheClientIsAnswered) {
  BlockingDump dump;
  server_ = std::make_unique<DumpRequestServer>(pipeName(), nullptr, nullptr, nullptr,
                                                &blockUntilReleased, &dump, nullptr, nullptr,
                                                nullptr, nullptr);
  ServerThread serverThread;
  ASSERT_TRUE(serverThread.start(server_.get(), &dump));

  ChildProcess* client = startClient();
  registerClient(client);
  ASSERT_TRUE(client->sendLine("dump 8000"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(dump.entered.get(), 5000));

  SetEvent(serverThread.stopNow.get());
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(serverThread.thread.get(), 200))
      << "stop returned while the dump hook was still running";
  std::string line;
  EXPECT_FALSE(client->readLine(&line, 0)) << line;

  SetEvent(dump.release.get());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serverThread.thread.get(), 5000));
  EXPECT_TRUE(serverThread.hookReturnedBeforeStopReturned);
  ASSERT_TRUE(client->readLine(&line, 5000));
  EXPECT_EQ("dump done", line);
  EXPECT_EQ(0u, registeredCount());
  EXPECT_EQ(PipeState::Failed, server_->state());
}

TEST_F(DumpRequestServerTest, StopWaitsForAReplacedRecordWhoseCrashIsStillHandled) {
  BlockingDump dump;
  server_ = std::make_unique<DumpRequestServer>(pipeName(), nullptr, nullptr, nullptr,
                                                &blockUntilReleased, &dump, nullptr, nullptr,
                                                nullptr, nullptr);
  ServerThread serverThread;
  ASSERT_TRUE(serverThread.start(server_.get(), &dump));

  ChildProcess* client = startClient();
  registerClient(client);
  EXPECT_EQ("dump timeout", client->command("dump 0"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(dump.entered.get(), 5000));
  // The crashed record is replaced: it is no longer in the list, but its
  // crash still runs in the server.
  registerClient(client);
  ASSERT_EQ(2u, server_->recordCount());

  SetEvent(serverThread.stopNow.get());
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(serverThread.thread.get(), 300))
      << "stop returned while a replaced record's dump hook was still running";
  SetEvent(dump.release.get());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(serverThread.thread.get(), 5000));
  EXPECT_TRUE(serverThread.hookReturnedBeforeStopReturned);
  EXPECT_EQ(0u, server_->recordCount());
}

TEST_F(DumpRequestServerTest, ClientHoldingThePipeWithoutAcknowledgementIsHungUpAndStays) {
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

TEST_F(DumpRequestServerTest, ServerWithoutHooksEndsHookRequestsAndServesOn) {
  server_ = std::make_unique<DumpRequestServer>(pipeName(), nullptr, nullptr, nullptr, nullptr,
                                                nullptr, nullptr, nullptr, nullptr, nullptr);
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

// A dump hook that holds the crash of one client until the test lets it go,
// and records every other client's crash as it comes.
struct HeldCrash {
  std::atomic<uint32_t> heldProcessId{0};
  ScopedHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> otherHandledWhileHeld{false};
  std::atomic<bool> heldReturned{false};
  Recorder* recorder = nullptr;
};

HeldCrash* heldCrash = nullptr;

void holdOneClientsCrash(void*, ReporterClient* client) {
  if (client->processId() == heldCrash->heldProcessId) {
    SetEvent(heldCrash->entered.get());
    WaitForSingleObject(heldCrash->release.get(), 20000);
    heldCrash->heldReturned = true;
    return;
  }
  if (WaitForSingleObject(heldCrash->entered.get(), 0) == WAIT_OBJECT_0 &&
      !heldCrash->heldReturned) {
    heldCrash->otherHandledWhileHeld = true;
  }
  recordDump(heldCrash->recorder, client);
}

TEST_F(DumpRequestServerTest, ACrashBeingHandledDelaysNeitherRegistrationsNorExitsNorOtherCrashes) {
  HeldCrash held;
  held.recorder = &recorder_;
  heldCrash = &held;
  server_ = std::make_unique<DumpRequestServer>(pipeName(), nullptr, &recordRegistered, &recorder_,
                                                &holdOneClientsCrash, nullptr, &recordExited,
                                                &recorder_, nullptr, nullptr);
  ASSERT_TRUE(server_->start());
  ChildProcess* crashed = startClient();
  registerClient(crashed);
  held.heldProcessId = crashed->processId();
  ASSERT_TRUE(crashed->sendLine("dump 20000"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.entered.get(), 5000));

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
  EXPECT_FALSE(held.heldReturned);
  EXPECT_EQ(3u, recorder_.read(recorder_.registered).size());

  SetEvent(held.release.get());
  std::string line;
  ASSERT_TRUE(crashed->readLine(&line, 5000));
  EXPECT_EQ("dump done", line);
  const std::vector<Recorder::Dump> dumps = recorder_.read(recorder_.dumps);
  ASSERT_EQ(1u, dumps.size());
  EXPECT_EQ(other->processId(), dumps[0].processId);
  server_->stop();
  heldCrash = nullptr;
}

// Counts the runs of a hook for one client and how many overlapped.
struct SerialRuns {
  std::atomic<int> running{0};
  std::atomic<int> maxRunning{0};
  std::atomic<int> runs{0};
  std::atomic<LONG> pendingInFirstRun{0};
  std::atomic<bool> doneBeforeSecondRun{true};
};

SerialRuns* serialRuns = nullptr;

// The server's waits, registered through the seam with a callback that
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

void countRuns(void*, ReporterClient* client) {
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
    serialRuns->pendingInFirstRun = client->pendingDumpRequests();
  } else if (serialRuns->runs == 2) {
    // The client waits on: the signal that it gave during the first run is
    // not answered by that run.
    serialRuns->doneBeforeSecondRun =
        WaitForSingleObject(client->dumpDoneEvent(), 0) == WAIT_OBJECT_0;
  }
  --serialRuns->running;
}

TEST_F(DumpRequestServerTest, SignalDuringARunIsAnsweredByOneMoreRunNeverAtTheSameTime) {
  SerialRuns runs;
  serialRuns = &runs;
  server_ = std::make_unique<DumpRequestServer>(pipeName(), nullptr, nullptr, nullptr, &countRuns,
                                                nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(server_->start());
  ChildProcess* client = startClient();
  registerWaitSeam.replaceForTesting(&registerCountedWait);
  registerClient(client);
  registerWaitSeam.replaceForTesting(nullptr);
  EXPECT_EQ("dump done", client->command("dump"));
  // The signal taken during the first run gets a run of its own afterwards,
  // and only one.
  EXPECT_TRUE(waitUntil([&] { return runs.runs == 2 && runs.running == 0; }));
  EXPECT_EQ(2, runs.pendingInFirstRun);
  EXPECT_FALSE(runs.doneBeforeSecondRun);
  EXPECT_EQ("dump done", client->command("dump"));
  EXPECT_EQ(3, runs.runs);
  EXPECT_EQ(1, runs.maxRunning);
  server_->stop();
  serialRuns = nullptr;
}

// Puts every system-call seam back, also when a test fails half-way.
struct SeamsRestored {
  ~SeamsRestored() {
    duplicateHandleSeam.replaceForTesting(nullptr);
    registerWaitSeam.replaceForTesting(nullptr);
    pipeWriteSeam.replaceForTesting(nullptr);
    pipeClientProcessIdSeam.replaceForTesting(nullptr);
  }
};

BOOL WINAPI cannotTellClient(HANDLE, ULONG*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI answersNoClient(HANDLE, ULONG* processId) {
  *processId = 0;
  return TRUE;
}

TEST_F(DumpRequestServerTest, RegistrationMustNameTheProcessAtTheOtherEndOfThePipe) {
  SeamsRestored restored;
  startServer();
  ChildProcess* first = startClient();
  registerClient(first);
  ChildProcess* target = startClient();
  ChildProcess* writer = startClient();
  ASSERT_EQ("info", tokens(target->command("info"))[0]);
  ASSERT_EQ("info", tokens(writer->command("info"))[0]);
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitClient; }));
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
    pipeClientProcessIdSeam.replaceForTesting(c.function);
    const uint32_t named = c.namesTarget ? target->processId() : writer->processId();
    const std::string line = writer->command("register-as " + std::to_string(named));
    pipeClientProcessIdSeam.replaceForTesting(nullptr);
    EXPECT_EQ(c.accepted, startsWith(line, "reply 2 ")) << c.what << ": " << line;
    if (!c.accepted) {
      EXPECT_EQ("hangup", line) << c.what;
      // Nothing was opened for the named process, nor placed in it.
      ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitClient; }));
      EXPECT_EQ(reporterHandles, probeHandleCount(GetCurrentProcess())) << c.what;
      EXPECT_EQ(targetHandles, probeHandleCount(target->process())) << c.what;
    }
    EXPECT_TRUE(waitUntil([&] { return registeredCount() == c.registered; }))
        << c.what << ": " << registeredCount();
  }
  EXPECT_TRUE(waitUntil([&] { return server_->recordCount() == 3; })) << server_->recordCount();
}

TEST_F(DumpRequestServerTest, SameProcessRegisteringAThousandTimesKeepsOneRecord) {
  startServer();
  ChildProcess* client = startClient(L"--annotations=2");
  registerClient(client);
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitClient; }));
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());

  EXPECT_EQ("registered-many 1000", client->command("register-many 1000", 300000));
  EXPECT_EQ(1u, registeredCount());
  // Replaced records are retired on worker threads; with them go their
  // process handles, events and waits.
  EXPECT_TRUE(waitUntil([&] { return server_->recordCount() == 1; })) << server_->recordCount();
  EXPECT_TRUE(
      waitUntil([&] { return probeHandleCount(GetCurrentProcess()) == handlesBefore; }, 10000))
      << probeHandleCount(GetCurrentProcess()) << " handles, " << handlesBefore << " before";

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
  ScopedHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> returned{false};
  std::atomic<uint32_t> processIdAfterRelease{0};
  std::atomic<uint32_t> viewCountAfterRelease{0};
  Recorder* recorder = nullptr;

  ~FirstCrashHeld() { SetEvent(release.get()); }
};

void holdFirstCrash(void* context, ReporterClient* client) {
  FirstCrashHeld* held = static_cast<FirstCrashHeld*>(context);
  if (++held->calls != 1) {
    recordDump(held->recorder, client);
    return;
  }
  SetEvent(held->entered.get());
  WaitForSingleObject(held->release.get(), 20000);
  // A record destroyed under a running crash would show here.
  held->processIdAfterRelease = client->processId();
  held->viewCountAfterRelease = client->annotationView().count;
  held->returned = true;
}

TEST_F(DumpRequestServerTest, RecordReplacedWhileItsCrashIsHandledGoesOnlyAfterTheCrash) {
  FirstCrashHeld held;
  held.recorder = &recorder_;
  makeServer(&holdFirstCrash, &held);
  ASSERT_TRUE(server_->start());
  ChildProcess* client = startClient(L"--annotations=2");
  registerClient(client);
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitClient; }));
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());
  // Signals without waiting for the answer.
  EXPECT_EQ("dump timeout", client->command("dump 0"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.entered.get(), 5000));

  // The pipe is not held up by the crash: the new registration is answered,
  // and its record serves while the old one's crash is still being handled.
  registerClient(client);
  EXPECT_EQ("dump done", client->command("dump 10000"));
  EXPECT_FALSE(held.returned);
  EXPECT_EQ(1u, registeredCount());
  EXPECT_EQ(2u, server_->recordCount());

  SetEvent(held.release.get());
  ASSERT_TRUE(waitUntil([&] { return server_->recordCount() == 1; }));
  EXPECT_TRUE(held.returned);
  EXPECT_EQ(client->processId(), held.processIdAfterRelease);
  EXPECT_EQ(3u, held.viewCountAfterRelease);
  EXPECT_TRUE(
      waitUntil([&] { return probeHandleCount(GetCurrentProcess()) == handlesBefore; }, 5000))
      << probeHandleCount(GetCurrentProcess()) << " handles, " << handlesBefore << " before";
  EXPECT_EQ("dump done", client->command("dump"));
  const std::vector<Recorder::Dump> dumps = recorder_.read(recorder_.dumps);
  ASSERT_EQ(2u, dumps.size());
  EXPECT_EQ(client->processId(), dumps[1].processId);
  EXPECT_TRUE(recorder_.read(recorder_.exited).empty());
}

TEST_F(DumpRequestServerTest, BoundsOnRecordsAndTableCopiesRefuseRegistrationsUntilClientsExit) {
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

TEST_F(DumpRequestServerTest, ClientSignallingInATightLoopStarvesNoOtherAndQueuesNothingUp) {
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

// Fails one step of a registration after its handles were placed: the write
// of the reply, at once or after it was pending, or the registration of one
// of the client's two waits.
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

TEST_F(DumpRequestServerTest, RegistrationFailingAfterItsHandlesWerePlacedTakesThemBack) {
  SeamsRestored restored;
  startServer();
  // A registered client first, so that the thread pool's waits exist before
  // the handles are counted.
  ChildProcess* first = startClient();
  registerClient(first);
  ChildProcess* client = startClient();
  ASSERT_EQ("info", tokens(client->command("info"))[0]);
  ASSERT_TRUE(waitUntil([&] { return server_->state() == PipeState::AwaitClient; }));
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());

  const struct {
    const char* what;
    LateFailure::Write write;
    int failWaitAt;
  } cases[] = {
      {"the reply cannot be written", LateFailure::Write::FailsAtOnce, 0},
      {"the reply's pending write fails", LateFailure::Write::FailsLater, 0},
      {"the dump-request wait cannot be registered", LateFailure::Write::Works, 1},
      {"the exit wait cannot be registered", LateFailure::Write::Works, 2},
  };
  // No SCOPED_TRACE here: its first use on a thread leaves a thread handle
  // open in this process, which the counts would take for a leak.
  for (const auto& c : cases) {
    DuplicationLog log;
    LateFailure failure;
    failure.write = c.write;
    failure.failWaitAt = c.failWaitAt;
    duplicationLog = &log;
    lateFailure = &failure;
    duplicateHandleSeam.replaceForTesting(&failingDuplicateHandle);
    registerWaitSeam.replaceForTesting(&failingRegisterWait);
    pipeWriteSeam.replaceForTesting(&failingPipeWrite);
    // A reply that was written may reach the client before the hang-up.
    const std::string line = client->command("register");
    if (c.write != LateFailure::Write::Works) {
      EXPECT_TRUE(startsWith(line, "hangup ")) << c.what << ": " << line;
    }
    // Once the server listens again, the conversation is over.
    const bool listening = waitUntil([&] { return server_->state() == PipeState::AwaitClient; });
    duplicateHandleSeam.replaceForTesting(nullptr);
    registerWaitSeam.replaceForTesting(nullptr);
    pipeWriteSeam.replaceForTesting(nullptr);
    duplicationLog = nullptr;
    lateFailure = nullptr;
    ASSERT_TRUE(listening) << c.what;

    ASSERT_EQ(3u, log.placed.size()) << c.what;
    EXPECT_EQ(log.placed, log.closed) << c.what;
    for (HANDLE handle : log.placed) {
      EXPECT_TRUE(waitUntil([&] { return !validInProcess(client->process(), handle); }, 2000))
          << c.what;
    }
    EXPECT_EQ(1u, registeredCount()) << c.what;
    EXPECT_TRUE(waitUntil([&] { return server_->recordCount() == 1; }))
        << c.what << ": " << server_->recordCount();
    EXPECT_TRUE(
        waitUntil([&] { return probeHandleCount(GetCurrentProcess()) == handlesBefore; }, 5000))
        << c.what << ": " << probeHandleCount(GetCurrentProcess()) << " handles, " << handlesBefore
        << " before";
  }
  registerClient(client);
  EXPECT_EQ("dump done", client->command("dump"));
  EXPECT_EQ(2u, registeredCount());
}

// What the server relies on in the system thread pool: a wait flagged only
// long-running calls back on a worker thread, so the wait thread serves its
// other waits meanwhile, and a blocking unregistration, from a worker thread
// as in the client-exit callback or from an ordinary thread as in `stop`,
// returns only after that callback has.
struct LongCallback {
  ScopedHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle unregistered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle otherWaitRan{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<int> calls{0};
  std::atomic<bool> returned{false};
  std::atomic<bool> returnedBeforeUnregistration{false};
  HANDLE wait = nullptr;

  static void CALLBACK callback(void* context, BOOLEAN) {
    LongCallback* self = static_cast<LongCallback*>(context);
    if (++self->calls != 1) return;
    SetEvent(self->entered.get());
    WaitForSingleObject(self->release.get(), 10000);
    self->returned = true;
  }
  static void CALLBACK otherCallback(void* context, BOOLEAN) {
    SetEvent(static_cast<LongCallback*>(context)->otherWaitRan.get());
  }
  static DWORD WINAPI unregister(void* context) {
    LongCallback* self = static_cast<LongCallback*>(context);
    UnregisterWaitEx(self->wait, INVALID_HANDLE_VALUE);
    self->returnedBeforeUnregistration = self->returned.load();
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
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(state.entered.get(), 5000));
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
    SetEvent(state.release.get());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(state.unregistered.get(), 5000));
    EXPECT_TRUE(state.returnedBeforeUnregistration);
    UnregisterWaitEx(otherWait, INVALID_HANDLE_VALUE);
    if (thread.isValid()) WaitForSingleObject(thread.get(), 5000);
  }
}

}  // namespace
}  // namespace tavra

namespace tavra {
namespace {

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

struct UnservedRecorder {
  std::atomic<int> calls{0};
  std::atomic<uint32_t> processId{0};
};

void recordUnserved(void* context, ReporterClient* client) {
  UnservedRecorder* recorder = static_cast<UnservedRecorder*>(context);
  recorder->processId = client->processId();
  ++recorder->calls;
}

TEST_F(DumpRequestServerTest, RequestNeverTakenUpIsToldOnceWhenItsRecordGoes) {
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
    UnservedRecorder unserved;
    makeServer(&recordDump, &recorder_);
    server_->setUnservedRequestHook(&recordUnserved, &unserved);
    ASSERT_TRUE(server_->start()) << c.what;
    ChildProcess* client = startClient();
    registerWaitSeam.replaceForTesting(&deafDumpRequestWait);
    registerClient(client);
    registerWaitSeam.replaceForTesting(nullptr);
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
    EXPECT_EQ(c.requests ? 1 : 0, unserved.calls.load()) << c.what;
    if (c.requests) {
      EXPECT_EQ(client->processId(), unserved.processId.load()) << c.what;
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
