// A crash three calls deep, for the crash log reader's frame chain: the
// three functions keep their frame pointers (see CMakeLists.txt), so the
// saved frame pointers and return addresses in the crashed thread's stack
// lead from the innermost back to the outermost.
#ifndef TESTING_TEST_CLIENT_NESTED_CRASH_H_
#define TESTING_TEST_CLIENT_NESTED_CRASH_H_

#include <cstdint>

namespace tavra {

// Calls nestedCrashMiddle, which calls nestedCrashInner, which writes to
// `address`. Runs on the calling thread.
uintptr_t nestedCrashOuter(uintptr_t address);
uintptr_t nestedCrashMiddle(uintptr_t address);
uintptr_t nestedCrashInner(uintptr_t address);

}  // namespace tavra

#endif  // TESTING_TEST_CLIENT_NESTED_CRASH_H_
