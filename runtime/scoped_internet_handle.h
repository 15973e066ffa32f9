// Owns one WinInet handle (a session, connection or request).
#ifndef RUNTIME_SCOPED_INTERNET_HANDLE_H_
#define RUNTIME_SCOPED_INTERNET_HANDLE_H_

#include <windows.h>
#include <wininet.h>

namespace tavra {

// Closes the handle once with InternetCloseHandle, when it is reset or
// destroyed. Declare a request's holder after its connection's, and that
// after the session's, so that they close child first. Any thread may own
// one; it has no lock. Users link wininet.
class ScopedInternetHandle {
 public:
  ScopedInternetHandle() = default;
  explicit ScopedInternetHandle(HINTERNET handle) : handle_(handle) {}
  ~ScopedInternetHandle() { reset(); }
  ScopedInternetHandle(const ScopedInternetHandle&) = delete;
  ScopedInternetHandle& operator=(const ScopedInternetHandle&) = delete;

  bool isValid() const { return handle_ != nullptr; }
  HINTERNET get() const { return handle_; }

  // Closes the handle held so far and takes `handle` instead.
  void reset(HINTERNET handle = nullptr) {
    if (handle_ != nullptr && handle_ != handle) InternetCloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HINTERNET handle_ = nullptr;
};

}  // namespace tavra

#endif  // RUNTIME_SCOPED_INTERNET_HANDLE_H_
