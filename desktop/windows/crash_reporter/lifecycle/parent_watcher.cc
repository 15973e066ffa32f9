#include "desktop/windows/crash_reporter/lifecycle/parent_watcher.h"

#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "runtime/scoped_holder.h"

namespace tavra {

bool ParentWatcher::watch(DWORD parentId) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, parentId);
  if (isValidHandle(parentProcess_)) CloseHandle(parentProcess_);
  parentProcess_ = process;
  if (!isValidHandle(parentProcess_)) return false;

  work_->enter();
  armed_ = 1;
  if (!RegisterWaitForSingleObject(&parentWait_, parentProcess_, &ParentWatcher::onParentExit, this,
                                   INFINITE, WT_EXECUTEONLYONCE)) {
    parentWait_ = nullptr;
    return false;
  }
  return true;
}

void ParentWatcher::disarm() {
  if (InterlockedCompareExchange(&armed_, 0, 1) == 1) work_->leave();
}

void ParentWatcher::cleanUp() {
  disarm();
  if (parentWait_ != nullptr) {
    // Waits for an exit callback that is running right now: the watcher may be
    // gone as soon as this returns. This never runs on the callback's thread.
    UnregisterWaitEx(parentWait_, INVALID_HANDLE_VALUE);
    parentWait_ = nullptr;
  }
  if (isValidHandle(parentProcess_)) {
    CloseHandle(parentProcess_);
    parentProcess_ = nullptr;
  }
}

void CALLBACK ParentWatcher::onParentExit(void* context, BOOLEAN) {
  static_cast<ParentWatcher*>(context)->disarm();
}

}  // namespace tavra
