// End-to-end test support: one of the browser's processes, played by the
// test client (testing/test_client), which registers with the real reporter,
// sets annotations and crashes for real on command.
//
// An object belongs to the test's thread.
#ifndef TESTING_E2E_BROWSER_PROCESS_H_
#define TESTING_E2E_BROWSER_PROCESS_H_

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "testing/browser_client/child_process.h"

namespace tavra {

// What a crashed browser process printed about its crash: "code", "address",
// the registers in lower case, and "tid", each in hex. The address and the
// general registers are of the process's width, which is this build's.
using CrashLine = std::map<std::string, uint64_t>;

// Reads a "crash code=... address=... eax=... tid=..." line (rax=... in a
// 64-bit process).
bool parseCrashLine(const std::string& line, CrashLine* crash);

// A register as the crash log names it and as the crash line does.
struct RegisterName {
  const char* inLog;
  const char* inLine;
};
// The registers that the crash log of this build's width checks, in their
// order, then the flags: EAX..EIP or RAX..R15, RIP.
const std::vector<RegisterName>& crashRegisterNames();
// The crash line's names of the instruction and stack pointers ("eip",
// "esp" or "rip", "rsp").
const char* instructionPointerName();
const char* stackPointerName();

struct LoadedModule {
  uint64_t base = 0;
  std::string path;
};

class BrowserProcess {
 public:
  // Starts the test client with an annotation table of 16 entries, talking
  // to the reporter of process `reporterPid`.
  bool start(uint32_t reporterPid, const std::wstring& switches = L"");

  // One command and its one-line answer; "" when none came within
  // `timeoutMs`.
  std::string command(const std::string& line, DWORD timeoutMs = 30000);
  // One command whose answer is not read (it may have none).
  bool send(const std::string& line);
  // Sets one annotation (an empty value too) and expects "ok".
  void set(const std::string& name, const std::string& value);

  std::vector<uint32_t> threadIds();
  std::vector<LoadedModule> modules();
  bool registerWithReporter();

  // Crashes the process for real; true when it printed its crash line.
  bool crash(const std::string& kind, const std::string& argument, CrashLine* crash);
  // Readies a crash that comes when the named event `eventName` is set; true
  // when the process waits for it. readCrashLine then reads its crash line.
  bool armCrash(const std::string& eventName, const std::string& kind, const std::string& argument);
  bool readCrashLine(CrashLine* crash, DWORD timeoutMs = 10000);

  bool ended();
  bool waitForExit(DWORD timeoutMs, DWORD* code);
  HANDLE handle() const { return process_.process(); }
  uint32_t processId() const { return process_.processId(); }

 private:
  ChildProcess process_;
};

// Annotations as (name, value), set in their order.
using Annotations = std::vector<std::pair<std::string, std::string>>;

// A new browser process of the reporter `reporterPid` sets `annotations`,
// registers, crashes for real by writing to address 0, and is released
// within `releaseTimeoutMs`: the reporter has handled the crash when this
// returns. `crash`, when given, gets the process's crash line. A step that
// fails fails the test here, fatally: callers that go on afterwards wrap the
// call in ASSERT_NO_FATAL_FAILURE.
void crashBrowserProcess(uint32_t reporterPid, const Annotations& annotations,
                         DWORD releaseTimeoutMs, CrashLine* crash = nullptr);

}  // namespace tavra

#endif  // TESTING_E2E_BROWSER_PROCESS_H_
