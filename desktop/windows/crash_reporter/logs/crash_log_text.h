// Text in the crash log that the crashed process or its module files chose:
// the version and the build of the header, the metadata keys and values, the
// main module's name and the exception name on the exception line, and the
// module names and file versions of the module list.
//
// Such text is written so that it cannot end its line or its quoted value:
// each control byte (0x00 to 0x1F and 0x7F), the double quote (0x22) and the
// backslash (0x5C) is written as a backslash, an "x" and the byte in two
// upper-case hexadecimal digits ("\x0A" for a line feed, "\x22" for a quote,
// "\x5C" for a backslash). Every other byte, UTF-8 included, is written as
// it is, so that text without such bytes is written byte for byte as before.
// The crash-log reader turns each "\x" and two upper-case hexadecimal digits
// of such a field back into its byte and keeps any other backslash as it is
// (logs of older reporters wrote the text unescaped).
//
// Threads: used by the thread that writes a crash log, on its own output.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_TEXT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_TEXT_H_

#include <stddef.h>

#include <string>

namespace tavra {

class CrashLogOutput;

// Writes `length` bytes of `text` with its control bytes, quotes and
// backslashes escaped. False once the output failed.
bool writeCrashLogText(CrashLogOutput* out, const char* text, size_t length);
bool writeCrashLogText(CrashLogOutput* out, const std::string& text);
// A C string; null writes nothing.
bool writeCrashLogText(CrashLogOutput* out, const char* text);
// A C string, then spaces up to `width` columns of what was written, escapes
// included.
bool writeCrashLogTextPadded(CrashLogOutput* out, const char* text, size_t width);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_TEXT_H_
