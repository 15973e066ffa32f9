// Makes the strings of JSON text decodable, so that settings files that other
// software wrote carelessly can still be read.
//
// Inside strings (keys included) every byte sequence that is not well-formed
// UTF-8 becomes U+FFFD (EF BF BD), one per maximal ill-formed subpart, and
// every \u escape of a surrogate that is not part of a high-low pair becomes
// \uFFFD. Nothing else changes: the text outside strings, other escapes (even
// invalid ones), control bytes and NUL bytes stay as they are, for the parser
// to judge. A repaired text is never longer than three times the original.
//
// Portable: plain bytes in, plain bytes out, no system calls; safe on any
// thread.
#ifndef RUNTIME_JSON_STRING_REPAIR_H_
#define RUNTIME_JSON_STRING_REPAIR_H_

#include <string>
#include <string_view>

namespace tavra {

// True when `text` has something to repair; `repaired` then holds the repaired
// text. False, leaving `repaired` alone, when `text` may be parsed as it is.
bool repairJsonStrings(std::string_view text, std::string* repaired);

// The length of the UTF-8 sequence that starts at `at` (a byte of 0x80 or
// more). `*wellFormed` tells whether it is a whole, well-formed character; if
// not, the length is that of the maximal ill-formed subpart, at least 1, so
// that each such subpart becomes one replacement character (as decoders that
// replace what they cannot decode count them).
size_t utf8SequenceLength(std::string_view text, size_t at, bool* wellFormed);

}  // namespace tavra

#endif  // RUNTIME_JSON_STRING_REPAIR_H_
