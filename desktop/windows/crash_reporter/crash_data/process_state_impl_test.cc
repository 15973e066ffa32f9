#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/capture_on_dump_request_test_support.h"
#include "desktop/windows/crash_reporter/crash_data/module_file_facts_test_support.h"
#include "desktop/windows/crash_reporter/crash_data/module_path.h"
#include "desktop/windows/crash_reporter/crash_data/thread_context_test_support.h"
#include "runtime/file_util.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/scoped_temp_dir.h"
#include "runtime/utf_conversion.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/memory_edge.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/text_occurrences.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

constexpr DWORD kWaitMs = testing_support::kCaptureWaitMs;

// The names of the checked registers in the test client's crash line, in
// the order of checkedRegisters().
#if defined(_WIN64)
const char* const kCheckedRegisterNames[kCheckedRegisterCount] = {
    "rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "rsp", "r8",
    "r9",  "r10", "r11", "r12", "r13", "r14", "r15", "rip"};
#else
const char* const kCheckedRegisterNames[kCheckedRegisterCount] = {"eax", "ebx", "ecx", "edx", "esi",
                                                                  "edi", "ebp", "esp", "eip"};
#endif

uint64_t hexNumber(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 16); }

// "key=HEX" pairs of a line such as the test client's crash line.
std::map<std::string, uint64_t> hexFields(const std::string& line) {
  std::map<std::string, uint64_t> fields;
  for (const std::string& token : tokens(line)) {
    const size_t equals = token.find('=');
    if (equals != std::string::npos)
      fields[token.substr(0, equals)] = hexNumber(token.substr(equals + 1));
  }
  return fields;
}

// What the test client says about itself.
struct ClientModule {
  TargetAddress base = 0;
  uint32_t size = 0;
  std::wstring path;
};

bool equalIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Test seams: what the fake calls do, set before the capture and read after
// it (the captured event orders the two threads).
struct FakeCalls {
  DWORD moduleSnapshotError = 0;   // 0: the real call
  int moduleSnapshotFailures = 0;  // how many calls fail before the real one runs
  DWORD threadSnapshotError = 0;
  HANDLE terminateAtModuleSnapshot = nullptr;
  HANDLE terminateAtThreadSnapshot = nullptr;
  int moduleSnapshotCalls = 0;
  int threadSnapshotCalls = 0;
  DWORD memoryInfoError = 0;
  // What each snapshot is made of instead; 0: what was asked for.
  DWORD moduleSnapshotFlags = 0;
  DWORD threadSnapshotFlags = 0;
};
FakeCalls fakes;

HANDLE WINAPI fakeCreateToolhelpSnapshot(DWORD flags, DWORD processId) {
  const bool modules = (flags & TH32CS_SNAPMODULE) != 0;
  (modules ? fakes.moduleSnapshotCalls : fakes.threadSnapshotCalls)++;
  HANDLE terminate = modules ? fakes.terminateAtModuleSnapshot : fakes.terminateAtThreadSnapshot;
  if (terminate != nullptr) {
    TerminateProcess(terminate, 9);
    WaitForSingleObject(terminate, kWaitMs);
  }
  const DWORD error = modules ? fakes.moduleSnapshotError : fakes.threadSnapshotError;
  if (error != 0 && (!modules || fakes.moduleSnapshotCalls <= fakes.moduleSnapshotFailures)) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  const DWORD made = modules ? fakes.moduleSnapshotFlags : fakes.threadSnapshotFlags;
  return CreateToolhelp32Snapshot(made != 0 ? made : flags, processId);
}

BOOL WINAPI fakeGetProcessMemoryInfo(HANDLE, PROCESS_MEMORY_COUNTERS*, DWORD) {
  SetLastError(fakes.memoryInfoError);
  return FALSE;
}

class ProcessStateImplTest : public testing_support::CaptureOnDumpRequestTest {
 protected:
  void SetUp() override {
    fakes = FakeCalls();
    CaptureOnDumpRequestTest::SetUp();
  }

  void TearDown() override {
    CaptureOnDumpRequestTest::TearDown();
    createToolhelpSnapshotSeam.replaceForTesting(nullptr);
    getProcessMemoryInfoSeam.replaceForTesting(nullptr);
  }

  // A crash command: gives back the line that the client's crash handler
  // wrote before it asked for the dump.
  std::string captureCrash(ChildProcess* client, const std::string& command) {
    captureAfter(client, command);
    std::string line;
    EXPECT_TRUE(client->readLine(&line, kWaitMs));
    return line;
  }

