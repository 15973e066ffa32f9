#include "desktop/windows/crash_reporter/upload/crash_server_url.h"

#include <windows.h>
#include <wininet.h>

namespace tavra {
namespace {

constexpr DWORD kSchemeUnits = 16;
constexpr DWORD kHostUnits = 256;
constexpr DWORD kPathUnits = 256;

}  // namespace

bool crackCrashServerUrl(const std::wstring& url, CrashServerUrl* parts) {
  wchar_t scheme[kSchemeUnits];
  wchar_t host[kHostUnits];
  wchar_t path[kPathUnits];
  // Only these three parts are asked for: without an extra-information
  // buffer the query stays with the path.
  URL_COMPONENTSW components = {};
  components.dwStructSize = sizeof(components);
  components.lpszScheme = scheme;
  components.dwSchemeLength = kSchemeUnits;
  components.lpszHostName = host;
  components.dwHostNameLength = kHostUnits;
  components.lpszUrlPath = path;
  components.dwUrlPathLength = kPathUnits;
  if (!InternetCrackUrlW(url.c_str(), static_cast<DWORD>(url.size()), 0, &components)) {
    return false;
  }
  // The lengths come back without the NUL; keep within the buffers whatever
  // they say.
  const std::wstring schemeText(scheme, components.dwSchemeLength < kSchemeUnits
                                            ? components.dwSchemeLength
                                            : kSchemeUnits - 1);
  bool secure;
  if (schemeText == L"https") {
    secure = true;
  } else if (schemeText == L"http") {
    secure = false;
  } else {
    return false;
  }
  parts->host.assign(host, components.dwHostNameLength < kHostUnits ? components.dwHostNameLength
                                                                    : kHostUnits - 1);
  parts->path.assign(
      path, components.dwUrlPathLength < kPathUnits ? components.dwUrlPathLength : kPathUnits - 1);
  parts->port = components.nPort;
  parts->secure = secure;
  return true;
}

std::wstring crashServerUserAgent(const std::wstring& editionSuffix) {
  return kCrashServerUserAgent + editionSuffix;
}

}  // namespace tavra
