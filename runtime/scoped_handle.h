// Small owners for Windows handles and system-allocated memory.
#ifndef RUNTIME_SCOPED_HANDLE_H_
#define RUNTIME_SCOPED_HANDLE_H_

#include <windows.h>

namespace tavra {

// True for a handle that names a kernel object: neither null nor
// INVALID_HANDLE_VALUE, which different calls use for "none".
inline bool isValidHandle(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Owns one kernel handle and closes it once.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { reset(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  bool isValid() const { return isValidHandle(handle_); }
  HANDLE get() const { return handle_; }

  // Closes the handle held so far and takes `handle` instead.
  void reset(HANDLE handle = nullptr) {
    if (isValidHandle(handle_) && handle_ != handle) CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Owns memory that the system allocated with LocalAlloc.
template <typename T>
class ScopedLocalMemory {
 public:
  ScopedLocalMemory() = default;
  explicit ScopedLocalMemory(T memory) : memory_(memory) {}
  ~ScopedLocalMemory() { reset(); }
  ScopedLocalMemory(const ScopedLocalMemory&) = delete;
  ScopedLocalMemory& operator=(const ScopedLocalMemory&) = delete;

  T get() const { return memory_; }
  T* receive() {
    reset();
    return &memory_;
  }
  void reset(T memory = nullptr) {
    if (memory_ != nullptr && memory_ != memory) LocalFree(reinterpret_cast<HLOCAL>(memory_));
    memory_ = memory;
  }

 private:
  T memory_ = nullptr;
};

}  // namespace tavra

#endif  // RUNTIME_SCOPED_HANDLE_H_
