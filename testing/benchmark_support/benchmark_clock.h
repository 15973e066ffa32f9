// The benchmarks' clock, statistics, numeric switches and the figures that
// the test client puts in its replies. Plain functions: any thread.
#ifndef TESTING_BENCHMARK_SUPPORT_BENCHMARK_CLOCK_H_
#define TESTING_BENCHMARK_SUPPORT_BENCHMARK_CLOCK_H_

#include <windows.h>

#include <cstdint>
#include <string>
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

// The number after " <name>=" in a reply of the test client, e.g.
// "blocked-us" in "dump done ... blocked-us=1234"; `fallback` when the reply
// has none.
double replyNumber(const std::string& reply, const std::string& name, double fallback);

}  // namespace tavra

#endif  // TESTING_BENCHMARK_SUPPORT_BENCHMARK_CLOCK_H_
