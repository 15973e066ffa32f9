// Numbers given as switches to the test programs, the demo's stand-in
// browser and the benchmarks: "--name=N". Plain functions: any thread.
#ifndef TESTING_TEST_SUPPORT_SWITCH_NUMBER_H_
#define TESTING_TEST_SUPPORT_SWITCH_NUMBER_H_

#include <cstdint>

#include "runtime/command_line.h"

namespace tavra {

// The decimal number that the switch `name` of `line` holds, or `fallback`
// when the switch is absent or has no value. Text that is no number reads as
// 0, as strtoul reads it.
uint32_t switchNumber(const CommandLine& line, const char* name, uint32_t fallback);

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_SWITCH_NUMBER_H_
