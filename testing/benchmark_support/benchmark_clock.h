// The benchmarks' clock, statistics and numeric switches.
#ifndef TESTING_BENCHMARK_SUPPORT_BENCHMARK_CLOCK_H_
#define TESTING_BENCHMARK_SUPPORT_BENCHMARK_CLOCK_H_

#include <windows.h>

#include <cstdint>
#include <vector>

namespace tavra {

// The number that the switch `name` of the process command line holds, or
// `fallback` (switch_number.h).
uint32_t switchNumber(const char* name, uint32_t fallback);

LARGE_INTEGER counterNow();
double secondsSince(const LARGE_INTEGER& start);
double millisecondsSince(const LARGE_INTEGER& start);

// 0 for no values.
double median(std::vector<double> values);

}  // namespace tavra

#endif  // TESTING_BENCHMARK_SUPPORT_BENCHMARK_CLOCK_H_
