#include "desktop/windows/crash_reporter/upload/deadline_task.h"

#include <new>

#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

constexpr LONG kRunning = 0;
constexpr LONG kDone = 1;
constexpr LONG kAbandoned = 2;

// Threads abandoned at their deadline and still running, process-wide.
volatile LONG abandonedCount = 0;

}  // namespace

Seam<uint32_t> abandonedDeadlineThreadBoundSeam(kMaxAbandonedDeadlineThreads);

DWORD WINAPI DeadlineTask::threadMain(void* parameter) {
  // The thread's own reference, released when run() is done.
  std::unique_ptr<std::shared_ptr<DeadlineTask>> task(
      static_cast<std::shared_ptr<DeadlineTask>*>(parameter));
  DeadlineTask* const self = task->get();
  self->run();
  // A caller that gave up on this thread counted it; it is gone now.
  if (InterlockedCompareExchange(&self->state_, kDone, kRunning) == kAbandoned) {
    InterlockedDecrement(&abandonedCount);
  }
  return 0;
}

DeadlineResult DeadlineTask::runWithin(const std::shared_ptr<DeadlineTask>& task,
                                       uint32_t timeoutMs) {
  // Checked before the start, so that the count may pass the bound only by
  // the waits that were already under way when it was reached.
  if (abandonedThreads() >= abandonedDeadlineThreadBoundSeam.get()) {
    return DeadlineResult::BoundReached;
  }
  std::unique_ptr<std::shared_ptr<DeadlineTask>> threadReference(
      new (std::nothrow) std::shared_ptr<DeadlineTask>(task));
  ScopedHandle thread;
  if (threadReference) {
    thread.reset(CreateThread(nullptr, 0, threadMain, threadReference.get(), 0, nullptr));
  }
  // Without a thread of its own the work could not be cut short, and some
  // of its calls may block for good: it is not done at all.
  if (!thread.isValid()) return DeadlineResult::NoThread;
  threadReference.release();  // Now the thread's.
  if (WaitForSingleObject(thread.get(), timeoutMs) == WAIT_OBJECT_0) return DeadlineResult::Done;
  // Counted first, so that a thread that ends right after it was marked
  // abandoned never takes the count below zero.
  InterlockedIncrement(&abandonedCount);
  if (InterlockedCompareExchange(&task->state_, kAbandoned, kRunning) != kRunning) {
    // run() returned just as the deadline passed: its results are there.
    InterlockedDecrement(&abandonedCount);
    return DeadlineResult::Done;
  }
  return DeadlineResult::DeadlinePassed;
}

uint32_t DeadlineTask::abandonedThreads() {
  return static_cast<uint32_t>(InterlockedCompareExchange(&abandonedCount, 0, 0));
}

}  // namespace tavra
