// Reads the parts of the crash server's answers that the reporter acts on:
// the status code and Content-Length as WinInet hands them over, and the
// report id in a redirect's location.
//
// Everything here comes from the network and is untrusted: each text is read
// only within the length given, and a value that is not exactly what is
// expected is refused rather than guessed at. The functions keep no state,
// may run on any thread and call no system function, so that they also build
// for the host.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_SERVER_ANSWER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_SERVER_ANSWER_H_

#include <stdint.h>

#include <string>
#include <string_view>

namespace tavra {

// A status code or a Content-Length: 1 to 18 decimal digits and nothing else
// (no sign, no blanks). False for anything else; `value` is then untouched.
bool parseDecimalField(std::wstring_view text, uint64_t* value);

// The report id in a redirect location: the text between the first "?id="
// and the first '&' after it, possibly empty. False when either is missing;
// `id` is then untouched.
bool findReportId(std::wstring_view location, std::wstring* id);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_SERVER_ANSWER_H_
