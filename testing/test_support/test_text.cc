#include "testing/test_support/test_text.h"

#include <cstdio>
#include <sstream>

namespace tavra {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::wstring& text, const std::wstring& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> tokens(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> result;
  for (std::string token; in >> token;) result.push_back(token);
  return result;
}

std::string hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(value));
  return text;
}

std::string hexAddress(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "%0*llX", static_cast<int>(2 * sizeof(void*)),
                static_cast<unsigned long long>(value));
  return text;
}

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%X", static_cast<unsigned>(value));
  return text;
}

namespace {

template <typename Text>
bool hasReportIdForm(const Text& text) {
  if (text.size() != 16) return false;
  for (auto c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

bool isReportId(const std::string& text) { return hasReportIdForm(text); }
bool isReportId(const std::wstring& text) { return hasReportIdForm(text); }

}  // namespace tavra