  std::vector<ClientModule> clientModules(ChildProcess* client) {
    std::vector<ClientModule> modules;
    const std::vector<std::string> head = tokens(client->command("list-modules"));
    EXPECT_EQ(2u, head.size());
    if (head.size() != 2) return modules;
    const int count = std::atoi(head[1].c_str());
    for (int i = 0; i < count; ++i) {
      std::string line;
      EXPECT_TRUE(client->readLine(&line, kWaitMs));
      std::istringstream in(line);
      std::string word, base, size;
      in >> word >> base >> size;
      ClientModule module;
      module.base = static_cast<TargetAddress>(hexNumber(base));
      module.size = static_cast<uint32_t>(hexNumber(size));
      std::string path;
      std::getline(in >> std::ws, path);
      module.path = utf8ToWide(path);
      modules.push_back(module);
    }
    return modules;
  }

  std::set<uint32_t> clientThreads(ChildProcess* client) {
    std::set<uint32_t> ids;
    const std::vector<std::string> words = tokens(client->command("list-threads"));
    EXPECT_FALSE(words.empty());
    for (size_t i = 1; i < words.size(); ++i)
      ids.insert(std::strtoul(words[i].c_str(), nullptr, 10));
    return ids;
  }

  static std::set<uint32_t> threadIds(const ProcessState& state, size_t from) {
    std::set<uint32_t> ids;
    for (size_t i = from; i < state.threads().size(); ++i)
      ids.insert(state.threads()[i]->threadId());
    return ids;
  }

  // A capture that left a handle behind would have left as many as there
  // were captures; other threads of this process may open or close one or
  // two meanwhile.
  void expectNoHandleLeft() const {
    EXPECT_LT(run_.handleGrowth, kRepeatedCaptures / 2)
        << "after " << kRepeatedCaptures << " captures";
  }

  static constexpr int kRepeatedCaptures = 20;
};

TEST_F(ProcessStateImplTest, CapturesRealCrashesOfEveryKind) {
  struct Case {
    const char* command;
    uint32_t code;
    int priority;
  };
  const Case cases[] = {
      {"crash read 10", EXCEPTION_ACCESS_VIOLATION, 2},
      {"crash write 2000", EXCEPTION_ACCESS_VIOLATION, -2},
      {"crash divide", EXCEPTION_INT_DIVIDE_BY_ZERO, 1},
      {"crash breakpoint", EXCEPTION_BREAKPOINT, -1},
      {"crash raise E0ABC123", 0xE0ABC123, 0},
      {"crash stack-overflow", EXCEPTION_STACK_OVERFLOW, 1},
  };
  run_.repeatedCaptures = kRepeatedCaptures;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ChildProcess* client = startClient();
    ASSERT_EQ(0u, client->command("threads 3").find("threads "));
    ASSERT_EQ("priority " + std::to_string(c.priority),
              client->command("priority " + std::to_string(c.priority)));
    const std::vector<ClientModule> modules = clientModules(client);
    const std::set<uint32_t> threads = clientThreads(client);

    const std::map<std::string, uint64_t> seen = hexFields(captureCrash(client, c.command));
    ASSERT_TRUE(run_.result) << run_.log;
    const ProcessStateImpl& state = *run_.state;
    ASSERT_EQ(c.code, seen.at("code"));
    EXPECT_EQ(c.code, state.exceptionCode());
    EXPECT_EQ(seen.at("address"), state.exceptionAddress());
    EXPECT_EQ(nullptr, state.exceptionName());

    // The crashed thread first, with the registers that the filter saw.
    ASSERT_FALSE(state.threads().empty());
    const ThreadInfo& crashed = *state.threads()[0];
    EXPECT_TRUE(crashed.isCrashed());
    EXPECT_EQ(seen.at("tid"), crashed.threadId());
    EXPECT_EQ(c.priority, crashed.priority());
    const RegisterSet& registers = crashed.registers();
    TargetAddress values[kCheckedRegisterCount];
    checkedRegisters(registers, values);
    for (unsigned i = 0; i < kCheckedRegisterCount; ++i) {
      ASSERT_EQ(1u, seen.count(kCheckedRegisterNames[i])) << kCheckedRegisterNames[i];
      EXPECT_EQ(seen.at(kCheckedRegisterNames[i]), values[i]) << kCheckedRegisterNames[i];
    }
    EXPECT_EQ(seen.at("eflags"), registers.eflags);

    // Every other thread of the client once, and nothing else.
    std::set<uint32_t> others = threads;
    others.erase(seen.at("tid"));
    EXPECT_EQ(others, threadIds(state, 1));
    EXPECT_EQ(threads.size(), state.threads().size());
    for (size_t i = 1; i < state.threads().size(); ++i) {
      EXPECT_FALSE(state.threads()[i]->isCrashed());
    }

    // The modules as the client sees them, the executable as the main one.
    ASSERT_EQ(modules.size(), state.modules().size());
    for (size_t i = 0; i < modules.size(); ++i) {
      EXPECT_EQ(modules[i].base, state.modules()[i]->base()) << wideToUtf8(modules[i].path);
      EXPECT_EQ(modules[i].size, state.modules()[i]->size()) << wideToUtf8(modules[i].path);
    }
    ASSERT_NE(nullptr, state.mainModule());
    EXPECT_EQ(modules[0].base, state.mainModule()->base());
    EXPECT_STREQ("tavra_test_client.exe", state.mainModule()->name());
    EXPECT_STREQ("4.3.2.1", state.mainModule()->fileVersion());

    // The memory of the crashed process is there to be read while it waits.
    EXPECT_TRUE(state.isReadable(stackPointer(registers)));
    EXPECT_FALSE(state.isReadable(0x10));
    std::unique_ptr<MemoryReader> reader = state.createMemoryReader();
    ASSERT_NE(nullptr, reader);
    uint32_t bytesRead = 0;
    EXPECT_NE(nullptr, reader->read(stackPointer(registers), 16, &bytesRead));
    EXPECT_EQ(16u, bytesRead);
    reader.reset();
    expectNoHandleLeft();

    // The process ends with its exception code once it is let go.
    SetEvent(run_.release.get());
    DWORD exitCode = 0;
    EXPECT_TRUE(client->waitForExit(kWaitMs, &exitCode));
    EXPECT_EQ(c.code, exitCode);
  }
}

