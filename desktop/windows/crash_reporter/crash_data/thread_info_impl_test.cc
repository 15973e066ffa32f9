#include "desktop/windows/crash_reporter/crash_data/thread_info_impl.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/scoped_holder.h"
#include "desktop/windows/crash_reporter/crash_data/thread_context_test_support.h"
#include "testing/browser_client/child_process.h"

namespace tavra {
namespace {

using testing_support::addressOf;
using testing_support::contextStackPointer;
using testing_support::distinctContext;
using testing_support::expectRegistersFrom;
using testing_support::kLiveContextFlags;

constexpr uint32_t kPage = 4096;
// Thread ids are multiples of four: no thread ever has this one.
constexpr uint32_t kMissingThreadId = 0xFFFFFFF1;
#if defined(_WIN64)
// Above every address that a process can use.
constexpr TargetAddress kKernelAddress = 0xFFFFF80000001000ull;
#else
constexpr TargetAddress kKernelAddress = 0xFFFFF000;
#endif

// Memory from VirtualAlloc, released once.
struct VirtualMemoryDeleter {
  void operator()(void* memory) const { VirtualFree(memory, 0, MEM_RELEASE); }
};
using ScopedVirtualMemory = std::unique_ptr<void, VirtualMemoryDeleter>;

// The sanity-check entry that measureStack should log for `stackPointer`,
// from the region as this process sees it.
std::string sanityCheckEntry(TargetAddress stackPointer) {
  MEMORY_BASIC_INFORMATION region = {};
  EXPECT_EQ(sizeof(region),
            VirtualQuery(reinterpret_cast<const void*>(static_cast<uintptr_t>(stackPointer)),
                         &region, sizeof(region)));
  return "Sanity checks failed, state=" + std::to_string(region.State) +
         ", type=" + std::to_string(region.Type) + ", protect=" + std::to_string(region.Protect) +
         ", sp=" + std::to_string(stackPointer) +
         ", base=" + std::to_string(addressOf(region.BaseAddress)) +
         ", size=" + std::to_string(region.RegionSize) + "\n";
}

// A thread that blocks on an event until the test lets it go, with a given
// priority and a 256 KiB stack.
class BlockedThread {
 public:
  static constexpr SIZE_T kStackReserve = 256 * 1024;

  explicit BlockedThread(int priority) : release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    started_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    thread_.reset(CreateThread(nullptr, kStackReserve, &BlockedThread::run, this,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, &id_));
    if (thread_.isValid()) {
      SetThreadPriority(thread_.get(), priority);
      WaitForSingleObject(started_.get(), INFINITE);
    }
  }
  ~BlockedThread() { finish(); }

  // Lets the thread end and waits for it.
  void finish() {
    if (!thread_.isValid()) return;
    SetEvent(release_.get());
    WaitForSingleObject(thread_.get(), INFINITE);
  }

  bool isValid() const { return thread_.isValid(); }
  HANDLE handle() const { return thread_.get(); }
  uint32_t id() const { return id_; }

 private:
  static DWORD WINAPI run(void* context) {
    BlockedThread* self = static_cast<BlockedThread*>(context);
    SetEvent(self->started_.get());
    WaitForSingleObject(self->release_.get(), INFINITE);
    return 0;
  }

  ScopedHandle release_;
  ScopedHandle started_;
  ScopedHandle thread_;
  DWORD id_ = 0;
};

// The capture is the message handler, as in the reporter: what the thread
// under test logs lands in `capture_`.
class ThreadInfoImplTest : public ::testing::Test {
 protected:
  void SetUp() override { setLogMessageHandler(&captureLogMessage, nullptr); }
  void TearDown() override { setLogMessageHandler(nullptr, nullptr); }

  bool logged(const std::string& text) const {
    return capture_.text().find(text) != std::string::npos;
  }

