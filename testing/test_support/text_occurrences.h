// Counting a text's occurrences in another, as tests of log texts do.
#ifndef TESTING_TEST_SUPPORT_TEXT_OCCURRENCES_H_
#define TESTING_TEST_SUPPORT_TEXT_OCCURRENCES_H_

#include <cstddef>
#include <string>

namespace tavra {

// How many times `part` stands in `text`, overlapping ones included; 0 for
// an empty `part`.
size_t occurrences(const std::string& text, const std::string& part);

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_TEXT_OCCURRENCES_H_