TEST_F(ProcessStateImplTest, ModulesCarryTheNameVersionAndTimeStampOfTheirFiles) {
  ChildProcess* client = startClient();
  const std::vector<std::string> loaded = tokens(client->command("modules 100"));
  ASSERT_EQ(2u, loaded.size());
  EXPECT_GE(std::atoi(loaded[1].c_str()), 90);
  const std::vector<ClientModule> modules = clientModules(client);
  const std::string threadsReply = client->command("threads 64");
  ASSERT_EQ(0u, threadsReply.find("threads "));
  const std::set<uint32_t> threads = clientThreads(client);
  EXPECT_GE(threads.size(), 65u);

  captureCrash(client, "crash read 0");
  ASSERT_TRUE(run_.result) << run_.log;
  const ProcessStateImpl& state = *run_.state;
  EXPECT_EQ(threads.size(), state.threads().size());
  ASSERT_EQ(modules.size(), state.modules().size());
  for (size_t i = 0; i < modules.size(); ++i) {
    const ModuleInfo& module = *state.modules()[i];
    const std::string path = wideToUtf8(modules[i].path);
    SCOPED_TRACE(path);
    EXPECT_EQ(modules[i].base, module.base());
    EXPECT_EQ(modules[i].size, module.size());
    EXPECT_TRUE(equalIgnoringCase(wideToUtf8(baseName(modules[i].path)), module.name()))
        << module.name();
    testing_support::ModuleHeaders headers;
    ASSERT_TRUE(testing_support::readModuleHeaders(modules[i].path, &headers));
    EXPECT_EQ(headers.timestamp, module.timestamp());
    EXPECT_EQ(headers.codeSize, module.codeSize());
    EXPECT_EQ(testing_support::systemFileVersion(modules[i].path), module.fileVersion());
  }
  EXPECT_EQ(state.modules()[0].get(), state.mainModule());
}

TEST_F(ProcessStateImplTest, TheExecutableIsTheMainModuleInAnyLetterCase) {
  // Started by an upper-case path, the client's loader names its executable
  // so, while the system names the image as it was first mapped: by a client
  // started the usual way, which runs meanwhile.
  startClient();
  std::wstring program = siblingProgramPath(L"tavra_test_client.exe");
  std::transform(program.begin(), program.end(), program.begin(), ::towupper);
  ChildProcess* client = startClient(program);
  const std::vector<ClientModule> modules = clientModules(client);
  ASSERT_FALSE(modules.empty());
  std::wstring imagePath;
  ASSERT_TRUE(getProcessImagePath(client->process(), &imagePath));
  EXPECT_NE(imagePath, modules[0].path);
  EXPECT_EQ(CSTR_EQUAL,
            CompareStringOrdinal(imagePath.c_str(), -1, modules[0].path.c_str(), -1, TRUE));

  captureAfter(client, "dump-raw * * *");
  ASSERT_TRUE(run_.result) << run_.log;
  ASSERT_FALSE(run_.state->modules().empty());
  EXPECT_EQ(run_.state->modules()[0].get(), run_.state->mainModule());
  releaseClient(client);
}

