// Test support: captures of real crashed test clients, made as the reporter
// makes them. A dump-request server of the test's own process runs the
// capture in its dump-request hook, on the server's wait thread, then keeps
// the client waiting in its crash handler until the test has looked at the
// snapshot and lets it go.
//
// Threads: the test's thread sets a run up and reads it once the captured
// event is set; the hook writes it before it sets that event.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CAPTURE_ON_DUMP_REQUEST_TEST_SUPPORT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CAPTURE_ON_DUMP_REQUEST_TEST_SUPPORT_H_

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"
#include "runtime/target_width.h"
#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/scoped_holder.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/browser_client/process_figures.h"

namespace tavra {
namespace testing_support {

constexpr DWORD kCaptureWaitMs = 30000;

// One capture and what the test asked of it.
struct CaptureRun {
  // Set by the test; zero means the client's registered address.
  TargetAddress exceptionPointersAddress = 0;
  TargetAddress threadIdAddress = 0;
  // Captures made and destroyed before the one that is kept, to count the
  // handles that they leave behind.
  int repeatedCaptures = 0;

  // Set by the hook.
  std::unique_ptr<ProcessStateImpl> state;
  bool result = false;
  // What the kept capture logged.
  std::string log;
  int handleGrowth = 0;

  ScopedHandle captured{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// The dump-request hook; `context` is the CaptureRun.
inline void captureOnDumpRequest(void* context, ReporterClient* client) {
  CaptureRun* run = static_cast<CaptureRun*>(context);
  const TargetAddress exceptionPointersAddress = run->exceptionPointersAddress != 0
                                                     ? run->exceptionPointersAddress
                                                     : client->exceptionPointersAddress();
  const TargetAddress threadIdAddress =
      run->threadIdAddress != 0 ? run->threadIdAddress : client->threadIdAddress();
  const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());
  for (int i = 0; i < run->repeatedCaptures; ++i) {
    LogCapture quiet;
    ProcessStateImpl state;
    state.capture(client->processId(), exceptionPointersAddress, threadIdAddress);
  }
  run->handleGrowth =
      static_cast<int>(probeHandleCount(GetCurrentProcess())) - static_cast<int>(handlesBefore);
  LogCapture capture;
  run->state = std::make_unique<ProcessStateImpl>();
  run->result = run->state->capture(client->processId(), exceptionPointersAddress, threadIdAddress);
  run->log = capture.text();
  SetEvent(run->captured.get());
  WaitForSingleObject(run->release.get(), kCaptureWaitMs);
  ResetEvent(run->release.get());
}

// A dump-request server whose hook captures, and the test clients that
// register with it. Log messages go to the capture of the thread that logs.
class CaptureOnDumpRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setLogMessageHandler(&captureLogMessage, nullptr);
    server_ = std::make_unique<DumpRequestServer>(reporterPipeName(GetCurrentProcessId()), nullptr,
                                                  nullptr, nullptr, &captureOnDumpRequest, &run_,
                                                  nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(server_->start());
  }

  void TearDown() override {
    SetEvent(run_.release.get());
    for (auto& client : clients_) client->terminate();
    server_->stop();
    setLogMessageHandler(nullptr, nullptr);
  }

  // A registered test client.
  ChildProcess* startClient(
      const std::wstring& program = siblingProgramPath(L"tavra_test_client.exe")) {
    clients_.push_back(std::make_unique<ChildProcess>());
    ChildProcess* client = clients_.back().get();
    EXPECT_TRUE(
        client->start(program, L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId())));
    const std::string reply = client->command("register");
    EXPECT_EQ(0u, reply.find("registered ")) << reply;
    return client;
  }

  // Sends a command that ends in a dump request and waits for the capture.
  void captureAfter(ChildProcess* client, const std::string& command) {
    ResetEvent(run_.captured.get());
    EXPECT_TRUE(client->sendLine(command));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(run_.captured.get(), kCaptureWaitMs)) << command;
  }

  // Lets the client go on after its capture; a `dump-raw` client answers.
  std::string releaseClient(ChildProcess* client) {
    SetEvent(run_.release.get());
    std::string line;
    client->readLine(&line, kCaptureWaitMs);
    return line;
  }

  CaptureRun run_;
  std::unique_ptr<DumpRequestServer> server_;
  std::vector<std::unique_ptr<ChildProcess>> clients_;
};

}  // namespace testing_support
}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CAPTURE_ON_DUMP_REQUEST_TEST_SUPPORT_H_
