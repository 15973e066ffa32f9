#include "desktop/windows/crash_reporter/crash_data/region_queries.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "desktop/windows/crash_reporter/crash_data/thread_info_impl.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/scoped_holder.h"
#include "runtime/seam.h"
#include "runtime/target_width.h"
#include "testing/browser_client/process_figures.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

constexpr uint32_t kPage = 4096;
constexpr uint32_t kTestDeadlineMs = 300;
// What "at once" may take on a loaded machine: far below a deadline.
constexpr DWORD kAtOnceMs = kTestDeadlineMs / 2;

TargetAddress addressOf(const void* pointer) {
  return static_cast<TargetAddress>(reinterpret_cast<uintptr_t>(pointer));
}

struct VirtualMemoryDeleter {
  void operator()(void* memory) const { VirtualFree(memory, 0, MEM_RELEASE); }
};
using ScopedVirtualMemory = std::unique_ptr<void, VirtualMemoryDeleter>;

// The query of a process whose queries hang while `blocking` is set: each
// waits until `release` is set, then asks the system as usual. The thread of
// the last query is noted.
volatile LONG queriesMade = 0;
volatile LONG blocking = 0;
volatile LONG queryThread = 0;
HANDLE release = nullptr;

SIZE_T WINAPI gatedQuery(HANDLE process, const void* address, MEMORY_BASIC_INFORMATION* region,
                         SIZE_T size) {
  InterlockedExchange(&queryThread, static_cast<LONG>(GetCurrentThreadId()));
  InterlockedIncrement(&queriesMade);
  if (InterlockedCompareExchange(&blocking, 0, 0) != 0) WaitForSingleObject(release, INFINITE);
  return VirtualQueryEx(process, address, region, size);
}

uint32_t made() { return static_cast<uint32_t>(InterlockedCompareExchange(&queriesMade, 0, 0)); }