  LogCapture capture_;
  // The region queries of this process, as one capture makes them.
  RegionQueries regions_{GetCurrentProcess()};
};

TEST_F(ThreadInfoImplTest, StackSizeIsTheRestOfAPrivateReadWriteRegion) {
  ScopedVirtualMemory memory(VirtualAlloc(nullptr, 3 * kPage, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, memory);
  const TargetAddress base = addressOf(memory.get());
  struct Case {
    uint32_t offset;
    uint32_t size;
  };
  const Case cases[] = {{0, 3 * kPage}, {100, 3 * kPage - 100}, {3 * kPage - 1, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.size, ThreadInfoImpl::measureStack(&regions_, base + c.offset)) << c.offset;
  }
  EXPECT_EQ("", capture_.text());
}

TEST_F(ThreadInfoImplTest, StackPointerOutsideAStackGivesZeroAndTheSanityCheckEntry) {
  ScopedVirtualMemory guard(
      VirtualAlloc(nullptr, 2 * kPage, MEM_COMMIT, PAGE_READWRITE | PAGE_GUARD));
  ScopedVirtualMemory readOnly(VirtualAlloc(nullptr, kPage, MEM_COMMIT, PAGE_READONLY));
  ScopedVirtualMemory executable(VirtualAlloc(nullptr, kPage, MEM_COMMIT, PAGE_EXECUTE_READWRITE));
  ScopedVirtualMemory reserved(VirtualAlloc(nullptr, kPage, MEM_RESERVE, PAGE_READWRITE));
  ScopedHandle section(
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 2 * kPage, nullptr));
  ASSERT_TRUE(section.isValid());
  ScopedMappedView view(MapViewOfFile(section.get(), FILE_MAP_WRITE, 0, 0, 2 * kPage));
  ASSERT_TRUE(guard && readOnly && executable && reserved && view.isValid());
  static int writableImageData = 1;

  struct Case {
    const char* what;
    TargetAddress stackPointer;
  };
  const Case cases[] = {
      {"guard page", addressOf(guard.get()) + 16},
      {"read-only", addressOf(readOnly.get()) + 16},
      {"execute-read-write", addressOf(executable.get()) + 16},
      {"reserved", addressOf(reserved.get()) + 16},
      {"mapped view", addressOf(view.get()) + 16},
      {"image code", addressOf(reinterpret_cast<const void*>(&distinctContext))},
      {"image data", addressOf(&writableImageData)},
  };
  for (const Case& c : cases) {
    const std::string expected = sanityCheckEntry(c.stackPointer);
    const size_t before = capture_.text().size();
    EXPECT_EQ(0u, ThreadInfoImpl::measureStack(&regions_, c.stackPointer)) << c.what;
    const std::string entry = capture_.text().substr(before);
    EXPECT_NE(std::string::npos, entry.find("thread_info_impl.cc:")) << c.what;
    EXPECT_EQ(expected, entry.substr(entry.find(':', entry.find(':') + 1) + 1)) << c.what;
  }
}

TEST_F(ThreadInfoImplTest, AFailedQueryGivesZeroAndItsResult) {
  // A handle to an object that is no process.
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event.isValid());
  struct Case {
    const char* what;
    HANDLE process;
    TargetAddress stackPointer;
  };
  const Case cases[] = {
      {"kernel address", GetCurrentProcess(), kKernelAddress},
      {"not a process", event.get(), addressOf(&cases)},
  };
  for (const Case& c : cases) {
    const size_t before = capture_.text().size();
    RegionQueries regions(c.process);
    EXPECT_EQ(0u, ThreadInfoImpl::measureStack(&regions, c.stackPointer)) << c.what;
    const std::string entry = capture_.text().substr(before);
    // The record's size is the one of the reporter's width: 28 or 48 bytes.
    const std::string expected = ":VirtualQueryEx failed, result=0, expected=" +
                                 std::to_string(sizeof(MEMORY_BASIC_INFORMATION)) + ": ";
    EXPECT_NE(std::string::npos, entry.find(expected)) << c.what << ": " << entry;
    // The system's error follows.
    EXPECT_NE(std::string::npos, entry.find("(0x")) << entry;
  }
}

