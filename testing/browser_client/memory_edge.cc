#include "testing/browser_client/memory_edge.h"

#include <windows.h>

namespace tavra {
namespace {

bool readable(uintptr_t address, SIZE_T length) {
  uint8_t bytes[8];
  SIZE_T count = 0;
  return ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(address), bytes,
                           length, &count) &&
         count == length;
}

}  // namespace

TargetAddress findEndOfReadableMemory() {
  MEMORY_BASIC_INFORMATION region;
  // The first 64 KiB are never mapped.
  uintptr_t address = 0x10000;
  while (VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof(region)) ==
         sizeof(region)) {
    const uintptr_t end = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    if (end <= address) break;
    if (region.State == MEM_COMMIT && readable(end - 4, 4) && !readable(end, 4)) {
      return static_cast<TargetAddress>(end);
    }
    address = end;
  }
  return 0;
}

}  // namespace tavra
