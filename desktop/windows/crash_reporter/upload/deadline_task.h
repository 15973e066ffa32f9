// Bounds how long a caller waits for work that may block in the system
// without end.
//
// WinInet gives no way to cut a blocked call short: under Wine a connect to a
// host that never answers ignores the connect time-out, a server that sends
// its answer a byte at a time defeats every per-call time-out, and closing
// the request's handle from another thread does not wake the blocked call.
// So the work runs on a thread of its own, and the caller stops waiting at
// its deadline. Work that is still running then finishes on its own and
// nobody reads its results.
//
// Such abandoned threads hold a socket and their copies of the request
// until the server lets go, which a hostile one never does. So the process
// keeps count of them, and while kMaxAbandonedDeadlineThreads are still
// running no new work is started: the caller is told so at once. One bound
// covers the first requests and the uploads alike, since both talk to the
// same server; a server that holds the one holds the other.
//
// Threads: runWithin waits on the calling thread; run() runs on a new thread,
// or not at all when no thread can be made or the bound is reached. The
// task is shared through its reference count: the caller reads what run()
// wrote only after the thread has ended, or after the two have settled
// through the interlocked state below that run() was done before the
// deadline, which orders the two. The count of abandoned threads is
// interlocked; any thread may read it.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_DEADLINE_TASK_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_DEADLINE_TASK_H_

#include <windows.h>

#include <stdint.h>

#include <memory>

#include "runtime/seam.h"

namespace tavra {

// Threads left running after their deadline, at most. Twice the crash storm
// that the reporter handles at once (16 crashes), so that a storm whose first
// requests a stalled server holds still leaves room for the next storm's.
// Each costs a socket and 2 MiB of reserved stack (64 MiB for all of them, of
// the 2 GiB of a 32-bit process), an upload's also the body it was sending.
constexpr uint32_t kMaxAbandonedDeadlineThreads = 32;

enum class DeadlineResult : int {
  // run() returned before the deadline: its results may be read.
  Done = 0,
  // The deadline passed first; run() goes on alone, and its results are not
  // to be read.
  DeadlinePassed = 1,
  // No thread could be made: run() is never called.
  NoThread = 2,
  // kMaxAbandonedDeadlineThreads threads are still running after their
  // deadline: run() is never called.
  BoundReached = 3,
};

class DeadlineTask {
 public:
  virtual ~DeadlineTask() = default;

  // The work. It owns every handle that it opens and closes them itself; it
  // must not touch anything of its caller's, which may be gone when it ends.
  virtual void run() = 0;

  // Runs `task` (once: a task is not run again) on a new thread and waits
  // for it at most `timeoutMs`. When the deadline passes first, the thread
  // keeps its own reference, the task is destroyed when the later of the
  // thread and the caller lets go, and the thread counts as abandoned until
  // run() returns.
  static DeadlineResult runWithin(const std::shared_ptr<DeadlineTask>& task, uint32_t timeoutMs);

  // Threads that passed their deadline and are still running.
  static uint32_t abandonedThreads();

 private:
  static DWORD WINAPI threadMain(void* parameter);

  // Which of the thread and the waiting caller settled the task first:
  // running, then either done (run() returned in time) or abandoned.
  volatile LONG state_ = 0;
};

// Test seam: the bound on abandoned threads; 0 restores the default.
extern Seam<uint32_t> abandonedDeadlineThreadBoundSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_DEADLINE_TASK_H_
