#include "desktop/windows/crash_reporter/upload/first_request.h"

#include <windows.h>
#include <wininet.h>
#include <string.h>

#include <memory>
#include <new>

#include "desktop/windows/crash_reporter/upload/crash_server_url.h"
#include "desktop/windows/crash_reporter/upload/deadline_task.h"
#include "desktop/windows/crash_reporter/upload/server_answer.h"
#include "desktop/windows/crash_reporter/upload/server_request.h"

namespace tavra {

const wchar_t kCrashUrlHeaderName[] = L"X-Tavra-Crash-URL";
const wchar_t kOriginHeaderName[] = L"X-Origin";
const wchar_t kCrashSignatureHeaderName[] = L"X-Tavra-Crash-Signature";

namespace {

constexpr wchar_t kLocationHeaderName[] = L"Location";
// Room for "Location" and its NUL: the query's first try.
constexpr DWORD kFirstLocationBytes = sizeof(kLocationHeaderName);
static_assert(kFirstLocationBytes == 18, "the first location buffer holds the header's name");

struct FirstRequestAnswer {
  FirstRequestResult result = FirstRequestResult::NoId;
  std::wstring id;
  std::wstring location;
};

// The text goes into a header line as it is but for control characters: a
// line end in it would end our line and start a header of its own.
bool addHeader(HINTERNET request, const wchar_t* name, const std::wstring& text) {
  std::wstring line = name;
  line += L": ";
  for (wchar_t c : text) line.push_back(c < 0x20 && c != L'\t' ? L' ' : c);
  line += L"\r\n";
  return HttpAddRequestHeadersW(request, line.c_str(), static_cast<DWORD>(line.size()),
                                HTTP_ADDREQ_FLAG_ADD_IF_NEW) == TRUE;
}

bool queryLocation(HINTERNET request, std::wstring* location) {
  // The custom query takes the header's name in the buffer and returns the
  // value in its place.
  wchar_t small[kFirstLocationBytes / sizeof(wchar_t)];
  memcpy(small, kLocationHeaderName, sizeof(kLocationHeaderName));
  DWORD length = kFirstLocationBytes;
  if (HttpQueryInfoW(request, HTTP_QUERY_CUSTOM, small, &length, nullptr)) {
    small[sizeof(small) / sizeof(small[0]) - 1] = 0;
    location->assign(small);
    return true;
  }
  // The length may count the NUL. A longer location would not be usable.
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || length == 0 ||
      length > (kMaxLocationChars + 1) * sizeof(wchar_t)) {
    return false;
  }
  // The needed size in bytes, and a unit more for the NUL; never less than
  // the name that goes in first.
  size_t units = length / sizeof(wchar_t) + 1;
  const size_t nameUnits = sizeof(kLocationHeaderName) / sizeof(wchar_t);
  if (units < nameUnits) units = nameUnits;
  std::unique_ptr<wchar_t[]> large(new (std::nothrow) wchar_t[units]);
  if (!large) return false;
  memcpy(large.get(), kLocationHeaderName, sizeof(kLocationHeaderName));
  length = static_cast<DWORD>(units * sizeof(wchar_t));
  if (!HttpQueryInfoW(request, HTTP_QUERY_CUSTOM, large.get(), &length, nullptr)) return false;
  large[units - 1] = 0;
  location->assign(large.get());
  return true;
}

void exchange(const std::wstring& serverUrl, const std::wstring& editionSuffix,
              const std::wstring& crashUrl, const std::wstring& origin,
              const std::wstring& signatureHash, int32_t timeoutMs, FirstRequestAnswer* answer) {
  answer->result = FirstRequestResult::NoId;
  CrashServerUrl url;
  if (!crackCrashServerUrl(serverUrl, &url)) return;
  ServerRequest request;
  if (!request.open(crashServerUserAgent(editionSuffix), url, L"GET")) return;
  if (timeoutMs > 0) {
    // Every step that waits on the server gets the time-out; the results do
    // not matter, as the caller's deadline holds regardless.
    const DWORD timeout = static_cast<DWORD>(timeoutMs);
    request.setOption(INTERNET_OPTION_CONNECT_TIMEOUT, timeout);
    request.setOption(INTERNET_OPTION_SEND_TIMEOUT, timeout);
    request.setOption(INTERNET_OPTION_RECEIVE_TIMEOUT, timeout);
    request.setOption(INTERNET_OPTION_DATA_SEND_TIMEOUT, timeout);
    request.setOption(INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, timeout);
  }
  if (!crashUrl.empty() && !addHeader(request.request(), kCrashUrlHeaderName, crashUrl)) return;
  if (!origin.empty() && !addHeader(request.request(), kOriginHeaderName, origin)) return;
  if (!signatureHash.empty() &&
      !addHeader(request.request(), kCrashSignatureHeaderName, signatureHash)) {
    return;
  }
  if (!HttpSendRequestW(request.request(), nullptr, 0, nullptr, 0)) return;

  std::wstring status;
  if (!request.queryStatusText(&status)) return;
  if (status == L"503") {
    answer->result = FirstRequestResult::ServiceUnavailable;
    return;
  }
  if (status != L"303") return;
  std::wstring location;
  std::wstring id;
  // The location goes on to the browser: an unusable one is no id at all.
  if (!queryLocation(request.request(), &location) || !isUsableLocation(location) ||
      !findReportId(location, &id)) {
    return;
  }
  answer->id = std::move(id);
  answer->location = std::move(location);
  answer->result = FirstRequestResult::IdReceived;
}

class FirstRequestTask : public DeadlineTask {
 public:
  FirstRequestTask(const std::wstring& serverUrl, const std::wstring& editionSuffix,
                   const std::wstring& crashUrl, const std::wstring& origin,
                   const std::wstring& signatureHash, int32_t timeoutMs)
      : serverUrl_(serverUrl),
        editionSuffix_(editionSuffix),
        crashUrl_(crashUrl),
        origin_(origin),
        signatureHash_(signatureHash),
        timeoutMs_(timeoutMs) {}