TEST_F(ThreadInfoImplTest, ARealStackReachesUpToItsBase) {
  volatile int local = 0;
  const TargetAddress stackPointer = addressOf(const_cast<int*>(&local));
  const TargetAddress stackBase = testing_support::currentStackBase();
  const uint32_t size = ThreadInfoImpl::measureStack(&regions_, stackPointer);
  EXPECT_EQ(stackBase - stackPointer, size);
  EXPECT_EQ("", capture_.text());
}

TEST_F(ThreadInfoImplTest, LiveCaptureOfABlockedThread) {
  BlockedThread thread(THREAD_PRIORITY_LOWEST);
  ASSERT_TRUE(thread.isValid());
  ThreadInfoImpl info(thread.id(), false);
  // The thread may not have reached its wait yet: held still, it has the same
  // registers for the capture and for the read here. It goes on before any
  // assertion can end the test, or its end would never come.
  ASSERT_NE(static_cast<DWORD>(-1), SuspendThread(thread.handle()));
  const bool captured = info.captureLive(GetCurrentProcess(), &regions_);
  CONTEXT context;
  std::memset(&context, 0, sizeof(context));
  context.ContextFlags = kLiveContextFlags;
  const bool read = GetThreadContext(thread.handle(), &context) != FALSE;
  ResumeThread(thread.handle());
  ASSERT_TRUE(captured);
  ASSERT_TRUE(read);
  expectRegistersFrom(context, info.registers());

  EXPECT_EQ(-2, info.priority());
  EXPECT_EQ(thread.id(), info.threadId());
  EXPECT_FALSE(info.isCrashed());
  EXPECT_GT(info.stackSize(), 0u);
  EXPECT_LE(info.stackSize(), BlockedThread::kStackReserve);
  EXPECT_EQ(ThreadInfoImpl::measureStack(&regions_, contextStackPointer(context)),
            info.stackSize());
  EXPECT_EQ("", capture_.text());
}

TEST_F(ThreadInfoImplTest, LiveCaptureFailsForAThreadThatCannotBeOpened) {
  ThreadInfoImpl info(kMissingThreadId, false);
  EXPECT_FALSE(info.captureLive(GetCurrentProcess(), &regions_));
  EXPECT_TRUE(logged(":OpenThread failed: ")) << capture_.text();
  EXPECT_EQ(0u, info.stackSize());
}

TEST_F(ThreadInfoImplTest, LiveCaptureFailsForAThreadWhoseContextCannotBeRead) {
  // A thread that has ended can still be opened while a handle holds its id,
  // but it has no context left to read.
  BlockedThread thread(THREAD_PRIORITY_NORMAL);
  ASSERT_TRUE(thread.isValid());
  thread.finish();
  ThreadInfoImpl info(thread.id(), false);
  EXPECT_FALSE(info.captureLive(GetCurrentProcess(), &regions_));
  EXPECT_TRUE(logged(":GetThreadContext failed: ")) << capture_.text();
  EXPECT_FALSE(logged("OpenThread failed")) << capture_.text();
}

