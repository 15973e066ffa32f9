#include "desktop/windows/crash_reporter/lifecycle/parent_watcher.h"

#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"

namespace tavra {

bool ParentWatcher::watch(DWORD parentId) {
  // A wait of an earlier call goes before the handle that it waits on.
  parentWait_.reset();
  parentProcess_.reset(OpenProcess(SYNCHRONIZE, FALSE, parentId));
  if (!parentProcess_.isValid()) return false;

  work_->enter();
  armed_ = 1;
  HANDLE wait = nullptr;
  if (!RegisterWaitForSingleObject(&wait, parentProcess_.get(), &ParentWatcher::onParentExit, this,
                                   INFINITE, WT_EXECUTEONLYONCE)) {
    return false;
  }
  parentWait_.reset(wait);
  return true;
}

void ParentWatcher::disarm() {
  if (InterlockedCompareExchange(&armed_, 0, 1) == 1) work_->leave();
}

void ParentWatcher::cleanUp() {
  disarm();
  // Waits for an exit callback that is running right now: the watcher may be
  // gone as soon as this returns. This never runs on the callback's thread.
  parentWait_.reset();
  parentProcess_.reset();
}

void CALLBACK ParentWatcher::onParentExit(void* context, BOOLEAN) {
  static_cast<ParentWatcher*>(context)->disarm();
}

}  // namespace tavra
