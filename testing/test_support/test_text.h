// Small text helpers that the tests share: reading the lines that test
// programs print and spelling numbers as the crash log does.
#ifndef TESTING_TEST_SUPPORT_TEST_TEXT_H_
#define TESTING_TEST_SUPPORT_TEST_TEXT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace tavra {

bool startsWith(const std::string& text, const std::string& prefix);
bool endsWith(const std::wstring& text, const std::wstring& suffix);

// The words of `line` between runs of white space.
std::vector<std::string> tokens(const std::string& line);

// Eight upper-case hexadecimal digits, as the crash log prints addresses.
std::string hex8(uint32_t value);
// An address of a process of the program's own width as the crash log of its
// reporter prints it: 8 digits in a 32-bit program, 16 in a 64-bit one.
std::string hexAddress(uint64_t value);
// Upper-case hexadecimal digits without leading zeros, as the crash log
// prints exception codes.
std::string hex(uint32_t value);

// Whether `text` has the form of the ids that the local crash server hands
// out: 16 lower-case hexadecimal digits.
bool isReportId(const std::string& text);
bool isReportId(const std::wstring& text);

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_TEST_TEXT_H_
