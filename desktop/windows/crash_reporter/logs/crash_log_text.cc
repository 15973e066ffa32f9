#include "desktop/windows/crash_reporter/logs/crash_log_text.h"

#include <stdint.h>
#include <string.h>

#include "desktop/windows/crash_reporter/logs/crash_log_output.h"

namespace tavra {
namespace {

// The bytes written for one byte that needs an escape: "\xHH".
constexpr size_t kEscapeLength = 4;

bool needsEscape(uint8_t byte) {
  return byte < 0x20 || byte == 0x7F || byte == '"' || byte == '\\';
}

// Writes `text` escaped and adds the number of bytes written to `*written`.
bool writeEscaped(CrashLogOutput* out, const char* text, size_t length, size_t* written) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  // Runs of bytes that need no escape go to the output whole: ordinary text
  // costs one scan more than before.
  size_t runStart = 0;
  for (size_t i = 0; i < length; ++i) {
    const uint8_t byte = static_cast<uint8_t>(text[i]);
    if (!needsEscape(byte)) continue;
    const char escape[kEscapeLength] = {'\\', 'x', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
    if (!out->write(text + runStart, i - runStart) || !out->write(escape, sizeof(escape))) {
      return false;
    }
    *written += kEscapeLength - 1;
    runStart = i + 1;
  }
  *written += length;
  return out->write(text + runStart, length - runStart);
}

}  // namespace

bool writeCrashLogText(CrashLogOutput* out, const char* text, size_t length) {
  size_t written = 0;
  return writeEscaped(out, text, length, &written);
}

bool writeCrashLogText(CrashLogOutput* out, const std::string& text) {
  return writeCrashLogText(out, text.data(), text.size());
}

bool writeCrashLogText(CrashLogOutput* out, const char* text) {
  return writeCrashLogText(out, text, text != nullptr ? strlen(text) : 0);
}

bool writeCrashLogTextPadded(CrashLogOutput* out, const char* text, size_t width) {
  size_t written = 0;
  if (!writeEscaped(out, text, text != nullptr ? strlen(text) : 0, &written)) return false;
  // The output pads an empty text with spaces up to the width.
  return written >= width || out->writePadded("", width - written);
}

}  // namespace tavra
