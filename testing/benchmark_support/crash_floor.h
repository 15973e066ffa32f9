// The floor of writing one crash log once its snapshot is taken: the reads
// that a crash log cannot do without, and a file of its size, with none of
// the formatting or the pointer checks.
#ifndef TESTING_BENCHMARK_SUPPORT_CRASH_FLOOR_H_
#define TESTING_BENCHMARK_SUPPORT_CRASH_FLOOR_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "runtime/target_width.h"

namespace tavra {

// Memory from `first` up to, not including, `second`.
using AddressRange = std::pair<TargetAddress, TargetAddress>;

// Opens `processId`, reads up to 8192 bytes of each thread's stack from its
// stack pointer, within the stack's region, then each of `ranges` in one
// read, and writes `logSize` bytes to `scratchFile` in one piece (the file is
// deleted again). Returns the bytes read.
uint64_t crashLogFloor(uint32_t processId, const std::vector<TargetAddress>& stackPointers,
                       const std::vector<AddressRange>& ranges, uint64_t logSize,
                       const std::wstring& scratchFile);

}  // namespace tavra

#endif  // TESTING_BENCHMARK_SUPPORT_CRASH_FLOOR_H_
