#include "testing/test_support/text_occurrences.h"

namespace tavra {

size_t occurrences(const std::string& text, const std::string& part) {
  if (part.empty()) return 0;
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

}  // namespace tavra
