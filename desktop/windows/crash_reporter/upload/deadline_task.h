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
// Threads: runWithin waits on the calling thread; run() runs on a new thread,
// or not at all when no thread can be made. The task is shared
// through its reference count and needs no lock: the caller reads what run()
// wrote only after the thread has ended, which orders the two.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_DEADLINE_TASK_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_DEADLINE_TASK_H_

#include <stdint.h>

#include <memory>

namespace tavra {

class DeadlineTask {
 public:
  virtual ~DeadlineTask() = default;

  // The work. It owns every handle that it opens and closes them itself; it
  // must not touch anything of its caller's, which may be gone when it ends.
  virtual void run() = 0;

  // Runs `task` on a new thread and waits for it at most `timeoutMs`. True
  // when run() has returned, so that its results may be read; false when the
  // deadline passed first (the thread keeps its own reference and the task
  // is destroyed when the later of the thread and the caller lets go), or
  // when no thread could be made (run() is then never called). A thread cut
  // short holds its socket and its copies of the request until the server
  // lets go or the process ends.
  static bool runWithin(const std::shared_ptr<DeadlineTask>& task, uint32_t timeoutMs);
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_DEADLINE_TASK_H_
