// Conversion between UTF-8 and UTF-16 text.
#ifndef RUNTIME_UTF_CONVERSION_H_
#define RUNTIME_UTF_CONVERSION_H_

#include <string>
#include <string_view>

namespace tavra {

// Invalid input never fails: ill-formed sequences become U+FFFD.
std::wstring utf8ToWide(std::string_view utf8);
std::string wideToUtf8(std::wstring_view wide);

// Text of the system's ANSI code page, as the C library's file functions take
// their narrow paths.
std::wstring ansiToWide(std::string_view ansi);

// Plain ASCII widening and narrowing for text known to be ASCII (switch
// names, numbers); other characters become '?'.
std::wstring asciiToWide(std::string_view ascii);
std::string wideToAscii(std::wstring_view wide);

}  // namespace tavra

#endif  // RUNTIME_UTF_CONVERSION_H_
