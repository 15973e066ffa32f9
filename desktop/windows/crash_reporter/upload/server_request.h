// One HTTP request to the crash server through WinInet: the session, the
// connection and the request handles, opened in that order and closed in the
// reverse one on every path.
//
// Both requests to the crash server go through here, so that both hold the
// same line against a hostile server or network (kServerRequestFlags): the
// answer that arrives is the answer that counts, and nothing of the user's
// goes out with it.
//
// An object belongs to the one thread that makes its request; it has no lock.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_SERVER_REQUEST_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_SERVER_REQUEST_H_

#include <windows.h>
#include <wininet.h>

#include <string>

#include "desktop/windows/crash_reporter/upload/crash_server_url.h"
#include "runtime/scoped_holder.h"

namespace tavra {

// Flags of every request to the crash server. A redirect is not followed: a
// 303's location is read, and an upload redirected elsewhere has failed. An
// authentication challenge (401, or 407 from a proxy) is not answered, so no
// NTLM or Negotiate credentials of the user leave for whatever host asks. No
// dialog is shown (the reporter has no window, and nobody would answer it),
// nothing is read from or written to the cache, and no cookie is sent or
// kept. INTERNET_FLAG_SECURE is added for an https address.
constexpr DWORD kServerRequestFlags = INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_AUTH |
                                      INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_CACHE_WRITE |
                                      INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_RELOAD |
                                      INTERNET_FLAG_NO_COOKIES;

class ServerRequest {
 public:
  ServerRequest() = default;
  // Closes the request, then the connection, then the session.
  ~ServerRequest() = default;
  ServerRequest(const ServerRequest&) = delete;
  ServerRequest& operator=(const ServerRequest&) = delete;

  // InternetOpenW with `userAgent` and the system's proxy settings,
  // InternetConnectW to the URL's host and port for HTTP, and
  // HttpOpenRequestW for `verb` on the URL's path with kServerRequestFlags
  // (and INTERNET_FLAG_SECURE for https). False at the first failure; what
  // was opened is closed on destruction.
  bool open(const std::wstring& userAgent, const CrashServerUrl& url, const wchar_t* verb);

  HINTERNET request() const { return request_.get(); }

  // Sets a DWORD option (a time-out) on the request.
  bool setOption(DWORD option, DWORD value);

  // The answer's status code as the text that WinInet gives, cut to what the
  // query returned. The buffer has room for more than the three digits of a
  // well-formed code, so that a longer one is seen whole rather than cut to
  // three digits. False when the query fails.
  bool queryStatusText(std::wstring* text);

 private:
  // Declared parent first, so that they are destroyed child first.
  ScopedInternetHandle internet_;
  ScopedInternetHandle connection_;
  ScopedInternetHandle request_;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_SERVER_REQUEST_H_