// The exception records of the reporter's width, laid out in this process
// as a crashed client of that width lays them out, and captured from it: an
// exception-pointers word and two pointers of the width, the exception
// address at its place in the record, the whole context. Then each part in
// turn is pointed to where its last byte lies past the end of readable
// memory, which must fail the capture: a part read shorter than its width's
// size, or the exception address read at another offset, would not.
TEST(ProcessStateImplOwnRecordsTest, ReadsTheRecordsOfItsWidthWholeOrNotAtAll) {
  constexpr uint32_t kPage = 4096;
  // What the capture logs on this thread lands in the capture of each case.
  setLogMessageHandler(&captureLogMessage, nullptr);
  // Three pages of stack, then one for the records.
  uint8_t* base = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 4 * kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, base);
  // Memory that is not this test's own, only pointed to, never written.
  const TargetAddress edge = findEndOfReadableMemory();
  ASSERT_NE(0u, edge);

  enum class Cut { kNothing, kPointersWord, kPointers, kExceptionAddress, kContext };
  struct Case {
    const char* what;
    Cut cut;
    const char* logged;  // null: captured
  } cases[] = {
      {"whole records", Cut::kNothing, nullptr},
      {"the exception-pointers word", Cut::kPointersWord,
       "Could not read the exception pointers' address"},
      {"the context pointer", Cut::kPointers, "Could not read the exception pointers at"},
      {"the exception address", Cut::kExceptionAddress, "Could not read the exception record"},
      {"the context", Cut::kContext, "Could not read the exception context"},
  };
  const DWORD code = 0xE0ABC123;
#if defined(_WIN64)
  const TargetAddress exceptionAddress = 0x00007FF612345678ull;
#else
  const TargetAddress exceptionAddress = 0x7E345678;
#endif
  const CONTEXT registers =
      testing_support::distinctContext(testing_support::addressOf(base + kPage));
  // The records, whole, on the last page; CONTEXT 16-byte aligned.
  uint8_t* const records = base + 3 * kPage;
  auto* record = reinterpret_cast<EXCEPTION_RECORD*>(records);
  auto* pointers = reinterpret_cast<EXCEPTION_POINTERS*>(records + 0x100);
  auto* word = reinterpret_cast<TargetAddress*>(records + 0x140);
  auto* context = reinterpret_cast<CONTEXT*>(records + 0x200);
  record->ExceptionCode = code;
  record->ExceptionAddress = reinterpret_cast<void*>(static_cast<uintptr_t>(exceptionAddress));
  *context = registers;
  const uint32_t threadId = GetCurrentThreadId();

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A cut part's address: its last byte is the first unreadable one.
    auto at = [&](Cut part, const void* whole, size_t size) -> TargetAddress {
      return c.cut == part ? edge - size + 1 : testing_support::addressOf(whole);
    };
    pointers->ExceptionRecord = reinterpret_cast<EXCEPTION_RECORD*>(static_cast<uintptr_t>(
        at(Cut::kExceptionAddress, record,
           offsetof(EXCEPTION_RECORD, ExceptionAddress) + sizeof(TargetAddress))));
    pointers->ContextRecord = reinterpret_cast<CONTEXT*>(
        static_cast<uintptr_t>(at(Cut::kContext, context, sizeof(CONTEXT))));
    *word = at(Cut::kPointers, pointers, sizeof(EXCEPTION_POINTERS));

    LogCapture capture;
    ProcessStateImpl state;
    const bool captured =
        state.capture(GetCurrentProcessId(), at(Cut::kPointersWord, word, sizeof(TargetAddress)),
                      testing_support::addressOf(&threadId));
    if (c.logged != nullptr) {
      EXPECT_FALSE(captured);
      EXPECT_EQ(1u, occurrences(capture.text(), c.logged)) << capture.text();
      EXPECT_TRUE(state.threads().empty());
      continue;
    }
    ASSERT_TRUE(captured) << capture.text();
    EXPECT_EQ(code, state.exceptionCode());
    EXPECT_EQ(exceptionAddress, state.exceptionAddress());
    ASSERT_FALSE(state.threads().empty());
    const ThreadInfo& crashed = *state.threads()[0];
    EXPECT_TRUE(crashed.isCrashed());
    EXPECT_EQ(threadId, crashed.threadId());
    testing_support::expectRegistersFrom(registers, crashed.registers());
    // From the stack pointer to the end of its read-write region.
    EXPECT_EQ(3 * kPage, crashed.stackSize());
  }
  setLogMessageHandler(nullptr, nullptr);
  VirtualFree(base, 0, MEM_RELEASE);
}

