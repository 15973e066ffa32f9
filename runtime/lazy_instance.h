// A process-wide instance created on first use, from any thread.
//
// A word holds 0 (not created), 1 (being created) or the instance. The first
// caller that moves it from 0 to 1 creates the instance, publishes it and
// registers its destruction with the innermost at-exit scope; callers that
// find 1 yield their time slice until the instance is published. After the
// scope has destroyed the instance, the next caller creates a new one.
#ifndef RUNTIME_LAZY_INSTANCE_H_
#define RUNTIME_LAZY_INSTANCE_H_

#include <windows.h>

#include <new>

#include "runtime/at_exit.h"

namespace tavra {

template <typename T>
class LazyInstance {
 public:
  // Null only when the instance could not be allocated.
  T* get() {
    for (;;) {
      void* seen = InterlockedCompareExchangePointer(&word_, kCreating, nullptr);
      if (seen == nullptr) break;  // This caller creates it.
      if (seen != kCreating) return static_cast<T*>(seen);
      Sleep(0);
    }
    T* instance = new (std::nothrow) T();
    if (instance == nullptr) {
      InterlockedExchangePointer(&word_, nullptr);
      return nullptr;
    }
    // The interlocked exchange is a full barrier: the constructor's writes are
    // visible before the pointer is.
    InterlockedExchangePointer(&word_, instance);
    AtExitScope::registerCallback(&LazyInstance::destroy, this);
    return instance;
  }

 private:
  static void destroy(void* context) {
    LazyInstance* self = static_cast<LazyInstance*>(context);
    void* seen = InterlockedExchangePointer(&self->word_, nullptr);
    if (seen != nullptr && seen != kCreating) delete static_cast<T*>(seen);
  }

  static void* const kCreating;
  void* volatile word_ = nullptr;
};

template <typename T>
void* const LazyInstance<T>::kCreating = reinterpret_cast<void*>(1);

}  // namespace tavra

#endif  // RUNTIME_LAZY_INSTANCE_H_
