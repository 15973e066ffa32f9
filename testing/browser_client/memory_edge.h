// Finds where readable memory of this process ends, for tests of reads that
// come back short.
#ifndef TESTING_BROWSER_CLIENT_MEMORY_EDGE_H_
#define TESTING_BROWSER_CLIENT_MEMORY_EDGE_H_

#include <cstdint>

#include "runtime/target_width.h"

namespace tavra {

// An address of this process before which four bytes can be read with
// ReadProcessMemory and at which nothing can: the end of a committed region
// that unreadable memory follows. Some systems read reserved and inaccessible
// pages through ReadProcessMemory all the same, so the edge is found by
// reading, not from the regions' protection. 0 when there is none.
TargetAddress findEndOfReadableMemory();

}  // namespace tavra

#endif  // TESTING_BROWSER_CLIENT_MEMORY_EDGE_H_