TEST_F(ProcessStateImplTest, AProcessThatHasGoneIsNotCapturedAndNothingIsLogged) {
  struct Case {
    const char* what;
    bool keepHandle;
  };
  const Case cases[] = {
      // Its id names nothing any more.
      {"no handle left", false},
      // It can still be opened, but it has ended.
      {"a handle still held", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ChildProcess* client = startClient();
    const uint32_t processId = client->processId();
    client->sendLine("exit 0");
    ASSERT_TRUE(client->waitForExit(kWaitMs));
    if (!c.keepHandle) {
      clients_.clear();
      // The server forgets the client, and closes its handle, on its own.
      ASSERT_TRUE(waitUntil([this] { return server_->registeredClientCount() == 0; }, kWaitMs))
          << server_->registeredClientCount();
    }
    LogCapture capture;
    ProcessStateImpl state;
    EXPECT_FALSE(state.capture(processId, 0x1000, 0x1004));
    EXPECT_EQ("", capture.text());
    EXPECT_TRUE(state.modules().empty());
    EXPECT_TRUE(state.threads().empty());
    EXPECT_EQ(nullptr, state.createMemoryReader());
    EXPECT_FALSE(state.isReadable(0x10000));
    clients_.clear();
  }
  LogCapture capture;
  ProcessStateImpl state;
  EXPECT_FALSE(state.capture(0, 0x1000, 0x1004));
  EXPECT_EQ("", capture.text());
}

TEST_F(ProcessStateImplTest, ExceptionThatCannotBeReadWholeFailsTheCapture) {
  struct Case {
    const char* command;
    TargetAddress exceptionPointersAddress;  // 0: the registered one
    const char* logged;
  };
  const Case cases[] = {
      // The registered word itself is unreadable.
      {"dump-raw * * *", 0x10, "Could not read the exception pointers' address"},
      {"dump-raw 10 * *", 0, "Could not read the exception pointers at"},
      // The two pointers asked for, four bytes there.
      {"dump-raw edge * *", 0, "Could not read the exception pointers at"},
      {"dump-raw * 20 *", 0, "Could not read the exception record"},
      // The code is there, the address further on is not.
      {"dump-raw * edge *", 0, "Could not read the exception record"},
      {"dump-raw * * 30", 0, "Could not read the exception context"},
      {"dump-raw * * edge", 0, "Could not read the exception context"},
      {"dump-raw * 0 0", 0, "Could not read the exception record"},
  };
  ChildProcess* client = startClient();
  run_.repeatedCaptures = kRepeatedCaptures;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    run_.exceptionPointersAddress = c.exceptionPointersAddress;
    captureAfter(client, c.command);
    EXPECT_FALSE(run_.result);
    EXPECT_EQ(1u, occurrences(run_.log, c.logged)) << run_.log;
    EXPECT_TRUE(run_.state->threads().empty());
    expectNoHandleLeft();
    EXPECT_EQ(0u, releaseClient(client).find("dump done"));
  }

  // The same client, with records that hold together, is captured.
  run_.exceptionPointersAddress = 0;
  captureAfter(client, "dump-raw * * *");
  EXPECT_TRUE(run_.result) << run_.log;
  const uint32_t code = run_.state->exceptionCode();
  const TargetAddress address = run_.state->exceptionAddress();
  expectNoHandleLeft();
  const std::string reply = releaseClient(client);
  EXPECT_EQ(0xE0000001u, hexFields(reply).at("code"));
  EXPECT_EQ(hexFields(reply).at("code"), code);
  EXPECT_EQ(hexFields(reply).at("address"), address);
}

