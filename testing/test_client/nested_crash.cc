#include "testing/test_client/nested_crash.h"

namespace tavra {
namespace {

// Used after each call, so that no call becomes a tail call.
volatile uint32_t depthSeen = 0;

}  // namespace

__attribute__((noinline)) uint32_t nestedCrashInner(uint32_t address) {
  *reinterpret_cast<volatile uint32_t*>(address) = 3;
  return depthSeen + 3;
}

__attribute__((noinline)) uint32_t nestedCrashMiddle(uint32_t address) {
  const uint32_t result = nestedCrashInner(address);
  depthSeen = result;
  return result + 2;
}

__attribute__((noinline)) uint32_t nestedCrashOuter(uint32_t address) {
  const uint32_t result = nestedCrashMiddle(address);
  depthSeen = result;
  return result + 1;
}

}  // namespace tavra
