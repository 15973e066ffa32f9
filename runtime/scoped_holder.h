// One owner for anything that is released by one call: kernel handles,
// registered waits, timer-queue timers, mapped views, WinInet handles, CNG
// algorithm providers and hashes, memory that the system allocated and raw
// memory from ::operator new. Each kind is
// a traits type, and the holder is the same for all of them.
//
// A traits type names the held `Value`, the `invalid()` value that a new or
// released holder keeps, `isValid(value)` (some calls use more than one value
// for "none") and `close(value)`, which releases a valid value once.
//
// A holder is owned by one thread at a time and has no lock. Declare holders
// so that what waits on an object goes after it, and is therefore released
// before it: a wait before the handle that it waits on would be closed under
// a running callback.
#ifndef RUNTIME_SCOPED_HOLDER_H_
#define RUNTIME_SCOPED_HOLDER_H_

#include <windows.h>
#include <bcrypt.h>
#include <wininet.h>

#include <new>

namespace tavra {

template <typename Traits>
class ScopedHolder {
 public:
  using Value = typename Traits::Value;

  ScopedHolder() = default;
  explicit ScopedHolder(Value value) : value_(value) {}
  ~ScopedHolder() { reset(); }
  ScopedHolder(const ScopedHolder&) = delete;
  ScopedHolder& operator=(const ScopedHolder&) = delete;
  ScopedHolder(ScopedHolder&& other) noexcept : value_(other.release()) {}
  ScopedHolder& operator=(ScopedHolder&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  bool isValid() const { return Traits::isValid(value_); }
  Value get() const { return value_; }

  // Releases what is held so far and takes `value` instead.
  void reset(Value value = Traits::invalid()) {
    if (Traits::isValid(value_) && value_ != value) Traits::close(value_);
    value_ = value;
  }
  // Gives up ownership without releasing.
  Value release() {
    const Value value = value_;
    value_ = Traits::invalid();
    return value;
  }
  // For calls that hand back what they made through a pointer: releases what
  // is held and lets the call write the new value in place.
  Value* receive() {
    reset();
    return &value_;
  }

 private:
  Value value_ = Traits::invalid();
};

// True for a handle that names a kernel object: neither null nor
// INVALID_HANDLE_VALUE, which different calls use for "none".
inline bool isValidHandle(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

struct KernelHandleTraits {
  using Value = HANDLE;
  static Value invalid() { return nullptr; }
  static bool isValid(Value value) { return isValidHandle(value); }
  static void close(Value value) { CloseHandle(value); }
};
using ScopedHandle = ScopedHolder<KernelHandleTraits>;

// A wait from RegisterWaitForSingleObject. Releasing it unregisters it and
// blocks until a callback that is running has returned, so that what the
// callback uses may go next. Inside the wait's own callback that would never
// return: there, `unregisterWaitFromCallback` lets it go without blocking.
struct RegisteredWaitTraits {
  using Value = HANDLE;
  static Value invalid() { return nullptr; }
  static bool isValid(Value value) { return value != nullptr; }
  static void close(Value value) { UnregisterWaitEx(value, INVALID_HANDLE_VALUE); }
};
using ScopedWait = ScopedHolder<RegisteredWaitTraits>;

// Unregisters `wait` without waiting for its callbacks; for the callback of
// that very wait, whose return the blocking release would wait for.
inline void unregisterWaitFromCallback(ScopedWait* wait) {
  if (wait->isValid()) UnregisterWait(wait->release());
}

// A timer of the default timer queue. Releasing it deletes it and blocks
// until a callback that is running has returned.
struct TimerQueueTimerTraits {
  using Value = HANDLE;
  static Value invalid() { return nullptr; }
  static bool isValid(Value value) { return value != nullptr; }
  static void close(Value value) { DeleteTimerQueueTimer(nullptr, value, INVALID_HANDLE_VALUE); }
};
using ScopedTimerQueueTimer = ScopedHolder<TimerQueueTimerTraits>;

// A search of FindFirstFileW.
struct FindHandleTraits {
  using Value = HANDLE;
  static Value invalid() { return INVALID_HANDLE_VALUE; }
  static bool isValid(Value value) { return isValidHandle(value); }
  static void close(Value value) { FindClose(value); }
};
using ScopedFindHandle = ScopedHolder<FindHandleTraits>;

// A view of a file mapping in this process.
struct MappedViewTraits {
  using Value = void*;
  static Value invalid() { return nullptr; }
  static bool isValid(Value value) { return value != nullptr; }
  static void close(Value value) { UnmapViewOfFile(value); }
};
using ScopedMappedView = ScopedHolder<MappedViewTraits>;

// A WinInet session, connection or request. Declare a request's holder after
// its connection's, and that after the session's, so that they close child
// first. Users link wininet.
struct InternetHandleTraits {
  using Value = HINTERNET;
  static Value invalid() { return nullptr; }
  static bool isValid(Value value) { return value != nullptr; }
  static void close(Value value) { InternetCloseHandle(value); }
};
using ScopedInternetHandle = ScopedHolder<InternetHandleTraits>;

// A CNG algorithm provider, and a hash object made from one. Declare a hash's
// holder after its provider's, so that the hash is destroyed first. Users
// link bcrypt.
struct AlgorithmProviderTraits {
  using Value = BCRYPT_ALG_HANDLE;
  static Value invalid() { return nullptr; }
  static bool isValid(Value value) { return value != nullptr; }
  static void close(Value value) { BCryptCloseAlgorithmProvider(value, 0); }
};
using ScopedAlgorithmProvider = ScopedHolder<AlgorithmProviderTraits>;

struct HashObjectTraits {
  using Value = BCRYPT_HASH_HANDLE;
  static Value invalid() { return nullptr; }
  static bool isValid(Value value) { return value != nullptr; }
  static void close(Value value) { BCryptDestroyHash(value); }
};
using ScopedHashObject = ScopedHolder<HashObjectTraits>;

// Memory that the system allocated with LocalAlloc, seen as a `T`.
template <typename T>
struct LocalMemoryTraits {
  using Value = T;
  static Value invalid() { return nullptr; }
  static bool isValid(Value value) { return value != nullptr; }
  static void close(Value value) { LocalFree(reinterpret_cast<HLOCAL>(value)); }
};
template <typename T>
using ScopedLocalMemory = ScopedHolder<LocalMemoryTraits<T>>;

// Memory from ::operator new (its nothrow form included), seen as a `T`.
template <typename T>
struct OperatorNewMemoryTraits {
  using Value = T;
  static Value invalid() { return nullptr; }
  static bool isValid(Value value) { return value != nullptr; }
  static void close(Value value) { ::operator delete(value); }
};
template <typename T>
using ScopedOperatorNewMemory = ScopedHolder<OperatorNewMemoryTraits<T>>;

}  // namespace tavra

#endif  // RUNTIME_SCOPED_HOLDER_H_
