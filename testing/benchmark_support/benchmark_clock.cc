#include "testing/benchmark_support/benchmark_clock.h"

#include <algorithm>
#include <cstdlib>

#include "runtime/command_line.h"
#include "testing/test_support/switch_number.h"

namespace tavra {

uint32_t switchNumber(const char* name, uint32_t fallback) {
  return switchNumber(CommandLine::forCurrentProcess(), name, fallback);
}

LARGE_INTEGER counterNow() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

double secondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

double millisecondsSince(const LARGE_INTEGER& start) { return secondsSince(start) * 1000.0; }

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double replyNumber(const std::string& reply, const std::string& name, double fallback) {
  const std::string label = " " + name + "=";
  const size_t at = reply.find(label);
  return at == std::string::npos ? fallback
                                 : std::strtod(reply.c_str() + at + label.size(), nullptr);
}

}  // namespace tavra
