#include "runtime/thread_local_slot.h"

namespace tavra {
namespace {

const LONG kNoIndex = static_cast<LONG>(TLS_OUT_OF_INDEXES);

}  // namespace

bool ThreadLocalSlot::initialize() {
  if (isInitialized()) return true;
  DWORD index = TlsAlloc();
  if (index == TLS_OUT_OF_INDEXES) return isInitialized();
  // Two threads may race here: the first to publish its index wins, the other
  // gives its own back.
  LONG seen = InterlockedCompareExchange(&index_, static_cast<LONG>(index), kNoIndex);
  if (seen != kNoIndex) TlsFree(index);
  return true;
}

bool ThreadLocalSlot::isInitialized() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&index_), kNoIndex, kNoIndex) !=
         kNoIndex;
}

void ThreadLocalSlot::free() {
  LONG index = InterlockedExchange(&index_, kNoIndex);
  if (index != kNoIndex) TlsFree(static_cast<DWORD>(index));
}

void* ThreadLocalSlot::get() const {
  LONG index = index_;
  if (index == kNoIndex) return nullptr;
  return TlsGetValue(static_cast<DWORD>(index));
}

bool ThreadLocalSlot::set(void* value) {
  LONG index = index_;
  if (index == kNoIndex) return false;
  return TlsSetValue(static_cast<DWORD>(index), value) != FALSE;
}

}  // namespace tavra
