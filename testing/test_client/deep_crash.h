// A crash three calls deep in code built optimised and without frame
// pointers (see CMakeLists.txt): no function of the three sets up EBP, so
// the crashed thread's frame-pointer chain skips them, and only a scan of its
// stack for return addresses after a call finds the callers.
#ifndef TESTING_TEST_CLIENT_DEEP_CRASH_H_
#define TESTING_TEST_CLIENT_DEEP_CRASH_H_

#include <cstdint>

namespace tavra {

// Calls deepCrashMiddle, which calls deepCrashInner, which writes to
// `address`. Runs on the calling thread.
uintptr_t deepCrashOuter(uintptr_t address);
uintptr_t deepCrashMiddle(uintptr_t address);
uintptr_t deepCrashInner(uintptr_t address);

}  // namespace tavra

#endif  // TESTING_TEST_CLIENT_DEEP_CRASH_H_