TEST_F(ProcessStateImplTest, UnreadableCrashedThreadIdIsZeroAndEveryThreadIsCapturedLive) {
  ChildProcess* client = startClient();
  ASSERT_EQ(0u, client->command("threads 2").find("threads "));
  const std::set<uint32_t> threads = clientThreads(client);
  run_.threadIdAddress = 0x10;
  captureCrash(client, "crash raise E0000002");
  ASSERT_TRUE(run_.result) << run_.log;
  EXPECT_EQ(1u, occurrences(run_.log, "Could not read ID of crashed thread")) << run_.log;
  const ProcessStateImpl& state = *run_.state;
  ASSERT_FALSE(state.threads().empty());
  EXPECT_EQ(0u, state.threads()[0]->threadId());
  EXPECT_TRUE(state.threads()[0]->isCrashed());
  // The thread that really crashed is among them.
  EXPECT_EQ(threads, threadIds(state, 1));
}

TEST_F(ProcessStateImplTest, ModuleSnapshotIsRetriedOnlyWhileTheListChanges) {
  struct Case {
    DWORD error;
    int failures;
    int expectedCalls;
    const char* logged;  // null: nothing
  };
  const Case cases[] = {
      {ERROR_BAD_LENGTH, 100, 10, "TH32CS_SNAPMODULE failed, retries_left=0"},
      {ERROR_ACCESS_DENIED, 100, 1, "TH32CS_SNAPMODULE failed, retries_left=9"},
      {ERROR_BAD_LENGTH, 3, 4, nullptr},
      {ERROR_BAD_LENGTH, 9, 10, nullptr},
  };
  createToolhelpSnapshotSeam.replaceForTesting(&fakeCreateToolhelpSnapshot);
  ChildProcess* client = startClient();
  const std::set<uint32_t> threads = clientThreads(client);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.error << " x" << c.failures);
    fakes = FakeCalls();
    fakes.moduleSnapshotError = c.error;
    fakes.moduleSnapshotFailures = c.failures;
    captureAfter(client, "dump-raw * * *");
    EXPECT_TRUE(run_.result) << run_.log;
    EXPECT_EQ(c.expectedCalls, fakes.moduleSnapshotCalls);
    const ProcessStateImpl& state = *run_.state;
    if (c.logged != nullptr) {
      EXPECT_EQ(1u, occurrences(run_.log, c.logged)) << run_.log;
      // The end of the entry is the count, then the system error.
      EXPECT_EQ(1u, occurrences(run_.log, std::string(c.logged) + ":")) << run_.log;
      EXPECT_TRUE(state.modules().empty());
      EXPECT_EQ(nullptr, state.mainModule());
    } else {
      EXPECT_EQ(0u, occurrences(run_.log, "TH32CS_SNAPMODULE")) << run_.log;
      EXPECT_FALSE(state.modules().empty());
      EXPECT_NE(nullptr, state.mainModule());
    }
    // The capture went on to the exception and the threads.
    EXPECT_EQ(0xE0000001u, state.exceptionCode());
    EXPECT_EQ(threads.size(), state.threads().size());
    releaseClient(client);
  }
}

TEST_F(ProcessStateImplTest, FailedThreadSnapshotOrMemoryFiguresAreLoggedAndTolerated) {
  createToolhelpSnapshotSeam.replaceForTesting(&fakeCreateToolhelpSnapshot);
  ChildProcess* client = startClient();
  ASSERT_EQ(0u, client->command("threads 2").find("threads "));
  const std::set<uint32_t> threads = clientThreads(client);

  // The real figures first.
  captureAfter(client, "dump-raw * * *");
  ASSERT_TRUE(run_.result) << run_.log;
  EXPECT_NE(0u, run_.state->workingSetSize());
  EXPECT_GE(run_.state->peakWorkingSetSize(), run_.state->workingSetSize());
  EXPECT_EQ(0u, occurrences(run_.log, "GetProcessMemoryInfo"));
  EXPECT_EQ(threads.size(), run_.state->threads().size());
  releaseClient(client);

  fakes.threadSnapshotError = ERROR_NOT_ENOUGH_MEMORY;
  fakes.memoryInfoError = ERROR_ACCESS_DENIED;
  run_.repeatedCaptures = kRepeatedCaptures;
  getProcessMemoryInfoSeam.replaceForTesting(&fakeGetProcessMemoryInfo);
  captureAfter(client, "dump-raw * * *");
  EXPECT_TRUE(run_.result) << run_.log;
  EXPECT_EQ(1u, occurrences(run_.log, "GetProcessMemoryInfo failed:")) << run_.log;
  EXPECT_EQ(1u, occurrences(run_.log, "TH32CS_SNAPTHREAD failed:")) << run_.log;
  const ProcessStateImpl& state = *run_.state;
  EXPECT_EQ(0u, state.workingSetSize());
  EXPECT_EQ(0u, state.peakWorkingSetSize());
  EXPECT_EQ(0u, state.privateUsage());
  // Only the thread that asked.
  ASSERT_EQ(1u, state.threads().size());
  EXPECT_TRUE(state.threads()[0]->isCrashed());
  EXPECT_FALSE(state.modules().empty());
  expectNoHandleLeft();
  releaseClient(client);
}