TEST_F(ThreadInfoImplTest, CrashedThreadThatIsGoneKeepsItsSavedContext) {
  ScopedVirtualMemory stack(VirtualAlloc(nullptr, 4 * kPage, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, stack);
  const CONTEXT context = distinctContext(addressOf(stack.get()) + 3 * kPage);
  ThreadInfoImpl info(kMissingThreadId, true);
  EXPECT_TRUE(info.captureFromContext(GetCurrentProcess(), context, &regions_));
  expectRegistersFrom(context, info.registers());
  EXPECT_EQ(testing_support::kDistinctStatusWord, info.registers().fpuStatusWord);
  EXPECT_EQ(testing_support::kDistinctControlWord, info.registers().fpuControlWord);
  // The x87 registers packed, 10 bytes each, whatever the context's slots.
  for (int i = 0; i < 80; ++i) {
    EXPECT_EQ(testing_support::kFirstX87Byte + i, info.registers().fpuRegisters[i]) << i;
  }
  EXPECT_EQ(0, info.priority());
  EXPECT_TRUE(info.isCrashed());
  // Measured all the same.
  EXPECT_EQ(kPage, info.stackSize());
  EXPECT_TRUE(logged(":OpenThread failed: ")) << capture_.text();
}

TEST_F(ThreadInfoImplTest, CrashedThreadThatStillRunsGivesItsPriority) {
  BlockedThread thread(THREAD_PRIORITY_ABOVE_NORMAL);
  ASSERT_TRUE(thread.isValid());
  // A stack pointer in no stack: registers and priority still come through.
  ScopedVirtualMemory readOnly(VirtualAlloc(nullptr, kPage, MEM_COMMIT, PAGE_READONLY));
  ASSERT_NE(nullptr, readOnly);
  const CONTEXT context = distinctContext(addressOf(readOnly.get()));
  ThreadInfoImpl info(thread.id(), true);
  EXPECT_TRUE(info.captureFromContext(GetCurrentProcess(), context, &regions_));
  expectRegistersFrom(context, info.registers());
  EXPECT_EQ(THREAD_PRIORITY_ABOVE_NORMAL, info.priority());
  EXPECT_EQ(0u, info.stackSize());
  EXPECT_TRUE(logged(":Sanity checks failed, ")) << capture_.text();
  EXPECT_FALSE(logged("OpenThread failed")) << capture_.text();
}

// A thread id that the system handed to a thread of another process: its
// registers and priority are that other thread's, and stay out of the report.
TEST_F(ThreadInfoImplTest, AThreadOfAnotherProcessIsNotCaptured) {
  ChildProcess child;
  ASSERT_TRUE(child.start(siblingProgramPath(L"tavra_test_client.exe"),
                          L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId())));
  // The child's command thread, at a priority that 0 cannot be mistaken for.
  ASSERT_EQ("priority 2", child.command("priority 2"));
  std::istringstream info(child.command("info"));
  std::vector<std::string> words{std::istream_iterator<std::string>(info), {}};
  ASSERT_EQ(14u, words.size());
  const uint32_t childThreadId = std::stoul(words[12]);
  ScopedHandle childProcess(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, child.processId()));
  ASSERT_TRUE(childProcess.isValid());
  BlockedThread ownThread(THREAD_PRIORITY_HIGHEST);
  ASSERT_TRUE(ownThread.isValid());

  struct Case {
    const char* what;
    uint32_t threadId;
    HANDLE process;
    uint32_t owner;
    uint32_t processId;
  };
  const Case cases[] = {
      {"this process's thread, taken for the child's", ownThread.id(), childProcess.get(),
       GetCurrentProcessId(), child.processId()},
      {"the child's thread, taken for this process's", childThreadId, GetCurrentProcess(),
       child.processId(), GetCurrentProcessId()},
  };
  ScopedVirtualMemory stack(VirtualAlloc(nullptr, kPage, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(nullptr, stack);
  const CONTEXT context = distinctContext(addressOf(stack.get()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string entry = ":Thread " + std::to_string(c.threadId) + " belongs to process " +
                              std::to_string(c.owner) + ", not " + std::to_string(c.processId) +
                              "\n";
    {
      LogCapture capture;
      ThreadInfoImpl live(c.threadId, false);
      RegionQueries regions(c.process);
      EXPECT_FALSE(live.captureLive(c.process, &regions));
      EXPECT_EQ(0u, instructionPointer(live.registers()));
      EXPECT_EQ(0u, live.stackSize());
      EXPECT_NE(std::string::npos, capture.text().find(entry)) << capture.text();
      EXPECT_EQ(std::string::npos, capture.text().find("GetThreadContext")) << capture.text();
    }
    {
      LogCapture capture;
      ThreadInfoImpl crashed(c.threadId, true);
      RegionQueries regions(c.process);
      EXPECT_TRUE(crashed.captureFromContext(c.process, context, &regions));
      expectRegistersFrom(context, crashed.registers());
      EXPECT_EQ(0, crashed.priority());
      EXPECT_NE(std::string::npos, capture.text().find(entry)) << capture.text();
    }
  }
}

}  // namespace
}  // namespace tavra
