#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"

namespace tavra {

PendingWork::PendingWork() = default;
PendingWork::~PendingWork() = default;

bool PendingWork::createDoneEvent() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return false;
  doneEvent_.reset(event);
  return true;
}

// Each step takes the lock, so that the event changes in the same order as
// the count: were the reset of a step from zero to one made outside it, the
// `set` of a `leave` that brought the count to zero just before could land
// after it, and the event would say idle while work runs. A crash enters and
// leaves only a few times, so the lock costs nothing worth avoiding.
void PendingWork::enter() {
  ScopedCriticalSection hold(&lock_);
  if (InterlockedIncrement(&count_) == 1 && doneEvent_.isValid()) ResetEvent(doneEvent_.get());
}

void PendingWork::leave() {
  ScopedCriticalSection hold(&lock_);
  if (InterlockedDecrement(&count_) == 0 && doneEvent_.isValid()) SetEvent(doneEvent_.get());
}

bool PendingWork::waitUntilIdle() {
  if (!doneEvent_.isValid()) return false;
  for (;;) {
    if (WaitForSingleObject(doneEvent_.get(), INFINITE) != WAIT_OBJECT_0) return false;
    // Work that began since the event was set may not have reset it yet.
    // Under the lock the count cannot step to zero, so the `leave` that does
    // will set the event after this reset.
    ScopedCriticalSection hold(&lock_);
    if (count_ == 0) return true;
    ResetEvent(doneEvent_.get());
  }
}

ScopedPendingWork::ScopedPendingWork(PendingWork* work) : work_(work) { work_->enter(); }

ScopedPendingWork::~ScopedPendingWork() { work_->leave(); }

}  // namespace tavra