  void run() override {
    exchange(serverUrl_, editionSuffix_, crashUrl_, origin_, signatureHash_, timeoutMs_, &answer_);
  }
  const FirstRequestAnswer& answer() const { return answer_; }

 private:
  // Copies: the caller's strings may be gone before a late request ends.
  const std::wstring serverUrl_;
  const std::wstring editionSuffix_;
  const std::wstring crashUrl_;
  const std::wstring origin_;
  const std::wstring signatureHash_;
  const int32_t timeoutMs_;
  FirstRequestAnswer answer_;
};

}  // namespace

FirstRequestResult sendFirstRequest(const std::wstring& serverUrl,
                                    const std::wstring& editionSuffix, const std::wstring& crashUrl,
                                    const std::wstring& origin, std::wstring* id,
                                    std::wstring* location, int32_t timeoutMs,
                                    const std::wstring& signatureHash) {
  FirstRequestAnswer answer;
  if (timeoutMs > 0) {
    std::shared_ptr<FirstRequestTask> task(new (std::nothrow) FirstRequestTask(
        serverUrl, editionSuffix, crashUrl, origin, signatureHash, timeoutMs));
    if (!task) return FirstRequestResult::NoId;
    const DeadlineResult run = DeadlineTask::runWithin(task, static_cast<uint32_t>(timeoutMs));
    if (run == DeadlineResult::BoundReached) return FirstRequestResult::Skipped;
    if (run != DeadlineResult::Done) return FirstRequestResult::NoId;
    answer = task->answer();
  } else {
    exchange(serverUrl, editionSuffix, crashUrl, origin, signatureHash, timeoutMs, &answer);
  }
  if (answer.result == FirstRequestResult::IdReceived) {
    *id = answer.id;
    *location = answer.location;
  }
  return answer.result;
}

}  // namespace tavra
