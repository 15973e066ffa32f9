// What the server's tests share: a fixture that runs a server in the test's
// own process with real browser processes (the test client) beside it, and
// hooks that record what they saw or hold a crash until the test lets it go.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_SERVER_TEST_FIXTURE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_SERVER_TEST_FIXTURE_H_

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_lock.h"
#include "testing/browser_client/child_process.h"

namespace tavra {

// What the hooks saw. Hooks run on thread-pool threads; the test reads under
// the same lock.
struct Recorder {
  struct Dump {
    uint32_t processId = 0;
    uint32_t threadId = 0;  // as read from the client's registered word
    std::vector<std::pair<std::wstring, std::wstring>> annotations;
    bool viewEmpty = false;
  };

  template <typename T>
  T read(const T& field) {
    ScopedCriticalSection hold(&lock);
    return field;
  }

  CriticalSection lock;
  std::vector<uint32_t> registered;
  std::vector<uint32_t> exited;
  std::vector<uint32_t> hookValues;
  std::vector<Dump> dumps;
  std::vector<RegistrationRefusal> refusals;
  // Processes whose request went unserved.
  std::vector<uint32_t> unserved;
};

// Hooks that record into the Recorder that is their context.
void recordRegistered(void* context, ReporterClient* client);
void recordDump(void* context, ReporterClient* client);
void recordExited(void* context, ReporterClient* client);
void recordHookRequest(void* context, uint32_t value);
void recordRefusal(void* context, const RegistrationRefusal& refusal);
void recordUnserved(void* context, ReporterClient* client);

// Holds a hook until the test lets it go: the hook calls `hold`, the test
// waits for `entered` and then sets `release`; the hook sets `returned` once
// it is done. Lets go when destroyed, also when a test failed half-way.
struct HookGate {
  ~HookGate() { SetEvent(release.get()); }
  // In the hook: tells that it runs and waits for `release`, at most
  // `timeoutMs`.
  void hold(DWORD timeoutMs) {
    SetEvent(entered.get());
    WaitForSingleObject(release.get(), timeoutMs);
  }
  bool wasEntered() const { return WaitForSingleObject(entered.get(), 0) == WAIT_OBJECT_0; }

  ScopedHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> returned{false};
};

// The eleven words after the first token ("registered ...", "info ...").
std::vector<uint32_t> words(const std::string& line);

// Whether `handle` names an object in `process`.
bool validInProcess(HANDLE process, HANDLE handle);

// Whether the number of this process's handles comes back to `before` within
// `timeoutMs`; says both numbers when not.
::testing::AssertionResult handleCountReturnsTo(uint32_t before, DWORD timeoutMs);

class ServerTestFixture : public ::testing::Test {
 protected:
  void TearDown() override;

  std::wstring pipeName() const;

  // Built and started, with every hook recording.
  DumpRequestServer* startServer(ClientHook onDumpRequest = &recordDump,
                                 DWORD conversationTimeoutMs = 0);
  // Built, not started, with every hook recording (refusals and unserved
  // requests too) but the dump hook.
  DumpRequestServer* makeServer(ClientHook onDumpRequest, void* dumpContext);
  // Built, not started, with no hook but these.
  DumpRequestServer* makeServerWithOnly(ClientHook onDumpRequest, void* dumpContext,
                                        ClientHook onClientExited = nullptr);

  ChildProcess* startClient(const std::wstring& switches = L"");
  // Starts the server with every hook recording, and a client that it
  // registers: the thread pool's waits then exist, so that handles counted
  // afterwards stay as they are while nothing happens.
  ChildProcess* startServerWithARegisteredClient();
  // Registers and checks that it worked.
  std::vector<uint32_t> registerClient(ChildProcess* client, const std::string& option = "");
  size_t registeredCount() { return server_->registeredClientCount(); }
  // Whether the server comes to wait for the next client: the conversation
  // before is over.
  bool listening();

  Recorder recorder_;
  std::unique_ptr<DumpRequestServer> server_;
  std::vector<std::unique_ptr<ChildProcess>> clients_;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_SERVER_TEST_FIXTURE_H_
