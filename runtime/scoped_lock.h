// Locks that own their system object, and holders that take one for their
// lifetime.
#ifndef RUNTIME_SCOPED_LOCK_H_
#define RUNTIME_SCOPED_LOCK_H_

#include <windows.h>

namespace tavra {

// A slim reader/writer lock, used exclusively. It needs no release, so one
// with static storage is ready before any code runs and stays usable while
// static objects are destroyed.
class SrwLock {
 public:
  constexpr SrwLock() = default;
  SrwLock(const SrwLock&) = delete;
  SrwLock& operator=(const SrwLock&) = delete;

  SRWLOCK* native() { return &lock_; }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};

// A critical section, initialised with its owner and deleted with it: unlike
// an SRW lock, it may be entered again by the thread that holds it.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&lock_); }
  ~CriticalSection() { DeleteCriticalSection(&lock_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  CRITICAL_SECTION* native() { return &lock_; }

 private:
  CRITICAL_SECTION lock_;
};

// Holds an SRW lock exclusively.
class ScopedSrwLock {
 public:
  explicit ScopedSrwLock(SrwLock* lock) : lock_(lock->native()) { AcquireSRWLockExclusive(lock_); }
  ~ScopedSrwLock() { ReleaseSRWLockExclusive(lock_); }
  ScopedSrwLock(const ScopedSrwLock&) = delete;
  ScopedSrwLock& operator=(const ScopedSrwLock&) = delete;

 private:
  SRWLOCK* lock_;
};

// Holds a critical section.
class ScopedCriticalSection {
 public:
  explicit ScopedCriticalSection(CriticalSection* lock) : lock_(lock->native()) {
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
