#include "desktop/windows/crash_reporter/upload/server_request.h"

namespace tavra {
namespace {

constexpr DWORD kStatusUnits = 16;

}  // namespace

bool ServerRequest::open(const std::wstring& userAgent, const CrashServerUrl& url,
                         const wchar_t* verb) {
  const DWORD flags = kServerRequestFlags | (url.secure ? INTERNET_FLAG_SECURE : 0);
  internet_.reset(
      InternetOpenW(userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!internet_.isValid()) return false;
  connection_.reset(InternetConnectW(internet_.get(), url.host.c_str(), url.port, nullptr, nullptr,
                                     INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection_.isValid()) return false;
  request_.reset(HttpOpenRequestW(connection_.get(), verb, url.path.c_str(), nullptr, nullptr,
                                  nullptr, flags, 0));
  return request_.isValid();
}

bool ServerRequest::setOption(DWORD option, DWORD value) {
  return InternetSetOptionW(request_.get(), option, &value, sizeof(value)) == TRUE;
}

bool ServerRequest::queryStatusText(std::wstring* text) {
  wchar_t status[kStatusUnits] = {};
  // One unit stays free, so the text is always terminated.
  DWORD length = (kStatusUnits - 1) * sizeof(wchar_t);
  if (!HttpQueryInfoW(request_.get(), HTTP_QUERY_STATUS_CODE, status, &length, nullptr)) {
    return false;
  }
  const DWORD units = length / sizeof(wchar_t);
  text->assign(status, units < kStatusUnits - 1 ? units : kStatusUnits - 1);
  // A query that reports the NUL in its length leaves it out of the text.
  const size_t end = text->find(L'\0');
  if (end != std::wstring::npos) text->resize(end);
  return true;
}

}  // namespace tavra
