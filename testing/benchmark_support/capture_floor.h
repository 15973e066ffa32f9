// The floor of a snapshot: the system calls that a capture cannot do without,
// and none of its parsing.
//
// It opens the process, reads its memory figures and image path, opens and
// maps every module file and touches its first page (the headers that any
// inspection starts from), reads the exception pointers, the exception record
// and the context, the crashed thread's id, and opens each other thread of
// the process and reads its context.
#ifndef TESTING_BENCHMARK_SUPPORT_CAPTURE_FLOOR_H_
#define TESTING_BENCHMARK_SUPPORT_CAPTURE_FLOOR_H_

#include <cstdint>
#include <vector>

#include "runtime/target_width.h"

namespace tavra {

// What the floor saw, so that the caller can check that it saw as much as
// the capture did.
struct FloorCounts {
  uint32_t modules = 0;
  uint32_t threads = 0;
  bool exceptionRead = false;
  // The stack pointer of each thread whose context was read, the crashed
  // thread's first.
  std::vector<TargetAddress> stackPointers;
};

// The module part of the floor on its own: a module snapshot of the process,
// and each module's file opened and mapped with its first page touched.
// Returns the modules of the snapshot.
uint32_t moduleFilesFloor(uint32_t processId);

FloorCounts captureFloor(uint32_t processId, TargetAddress pointersAddress,
                         TargetAddress threadIdAddress);

}  // namespace tavra

#endif  // TESTING_BENCHMARK_SUPPORT_CAPTURE_FLOOR_H_
