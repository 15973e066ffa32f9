// Holders that take a lock for their lifetime.
#ifndef RUNTIME_SCOPED_LOCK_H_
#define RUNTIME_SCOPED_LOCK_H_

#include <windows.h>

namespace tavra {

// Holds an SRW lock exclusively.
class ScopedSrwLock {
 public:
  explicit ScopedSrwLock(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
  ~ScopedSrwLock() { ReleaseSRWLockExclusive(lock_); }
  ScopedSrwLock(const ScopedSrwLock&) = delete;
  ScopedSrwLock& operator=(const ScopedSrwLock&) = delete;

 private:
  SRWLOCK* lock_;
};

// Holds a critical section.
class ScopedCriticalSection {
 public:
  explicit ScopedCriticalSection(CRITICAL_SECTION* lock) : lock_(lock) {
    EnterCriticalSection(lock_);
  }
  ~ScopedCriticalSection() { LeaveCriticalSection(lock_); }
  ScopedCriticalSection(const ScopedCriticalSection&) = delete;
  ScopedCriticalSection& operator=(const ScopedCriticalSection&) = delete;

 private:
  CRITICAL_SECTION* lock_;
};

}  // namespace tavra

#endif  // RUNTIME_SCOPED_LOCK_H_
