// The count of work that keeps the reporter alive. Start-up owns the one
// count and gives it to the parent watcher and the crash pipeline, which
// hands it on to each upload job.
//
// The living parent counts as one item; so does each crash being handled and
// each upload job. When the count falls to zero the done event is set, and the
// main thread wakes and shuts down. Work may still begin after that: a dump
// request that comes while the server is being stopped. Its `enter` resets the
// event, so that shutdown, which waits until idle once more after the server
// has stopped, waits for that work too before it destroys the instance.
//
// Threads: any thread enters and leaves; the main thread creates the event and
// waits. The count changes only by interlocked operations, each under
// `lock_` together with the matching change of the event, so that, outside
// the lock, the event is set exactly when the count has fallen to zero and not
// risen since.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PENDING_WORK_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PENDING_WORK_H_

#include <windows.h>

#include "runtime/scoped_holder.h"
#include "runtime/scoped_lock.h"

namespace tavra {

class PendingWork {
 public:
  PendingWork();
  ~PendingWork();
  PendingWork(const PendingWork&) = delete;
  PendingWork& operator=(const PendingWork&) = delete;

  // Creates the manual-reset, unsignalled done event; false on failure.
  bool createDoneEvent();
  // Resets the done event when the count rises from zero.
  void enter();
  // Sets the done event when the count falls to exactly zero.
  void leave();
  // Waits without time-out until the count is zero; false at once without an
  // event. Returns only after the `leave` that brought the count to zero has
  // set the event, so the instance may be destroyed then if no work can
  // begin any more.
  bool waitUntilIdle();

  LONG count() const { return count_; }
  HANDLE doneEvent() const { return doneEvent_.get(); }

 private:
  ScopedHandle doneEvent_;
  volatile LONG count_ = 0;
  CriticalSection lock_;
};

// Counts one item of pending work on `work` for as long as it lives.
class ScopedPendingWork {
 public:
  explicit ScopedPendingWork(PendingWork* work);
  ~ScopedPendingWork();
  ScopedPendingWork(const ScopedPendingWork&) = delete;
  ScopedPendingWork& operator=(const ScopedPendingWork&) = delete;

 private:
  PendingWork* const work_;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PENDING_WORK_H_
