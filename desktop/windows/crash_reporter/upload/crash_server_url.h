// The parts of the crash server's address that the first request and the
// upload connect with, and the user agent that both send.
//
// No state and no lock; any thread may call these.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_CRASH_SERVER_URL_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_CRASH_SERVER_URL_H_

#include <stdint.h>

#include <string>

namespace tavra {

struct CrashServerUrl {
  std::wstring host;
  // The path with the query, which stays with it.
  std::wstring path;
  uint16_t port = 0;
  bool secure = false;
};

// Splits `url` with InternetCrackUrlW into a scheme of at most 15 units and a
// host and a path (query included) of at most 255 units each. False when the
// URL does not split so, or when its scheme is neither "http" nor "https"
// exactly (letter case counts): such an address is never connected to.
bool crackCrashServerUrl(const std::wstring& url, CrashServerUrl* parts);

// The user agent of both requests, before the edition's suffix. The crash
// server tells the reporter's requests by it.
constexpr wchar_t kCrashServerUserAgent[] = L"TavraCrashReporter/1.0 (Windows)";

// kCrashServerUserAgent followed by `editionSuffix`.
std::wstring crashServerUserAgent(const std::wstring& editionSuffix);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_CRASH_SERVER_URL_H_