TEST_F(ProcessStateImplTest, AProcessThatEndsDuringTheCaptureGivesAPartialOrFailedOne) {
  createToolhelpSnapshotSeam.replaceForTesting(&fakeCreateToolhelpSnapshot);
  struct Case {
    bool atModules;
    bool expectedResult;
  };
  const Case cases[] = {{true, false}, {false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.atModules ? "ends at the module snapshot" : "ends at the thread snapshot");
    ChildProcess* client = startClient();
    ASSERT_EQ(0u, client->command("threads 2").find("threads "));
    fakes = FakeCalls();
    (c.atModules ? fakes.terminateAtModuleSnapshot : fakes.terminateAtThreadSnapshot) =
        client->process();
    captureAfter(client, "crash read 10");
    EXPECT_EQ(c.expectedResult, run_.result) << run_.log;
    EXPECT_NE(WAIT_TIMEOUT, WaitForSingleObject(client->process(), 0));
    if (c.expectedResult) {
      // The crashed thread from its saved context, no other.
      ASSERT_EQ(1u, run_.state->threads().size());
      EXPECT_TRUE(run_.state->threads()[0]->isCrashed());
      EXPECT_EQ(EXCEPTION_ACCESS_VIOLATION, run_.state->exceptionCode());
    }
    SetEvent(run_.release.get());
  }
}

TEST_F(ProcessStateImplTest, SnapshotsWithoutAFirstEntryAreLoggedAndTolerated) {
  struct Case {
    const char* what;
    DWORD moduleSnapshotFlags;
    DWORD threadSnapshotFlags;
    const char* logged;
    bool modules;
    bool otherThreads;
  };
  const Case cases[] = {
      {"a module snapshot of threads only", TH32CS_SNAPTHREAD, 0, ":Module32First failed: ", false,
       true},
      // Its first entry's size field stays as it was set.
      {"a thread snapshot of modules only", 0, TH32CS_SNAPMODULE,
       ":Thread32First failed, te.dwSize=28, min size=16: ", true, false},
  };
  createToolhelpSnapshotSeam.replaceForTesting(&fakeCreateToolhelpSnapshot);
  ChildProcess* client = startClient();
  ASSERT_EQ(0u, client->command("threads 2").find("threads "));
  const std::set<uint32_t> threads = clientThreads(client);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fakes = FakeCalls();
    fakes.moduleSnapshotFlags = c.moduleSnapshotFlags;
    fakes.threadSnapshotFlags = c.threadSnapshotFlags;
    captureAfter(client, "dump-raw * * *");
    EXPECT_TRUE(run_.result) << run_.log;
    // The entry ends in the system's error.
    EXPECT_EQ(1u, occurrences(run_.log, c.logged)) << run_.log;
    const ProcessStateImpl& state = *run_.state;
    EXPECT_EQ(c.modules, !state.modules().empty());
    EXPECT_EQ(c.modules, state.mainModule() != nullptr);
    EXPECT_EQ(c.otherThreads ? threads.size() : 1u, state.threads().size());
    EXPECT_EQ(0xE0000001u, state.exceptionCode());
    releaseClient(client);
  }
}

