// One HTTP request to the crash server through WinInet: the session, the
// connection and the request handles, opened in that order and closed in the
// reverse one on every path.
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

class ServerRequest {
 public:
  ServerRequest() = default;
  // Closes the request, then the connection, then the session.
  ~ServerRequest() = default;
  ServerRequest(const ServerRequest&) = delete;
  ServerRequest& operator=(const ServerRequest&) = delete;

  // InternetOpenW with `userAgent` and the system's proxy settings,
  // InternetConnectW to the URL's host and port for HTTP, and
  // HttpOpenRequestW for `verb` on the URL's path with `flags`. False at the
  // first failure; what was opened is closed on destruction.
  bool open(const std::wstring& userAgent, const CrashServerUrl& url, const wchar_t* verb,
            DWORD flags);

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
