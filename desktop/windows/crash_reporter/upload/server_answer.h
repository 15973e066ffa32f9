// Reads the parts of the crash server's answers that the reporter acts on:
// the status code and Content-Length as WinInet hands them over, and the
// location of a redirect and the report id in it.
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

// A redirect's location may be at most this long: 2 KiB is the length of
// address that browsers and web servers have long all accepted, and the
// local crash server's location is about 60 bytes. A longer one is refused,
// not cut, so that no head of an address is taken for the whole.
constexpr size_t kMaxLocationChars = 2048;

// Whether a redirect's location may be used at all: it goes to the browser's
// crash-feedback file, which the browser opens as a link, so only an absolute
// "http://" or "https://" address (the scheme in lower case, as the server's
// own address must be) with a host, of kMaxLocationChars at most, of
// printable ASCII without blanks, quotes (" ' `), angle brackets or
// backslashes. So no other scheme ("javascript:", "file:"), no line end that
// would start a line of its own, and nothing that ends an attribute or
// starts a tag where the link is shown.
bool isUsableLocation(std::wstring_view location);

// The report id in a redirect location: the text between the first "?id="
// and the first '&' after it, possibly empty. False when either is missing;
// `id` is then untouched.
bool findReportId(std::wstring_view location, std::wstring* id);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_SERVER_ANSWER_H_
