#include "testing/test_client/nested_crash.h"

namespace tavra {
namespace {

// Used after each call, so that no call becomes a tail call.
volatile uintptr_t depthSeen = 0;

}  // namespace

__attribute__((noinline)) uintptr_t nestedCrashInner(uintptr_t address) {
  *reinterpret_cast<volatile uint32_t*>(address) = 3;
  return depthSeen + 3;
}

__attribute__((noinline)) uintptr_t nestedCrashMiddle(uintptr_t address) {
  const uintptr_t result = nestedCrashInner(address);
  depthSeen = result;
  return result + 2;
}

__attribute__((noinline)) uintptr_t nestedCrashOuter(uintptr_t address) {
  const uintptr_t result = nestedCrashMiddle(address);
  depthSeen = result;
  return result + 1;
}

}  // namespace tavra
