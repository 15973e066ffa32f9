#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"

#include "runtime/lazy_instance.h"
#include "runtime/scoped_handle.h"

namespace tavra {
namespace {

LazyInstance<PendingWork> g_pendingWork;

}  // namespace

PendingWork* PendingWork::get() { return g_pendingWork.get(); }

PendingWork::~PendingWork() {
  if (isValidHandle(doneEvent_)) CloseHandle(doneEvent_);
}

bool PendingWork::createDoneEvent() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return false;
  if (isValidHandle(doneEvent_)) CloseHandle(doneEvent_);
  doneEvent_ = event;
  return true;
}

void PendingWork::enter() { InterlockedIncrement(&count_); }

void PendingWork::leave() {
  if (InterlockedDecrement(&count_) == 0 && isValidHandle(doneEvent_)) SetEvent(doneEvent_);
}

bool PendingWork::waitUntilIdle() {
  if (!isValidHandle(doneEvent_)) return false;
  return WaitForSingleObject(doneEvent_, INFINITE) == WAIT_OBJECT_0;
}

ScopedPendingWork::ScopedPendingWork() : work_(PendingWork::get()) {
  if (work_ != nullptr) work_->enter();
}

ScopedPendingWork::~ScopedPendingWork() {
  if (work_ != nullptr) work_->leave();
}

}  // namespace tavra
