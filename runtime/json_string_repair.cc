#include "runtime/json_string_repair.h"

#include <cstdint>
#include <utility>

namespace tavra {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
constexpr std::string_view kReplacementEscape = "\\uFFFD";
constexpr size_t kEscapeLength = 6;  // \uXXXX

uint8_t byteAt(std::string_view text, size_t i) { return static_cast<uint8_t>(text[i]); }

bool hexValue(char c, uint32_t* value) {
  if (c >= '0' && c <= '9') {
    *value = static_cast<uint32_t>(c - '0');
  } else if (c >= 'a' && c <= 'f') {
    *value = static_cast<uint32_t>(c - 'a' + 10);
  } else if (c >= 'A' && c <= 'F') {
    *value = static_cast<uint32_t>(c - 'A' + 10);
  } else {
    return false;
  }
  return true;
}

// The code unit of a whole "\uXXXX" escape at `at`; false when there is none.
bool escapedCodeUnit(std::string_view text, size_t at, uint32_t* unit) {
  if (at > text.size() || text.size() - at < kEscapeLength) return false;
  if (text[at] != '\\' || text[at + 1] != 'u') return false;
  uint32_t value = 0;
  for (size_t k = 2; k < kEscapeLength; ++k) {
    uint32_t digit = 0;
    if (!hexValue(text[at + k], &digit)) return false;
    value = value << 4 | digit;
  }
  *unit = value;
  return true;
}

bool isHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Builds the repaired text lazily: nothing is copied until the first repair.
class Repairer {
 public:
  explicit Repairer(std::string_view text) : text_(text) {}

  void replace(size_t begin, size_t end, std::string_view with) {
    if (!changed_) {
      changed_ = true;
      out_.reserve(text_.size() + text_.size() / 8);
    }
    out_.append(text_.data() + copied_, begin - copied_);
    out_.append(with.data(), with.size());
    copied_ = end;
  }

  bool finish(std::string* repaired) {
    if (!changed_) return false;
    out_.append(text_.data() + copied_, text_.size() - copied_);
    *repaired = std::move(out_);
    return true;
  }

 private:
  std::string_view text_;
  std::string out_;
  size_t copied_ = 0;
  bool changed_ = false;
};

}  // namespace

size_t utf8SequenceLength(std::string_view text, size_t at, bool* wellFormed) {
  *wellFormed = false;
  uint8_t lead = byteAt(text, at);
  size_t length = 0;
  // The range of the second byte, narrower than 80..BF after some leads so
  // that overlong forms, encoded surrogates and values above U+10FFFF fail.
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 1;  // A continuation byte without a lead, C0, C1 or F5..FF.
  }
  for (size_t k = 1; k < length; ++k) {
    if (at + k >= text.size()) return k;
    uint8_t byte = byteAt(text, at + k);
    uint8_t min = k == 1 ? low : 0x80;
    uint8_t max = k == 1 ? high : 0xBF;
    if (byte < min || byte > max) return k;
  }
  *wellFormed = true;
  return length;
}

bool repairJsonStrings(std::string_view text, std::string* repaired) {
  if (repaired == nullptr) return false;
  Repairer repairer(text);
  bool inString = false;
  size_t i = 0;
  while (i < text.size()) {
    uint8_t c = byteAt(text, i);
    if (!inString) {
      if (c == '"') inString = true;
      ++i;
      continue;
    }
    if (c == '"') {
      inString = false;
      ++i;
      continue;
    }
    if (c == '\\') {
      uint32_t unit = 0;
      if (escapedCodeUnit(text, i, &unit)) {
        uint32_t next = 0;
        if (isHighSurrogate(unit) && escapedCodeUnit(text, i + kEscapeLength, &next) &&
            isLowSurrogate(next)) {
          i += 2 * kEscapeLength;  // A proper pair.
        } else {
          if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
            repairer.replace(i, i + kEscapeLength, kReplacementEscape);
          }
          i += kEscapeLength;
        }
        continue;
      }
      // Any other escape: an ASCII character after the backslash cannot end
      // the string. A non-ASCII one is left to the checks below, and the
      // parser refuses the escape itself.
      i += (i + 1 < text.size() && byteAt(text, i + 1) < 0x80) ? 2 : 1;
      continue;
    }
    if (c < 0x80) {
      ++i;
      continue;
    }
    bool wellFormed = false;
    size_t length = utf8SequenceLength(text, i, &wellFormed);
    if (!wellFormed) repairer.replace(i, i + length, kReplacementCharacter);
    i += length;
  }
  return repairer.finish(repaired);
}

}  // namespace tavra
