// The process-wide count of work that keeps the reporter alive.
//
// The living parent counts as one item; so does each crash being handled and
// each upload job. When the count falls to zero the done event is set, and it
// stays set: the main thread wakes once and shuts down.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PENDING_WORK_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PENDING_WORK_H_

#include <windows.h>

namespace tavra {

class PendingWork {
 public:
  // The one instance, created on first use from any thread; its destruction
  // is registered with the innermost at-exit scope open at creation time.
  // Null only when it could not be allocated.
  static PendingWork* get();

  PendingWork() = default;
  ~PendingWork();
  PendingWork(const PendingWork&) = delete;
  PendingWork& operator=(const PendingWork&) = delete;

  // Creates the manual-reset, unsignalled done event; false on failure.
  bool createDoneEvent();
  void enter();
  // Sets the done event when the count falls to exactly zero.
  void leave();
  // Waits without time-out for the done event; false at once without one.
  bool waitUntilIdle();

  LONG count() const { return count_; }
  HANDLE doneEvent() const { return doneEvent_; }

 private:
  HANDLE doneEvent_ = nullptr;
  volatile LONG count_ = 0;
};

// Counts one item of pending work for as long as it lives.
class ScopedPendingWork {
 public:
  ScopedPendingWork();
  ~ScopedPendingWork();
  ScopedPendingWork(const ScopedPendingWork&) = delete;
  ScopedPendingWork& operator=(const ScopedPendingWork&) = delete;

 private:
  PendingWork* work_;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PENDING_WORK_H_