// The thread that made the last query, opened to wait for its end.
HANDLE openQueryThread() {
  const DWORD id = static_cast<DWORD>(InterlockedCompareExchange(&queryThread, 0, 0));
  return id == 0 ? nullptr : OpenThread(SYNCHRONIZE, FALSE, id);
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

class RegionQueriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setLogMessageHandler(&captureLogMessage, nullptr);
    releaseEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(releaseEvent_.isValid());
    release = releaseEvent_.get();
    InterlockedExchange(&queriesMade, 0);
    InterlockedExchange(&blocking, 0);
    ASSERT_EQ(RegionQueries::abandonedWorkers(), 0u);
    stack_.reset(VirtualAlloc(nullptr, 3 * kPage, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(nullptr, stack_);
  }
  // Whatever a test left stuck returns, and frees what it shares, before the
  // event goes.
  void TearDown() override {
    SetEvent(release);
    EXPECT_TRUE(waitUntil([] { return RegionQueries::abandonedWorkers() == 0; }, 10000));
    setLogMessageHandler(nullptr, nullptr);
  }

  // A stack pointer 100 bytes into a private read-write region.
  TargetAddress stackPointer() const { return addressOf(stack_.get()) + 100; }
  static constexpr uint32_t kStackSize = 3 * kPage - 100;

  LogCapture capture_;
  ScopedHandle releaseEvent_;
  ScopedVirtualMemory stack_;
  ScopedSeamReplacement<VirtualQueryExFunction> query_{&virtualQueryExSeam, &gatedQuery};
  ScopedSeamReplacement<uint32_t> deadline_{&regionQueryDeadlineSeam, kTestDeadlineMs};
};

TEST_F(RegionQueriesTest, ABlockedQueryEndsAtItsDeadlineAndTheCaptureAsksNoMore) {
  const std::string line =
      "VirtualQueryEx did not return within 300 ms: the process is taken "
      "as ending, and no more of its regions are queried";
  // How many queries of the capture are answered before the process hangs.
  for (uint32_t answered : {0u, 2u}) {
    SCOPED_TRACE(answered);
    capture_.clear();
    InterlockedExchange(&queriesMade, 0);
    ResetEvent(release);
    ScopedHandle worker;
    const uint32_t handlesBefore = probeHandleCount(GetCurrentProcess());
    DWORD endStart = 0;
    {
      RegionQueries regions(GetCurrentProcess());
      for (uint32_t i = 0; i < answered; ++i) {
        EXPECT_EQ(kStackSize, ThreadInfoImpl::measureStack(&regions, stackPointer()));
      }
      InterlockedExchange(&blocking, 1);
      DWORD start = GetTickCount();
      EXPECT_EQ(0u, ThreadInfoImpl::measureStack(&regions, stackPointer()));
      const DWORD waited = GetTickCount() - start;
      EXPECT_GE(waited + 20, kTestDeadlineMs);
      EXPECT_LT(waited, kTestDeadlineMs + 5000);
      EXPECT_EQ(RegionQueries::abandonedWorkers(), 1u);
      EXPECT_EQ(made(), answered + 1);
      // Not this thread: it made the query and is still stuck in it.
      EXPECT_NE(static_cast<DWORD>(queryThread), GetCurrentThreadId());
      worker.reset(openQueryThread());
      ASSERT_TRUE(worker.isValid());
      const std::string logged = capture_.text();
      EXPECT_EQ(occurrences(logged, line), 1u) << logged;

      // Later queries fail at once, are not made, and log nothing more.
      start = GetTickCount();
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0u, ThreadInfoImpl::measureStack(&regions, stackPointer()));
      }
      EXPECT_LT(GetTickCount() - start, kAtOnceMs);
      EXPECT_EQ(made(), answered + 1);
      EXPECT_EQ(capture_.text(), logged);
      endStart = GetTickCount();
    }
    // The capture ended without waiting for its stuck worker, which still
    // holds its thread and what it shares.
    EXPECT_LT(GetTickCount() - endStart, kAtOnceMs);
    EXPECT_EQ(RegionQueries::abandonedWorkers(), 1u);
    EXPECT_EQ(WaitForSingleObject(worker.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    InterlockedExchange(&blocking, 0);
    SetEvent(release);
    // Once its query returns, it ends and frees them.
    EXPECT_EQ(WaitForSingleObject(worker.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(RegionQueries::abandonedWorkers(), 0u);
    worker.reset();
    EXPECT_TRUE(
        waitUntil([&] { return probeHandleCount(GetCurrentProcess()) == handlesBefore; }, 10000))
        << probeHandleCount(GetCurrentProcess()) << " handles, " << handlesBefore << " before";
  }
}

TEST_F(RegionQueriesTest, NoQueryIsMadeWhileTheBoundOfAbandonedWorkersIsReached) {
  ScopedSeamReplacement<uint32_t> bound(&abandonedRegionWorkerBoundSeam, 2);
  const std::string refusal =
      "VirtualQueryEx not made: 2 region query workers are stuck in earlier queries (at most 2); "
      "no region of this process is queried";
  // A capture whose worker answered before the bound was reached.
  RegionQueries earlier(GetCurrentProcess());
  EXPECT_EQ(kStackSize, ThreadInfoImpl::measureStack(&earlier, stackPointer()));

  InterlockedExchange(&blocking, 1);
  for (uint32_t stuck = 1; stuck <= 2; ++stuck) {
    RegionQueries hung(GetCurrentProcess());
    EXPECT_EQ(0u, ThreadInfoImpl::measureStack(&hung, stackPointer()));
    EXPECT_EQ(RegionQueries::abandonedWorkers(), stuck);
  }
  const uint32_t madeBefore = made();

  struct Case {
    const char* what;
    RegionQueries* regions;
  };
  RegionQueries later(GetCurrentProcess());
  const Case cases[] = {{"a capture that starts now", &later},
                        {"a capture that had a worker already", &earlier}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    capture_.clear();
    const DWORD start = GetTickCount();
    for (int i = 0; i < 2; ++i)
      EXPECT_EQ(0u, ThreadInfoImpl::measureStack(c.regions, stackPointer()));
    EXPECT_LT(GetTickCount() - start, kAtOnceMs);
    EXPECT_EQ(made(), madeBefore);
    EXPECT_EQ(occurrences(capture_.text(), refusal), 1u) << capture_.text();
    // The refusal is the only line: no failed query is logged.
    EXPECT_EQ(occurrences(capture_.text(), "\n"), 1u) << capture_.text();
  }

  // Abandoned workers that return count no more, and queries are made again.
  InterlockedExchange(&blocking, 0);
  SetEvent(release);
  ASSERT_TRUE(waitUntil([] { return RegionQueries::abandonedWorkers() == 0; }, 10000));
  RegionQueries next(GetCurrentProcess());
  EXPECT_EQ(kStackSize, ThreadInfoImpl::measureStack(&next, stackPointer()));
}

TEST_F(RegionQueriesTest, AnAnswerIsTheSystemsOwn) {
  ScopedVirtualMemory reserved(VirtualAlloc(nullptr, 4 * kPage, MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(nullptr, reserved);
  volatile int local = 0;
  struct Case {
    const char* what;
    TargetAddress address;
  };
  const Case cases[] = {
      {"a private read-write region", stackPointer()},
      {"this thread's stack", addressOf(const_cast<int*>(&local))},
      {"a reserved region", addressOf(reserved.get()) + kPage},
      {"code", addressOf(reinterpret_cast<const void*>(&gatedQuery))},
      {"a kernel address", 0xFFFFF000},
  };
  ScopedHandle worker;
  {
    RegionQueries regions(GetCurrentProcess());
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      MEMORY_BASIC_INFORMATION expected;
      std::memset(&expected, 0, sizeof(expected));
      SetLastError(0);
      const SIZE_T expectedResult =
          VirtualQueryEx(GetCurrentProcess(), reinterpret_cast<const void*>(c.address), &expected,
                         sizeof(expected));
      const DWORD expectedError = expectedResult == 0 ? GetLastError() : 0;

      MEMORY_BASIC_INFORMATION region;
      std::memset(&region, 0xCC, sizeof(region));
      SIZE_T result = 1234;
      SetLastError(0);
      ASSERT_TRUE(regions.query(c.address, &region, &result));
      EXPECT_EQ(result, expectedResult);
      if (expectedResult == 0) {
        EXPECT_EQ(GetLastError(), expectedError);
      } else {
        EXPECT_EQ(0, std::memcmp(&region, &expected, sizeof(region)));
      }
    }
    EXPECT_EQ(made(), sizeof(cases) / sizeof(cases[0]));
    worker.reset(openQueryThread());
    ASSERT_TRUE(worker.isValid());
    EXPECT_NE(GetThreadId(worker.get()), GetCurrentThreadId());
  }
  // The capture's end has ended its worker.
  EXPECT_EQ(WaitForSingleObject(worker.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(capture_.text(), "");
}

TEST_F(RegionQueriesTest, AProcessHandleThatCannotBeCopiedGivesNoQuery) {
  RegionQueries regions(nullptr);
  EXPECT_EQ(0u, ThreadInfoImpl::measureStack(&regions, stackPointer()));
  const std::string logged = capture_.text();
  EXPECT_NE(std::string::npos, logged.find(":DuplicateHandle failed for the region query worker: "))
      << logged;
  EXPECT_EQ(0u, ThreadInfoImpl::measureStack(&regions, stackPointer()));
  EXPECT_EQ(capture_.text(), logged);
  EXPECT_EQ(made(), 0u);
}

}  // namespace
}  // namespace tavra
