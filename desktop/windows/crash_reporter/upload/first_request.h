// The first request to the crash server: one body-less GET that asks whether
// the server wants the report and under which id. The server redirects (303)
// to a location whose query holds the id, or declines (503).
//
// Threads: sendFirstRequest runs on the thread that handles the crash, while
// the crashed process waits. With a time-out above 0 the exchange itself runs
// on a thread of its own (DeadlineTask), so that the caller is back within
// the time-out whatever the server or the network does. Nothing is shared
// between calls, and several crashes may send their first requests at once.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_FIRST_REQUEST_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_FIRST_REQUEST_H_

#include <stdint.h>

#include <string>

namespace tavra {

enum class FirstRequestResult : int {
  // Status 303 with a usable location (isUsableLocation) holding "?id=" and
  // a later '&'.
  IdReceived = 0,
  // Status 503: the server declines the report.
  ServiceUnavailable = 1,
  // Anything else: an unusable address, a network or WinInet failure, the
  // time-out, another status, or a 303 whose location is not usable or
  // lacks the id.
  NoId = 2,
  // Not sent: too many earlier requests to the server are still running
  // after their deadline (DeadlineResult::BoundReached).
  Skipped = 3,
};

extern const wchar_t kCrashUrlHeaderName[];  // "X-Tavra-Crash-URL"
extern const wchar_t kOriginHeaderName[];    // "X-Origin"
// The crash signature's short hash, so that the server can decline a crash
// it has enough reports of before a byte of it is uploaded.
extern const wchar_t kCrashSignatureHeaderName[];  // "X-Tavra-Crash-Signature"

// Sends the first request to `serverUrl` (its scheme must be "http" or
// "https" exactly) as a ServerRequest does (server_request.h: its user
// agent, and no redirect, authentication, dialog or cache), with the headers
// "X-Tavra-Crash-URL: `crashUrl`", "X-Origin: `origin`" and
// "X-Tavra-Crash-Signature: `signatureHash`" where those are not empty;
// control characters in them are sent as blanks, so that they
// cannot start a header of their own. On IdReceived, `id` gets the text
// between "?id=" and the next '&' and `location` the whole location; on any
// other result both stay untouched. A location is read only up to
// kMaxLocationChars (server_answer.h); a longer one is not usable.
//
// With `timeoutMs` above 0, every connect, send and receive has that
// time-out, and the call returns NoId once `timeoutMs` has passed in all,
// leaving a request still under way to end on its own (DeadlineTask), or
// Skipped at once when too many such requests are still under way. With 0
// or less no time-out is set.
FirstRequestResult sendFirstRequest(const std::wstring& serverUrl,
                                    const std::wstring& editionSuffix, const std::wstring& crashUrl,
                                    const std::wstring& origin, std::wstring* id,
                                    std::wstring* location, int32_t timeoutMs,
                                    const std::wstring& signatureHash = std::wstring());

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_FIRST_REQUEST_H_
