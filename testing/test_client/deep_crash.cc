#include "testing/test_client/deep_crash.h"

namespace tavra {
namespace {

// Used after each call, so that no call becomes a tail call.
volatile uintptr_t depthSeen = 0;

}  // namespace

// noipa: not inlined, not cloned for a constant argument, not folded with a
// twin, so that the three are three functions with three real calls.
__attribute__((noipa)) uintptr_t deepCrashInner(uintptr_t address) {
  *reinterpret_cast<volatile unsigned int*>(address) = 4;
  return depthSeen + 4;
}

__attribute__((noipa)) uintptr_t deepCrashMiddle(uintptr_t address) {
  const uintptr_t result = deepCrashInner(address);
  depthSeen = result;
  return result + 2;
}

__attribute__((noipa)) uintptr_t deepCrashOuter(uintptr_t address) {
  const uintptr_t result = deepCrashMiddle(address);
  depthSeen = result;
  return result + 1;
}

}  // namespace tavra
