// Counts the living parent browser as one item of pending work.
//
// Threads: `watch` and `cleanUp` run on the main thread (start-up and
// shutdown); the exit callback runs once on a wait thread of the system
// thread pool and only disarms. `disarm` may run on both at once: the item
// is taken off by whichever moves `armed_` from 1 to 0 (interlocked), so it
// is taken off once. The holders below are the main thread's alone; the wait
// is declared after the process handle, so that it is unregistered (waiting
// for a running callback) before the handle it waits on is closed.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PARENT_WATCHER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PARENT_WATCHER_H_

#include <windows.h>

#include "runtime/scoped_holder.h"

namespace tavra {

class PendingWork;

class ParentWatcher {
 public:
  // `work` receives the parent's item; it must outlive the watcher's wait.
  explicit ParentWatcher(PendingWork* work) : work_(work) {}
  // Cleans up, so that no wait outlives the watcher.
  ~ParentWatcher() { cleanUp(); }
  ParentWatcher(const ParentWatcher&) = delete;
  ParentWatcher& operator=(const ParentWatcher&) = delete;

  // Opens the parent for SYNCHRONIZE, counts it as pending and registers a
  // one-shot wait for its exit. True when the parent is open and watched.
  // After a false result the count may be raised; cleanUp takes it back.
  bool watch(DWORD parentId);
  // Takes the parent's item off the count, at most once however often this
  // and the exit callback run.
  void disarm();
  // Disarms, unregisters the wait (waiting for a callback that runs at that
  // moment) and closes the parent's handle. Never call it from the callback.
  void cleanUp();

  bool isArmed() const { return armed_ != 0; }

 private:
  static void CALLBACK onParentExit(void* context, BOOLEAN timedOut);

  PendingWork* work_;
  volatile LONG armed_ = 0;
  ScopedHandle parentProcess_;
  ScopedWait parentWait_;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PARENT_WATCHER_H_