TEST_F(ProcessStateImplTest, AModuleWhoseFileCannotBeOpenedKeepsWhatTheSnapshotSays) {
  ScopedTempDir dir;
  ASSERT_TRUE(dir.create(L"tavra_moved_client"));
  const std::wstring program = joinPath(dir.path(), L"moved_client.exe");
  ASSERT_TRUE(
      CopyFileW(siblingProgramPath(L"tavra_test_client.exe").c_str(), program.c_str(), TRUE));
  ChildProcess* client = startClient(program);
  const std::vector<ClientModule> modules = clientModules(client);
  ASSERT_FALSE(modules.empty());
  const ClientModule& executable = modules[0];
  ASSERT_EQ(L"moved_client.exe", baseName(executable.path));
  // The running executable moves away: the path that its loader keeps names
  // no file any more.
  ASSERT_TRUE(MoveFileW(program.c_str(), (program + L".moved").c_str()));

  captureAfter(client, "dump-raw * * *");
  ASSERT_TRUE(run_.result) << run_.log;
  const ProcessStateImpl& state = *run_.state;
  ASSERT_EQ(modules.size(), state.modules().size());
  const ModuleInfo& module = *state.modules()[0];
  EXPECT_STREQ("moved_client.exe", module.name());
  EXPECT_EQ(executable.base, module.base());
  EXPECT_EQ(executable.size, module.size());
  EXPECT_STREQ("", module.fileVersion());
  EXPECT_EQ(0u, module.timestamp());
  EXPECT_EQ(0u, module.codeSize());
  // The failed open, without a system error, then the failed mapping with one.
  const std::string openEntry = ":CreateFile failed for " + wideToUtf8(executable.path) + "\n";
  const std::string mappingEntry = ":CreateFileMappingFailed for moved_client.exe: ";
  EXPECT_EQ(1u, occurrences(run_.log, openEntry)) << run_.log;
  EXPECT_EQ(1u, occurrences(run_.log, mappingEntry)) << run_.log;
  EXPECT_LT(run_.log.find(openEntry), run_.log.find(mappingEntry)) << run_.log;
  // The other modules' files are still there.
  EXPECT_EQ(1u, occurrences(run_.log, "CreateFile failed")) << run_.log;

  releaseClient(client);
  EXPECT_TRUE(client->sendLine("exit 0"));
  EXPECT_TRUE(client->waitForExit(kWaitMs));
}

// A process can make its loader name any path for a module. The capture opens
// a disk path in either form, and neither a share nor a device.
TEST_F(ProcessStateImplTest, ModulePathsThatTheProcessRewroteAreOpenedOnlyWhenSafe) {
  ChildProcess* client = startClient();
  const std::vector<ClientModule> modules = clientModules(client);
  // A library with a version resource, whose file the capture reads when it
  // may.
  const ClientModule* library = nullptr;
  for (size_t i = 1; i < modules.size() && library == nullptr; ++i) {
    if (!testing_support::systemFileVersion(modules[i].path).empty()) library = &modules[i];
  }
  ASSERT_NE(nullptr, library);
  const std::string version = testing_support::systemFileVersion(library->path);
  testing_support::ModuleHeaders headers;
  ASSERT_TRUE(testing_support::readModuleHeaders(library->path, &headers));
  const std::string base = hexAddress(library->base);

  const std::string share = "Module path is on a network share and is not the executable: ";
  const std::string notAFile = "Module path is not an ordinary file path: ";
  struct Case {
    const char* what;
    std::wstring path;
    std::string logged;  // empty: nothing about the path
  };
  const Case cases[] = {
      {"a share", L"\\\\127.0.0.1\\share\\plugin.dll", share + "\\\\127.0.0.1\\share\\plugin.dll"},
      {"a share in long form", L"\\\\?\\UNC\\127.0.0.1\\share\\plugin.dll",
       share + "\\\\?\\UNC\\127.0.0.1\\share\\plugin.dll"},
      {"a pipe", L"\\\\.\\pipe\\TavraCrashReporter1",
       notAFile + "\\\\.\\pipe\\TavraCrashReporter1"},
      {"its own file in long form", L"\\\\?\\" + library->path, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ("loader-path done",
              client->command(std::string("loader-path ") + base + " " + wideToUtf8(c.path)));
    captureAfter(client, "dump-raw * * *");
    ASSERT_TRUE(run_.result) << run_.log;
    const ModuleInfo* module = nullptr;
    for (const auto& candidate : run_.state->modules()) {
      if (candidate->base() == library->base) module = candidate.get();
    }
    ASSERT_NE(nullptr, module);
    const bool opened = c.logged.empty();
    if (opened) {
      EXPECT_EQ(0u, occurrences(run_.log, "Module path")) << run_.log;
    } else {
      EXPECT_EQ(1u, occurrences(run_.log, ":" + c.logged + "\n")) << run_.log;
    }
    EXPECT_EQ(0u, occurrences(run_.log, "CreateFile failed")) << run_.log;
    // The loader's base name stays the module's name either way.
    EXPECT_TRUE(equalIgnoringCase(wideToUtf8(baseName(library->path)), module->name()))
        << module->name();
    EXPECT_EQ(opened ? version : "", module->fileVersion());
    EXPECT_EQ(opened ? headers.timestamp : 0u, module->timestamp());
    EXPECT_EQ(opened ? headers.codeSize : 0u, module->codeSize());
    releaseClient(client);
  }
}

}  // namespace
}  // namespace tavra
