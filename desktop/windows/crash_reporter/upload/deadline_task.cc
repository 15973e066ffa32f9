#include "desktop/windows/crash_reporter/upload/deadline_task.h"

#include <windows.h>

#include <new>

#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

DWORD WINAPI runTask(void* parameter) {
  // The thread's own reference, released when run() is done.
  std::unique_ptr<std::shared_ptr<DeadlineTask>> task(
      static_cast<std::shared_ptr<DeadlineTask>*>(parameter));
  (*task)->run();
  return 0;
}

}  // namespace

bool DeadlineTask::runWithin(const std::shared_ptr<DeadlineTask>& task, uint32_t timeoutMs) {
  std::unique_ptr<std::shared_ptr<DeadlineTask>> threadReference(
      new (std::nothrow) std::shared_ptr<DeadlineTask>(task));
  ScopedHandle thread;
  if (threadReference) {
    thread.reset(CreateThread(nullptr, 0, runTask, threadReference.get(), 0, nullptr));
  }
  // Without a thread of its own the work could not be cut short, and some
  // of its calls may block for good: it is not done at all, as when the
  // deadline passes.
  if (!thread.isValid()) return false;
  threadReference.release();  // Now the thread's.
  return WaitForSingleObject(thread.get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace tavra
