#include "testing/browser_client/crash_handler.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "runtime/scoped_holder.h"
#include "runtime/target_width.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

constexpr DWORD kWaitMs = 30000;

// What the reporter's side saw of one dump request: the two registered words,
// read while the client waits in its crash handler.
struct Request {
  ScopedHandle arrived{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  ScopedHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  uint32_t threadId = 0;
  uint32_t exceptionCode = 0;
};

// A value of type T at `address` in `process`; 0 when it cannot be read.
template <typename T>
T readValue(HANDLE process, TargetAddress address) {
  T value = 0;
  SIZE_T count = 0;
  ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), &value,
                    sizeof(value), &count);
  return value;
}

void holdDumpRequest(void* context, ReporterClient* client) {
  Request* request = static_cast<Request*>(context);
  // The thread id is a 32-bit word in either width.
  request->threadId = readValue<uint32_t>(client->process(), client->threadIdAddress());
  // The word holds the EXCEPTION_POINTERS address, an address of the client's
  // width; its first member is the exception record's address, whose first
  // word is the code.
  const TargetAddress pointers =
      readValue<TargetAddress>(client->process(), client->exceptionPointersAddress());
  const TargetAddress record = readValue<TargetAddress>(client->process(), pointers);
  request->exceptionCode = readValue<uint32_t>(client->process(), record);
  SetEvent(request->arrived.get());
  WaitForSingleObject(request->release.get(), kWaitMs);
}

TEST(CrashHandlerTest, HandsTheCrashOverThenEndsWithTheExceptionCode) {
  struct Case {
    const char* what;
    const wchar_t* switches;
    // Whether the hook lets the client go at once, or holds it past its
    // time-out.
    bool holdPastTimeout;
  };
  const Case cases[] = {
      {"dump-done comes", L"", false},
      {"dump-done never comes in time", L" --dump-timeout=200", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Request request;
    if (!c.holdPastTimeout) SetEvent(request.release.get());
    DumpRequestServer server(reporterPipeName(GetCurrentProcessId()), nullptr, nullptr, nullptr,
                             &holdDumpRequest, &request, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(server.start());
    ChildProcess client;
    ASSERT_TRUE(
        client.start(siblingProgramPath(L"tavra_test_client.exe"),
                     L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId()) + c.switches));
    // Before a registration there is nobody to hand a crash to.
    EXPECT_EQ("unregistered", client.command("crash raise E0000DEF"));
    ASSERT_EQ(0u, client.command("register").find("registered "));

    ASSERT_TRUE(client.sendLine("crash raise E0000ABC"));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(request.arrived.get(), kWaitMs));
    std::string line;
    ASSERT_TRUE(client.readLine(&line, kWaitMs));
    EXPECT_EQ(0u, line.find("crash code=E0000ABC ")) << line;
    EXPECT_NE(std::string::npos, line.find(" tid=")) << line;
    EXPECT_EQ(0xE0000ABCu, request.exceptionCode);
    EXPECT_NE(std::string::npos, line.find(" tid=" + hex8(request.threadId))) << line;

    // Held past its time-out, the client ends on its own while the hook
    // still runs (it would hold it for far longer than this wait).
    DWORD exitCode = 0;
    EXPECT_TRUE(client.waitForExit(kWaitMs / 3, &exitCode));
    EXPECT_EQ(0xE0000ABCu, exitCode);
    SetEvent(request.release.get());
    server.stop();
  }
}

}  // namespace
}  // namespace tavra
