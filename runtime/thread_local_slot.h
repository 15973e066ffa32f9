// A thread-local storage slot: one pointer per thread under one index.
//
// The slot may be created by whichever thread first needs it: creation is
// idempotent and safe from several threads at once, and every thread sees
// the same index afterwards. A thread that never stored a value reads null.
#ifndef RUNTIME_THREAD_LOCAL_SLOT_H_
#define RUNTIME_THREAD_LOCAL_SLOT_H_

#include <windows.h>

namespace tavra {

class ThreadLocalSlot {
 public:
  // Constant-initialised, so that a process-wide slot is usable before any
  // constructor of the program has run.
  constexpr ThreadLocalSlot() = default;
  ~ThreadLocalSlot() { free(); }
  ThreadLocalSlot(const ThreadLocalSlot&) = delete;
  ThreadLocalSlot& operator=(const ThreadLocalSlot&) = delete;

  // Allocates the index unless there is one already. False only when the
  // system has no index left.
  bool initialize();
  bool isInitialized() const;
  // Releases the index; every thread's value is forgotten.
  void free();

  // The calling thread's value; null before `set` and without an index.
  void* get() const;
  // False without an index.
  bool set(void* value);

 private:
  // TLS_OUT_OF_INDEXES while there is none. Changed only by interlocked
  // operations.
  volatile LONG index_ = static_cast<LONG>(TLS_OUT_OF_INDEXES);
};

}  // namespace tavra

#endif  // RUNTIME_THREAD_LOCAL_SLOT_H_
