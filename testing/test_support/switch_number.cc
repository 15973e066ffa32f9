#include "testing/test_support/switch_number.h"

#include <cstdlib>
#include <string>

namespace tavra {

uint32_t switchNumber(const CommandLine& line, const char* name, uint32_t fallback) {
  const std::string value = line.switchValueAscii(name);
  if (value.empty()) return fallback;
  return static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
}

}  // namespace tavra
