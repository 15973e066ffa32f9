#include "desktop/windows/crash_reporter/upload/multipart_upload.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <wininet.h>

#include <memory>
#include <new>

#include "desktop/windows/crash_reporter/upload/crash_server_url.h"
#include "desktop/windows/crash_reporter/upload/deadline_task.h"
#include "desktop/windows/crash_reporter/upload/server_answer.h"
#include "desktop/windows/crash_reporter/upload/server_request.h"
#include "runtime/scoped_holder.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

constexpr wchar_t kContentTypeHeader[] = L"Content-Type: multipart/form-data; boundary=";
constexpr DWORD kContentLengthUnits = 64 / sizeof(wchar_t);
constexpr uint64_t kStatusOk = 200;

// Reads the whole file, raw, with any sharing allowed: the bytes as they are
// on disk.
bool readWholeFile(const std::wstring& path, std::unique_ptr<char[]>* bytes, size_t* size) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.isValid()) return false;
  LARGE_INTEGER fileSize;
  if (!GetFileSizeEx(file.get(), &fileSize) || fileSize.QuadPart < 0 ||
      fileSize.QuadPart > 0xFFFFFFFFLL) {
    return false;
  }
  const size_t total = static_cast<size_t>(fileSize.QuadPart);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[total == 0 ? 1 : total]);
  if (!buffer) return false;
  size_t done = 0;
  while (done < total) {
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer.get() + done, static_cast<DWORD>(total - done), &read,
                  nullptr) ||
        read == 0) {
      return false;
    }
    done += read;
  }
  *bytes = std::move(buffer);
  *size = total;
  return true;
}

unsigned drawFromRand(void* /*context*/) { return static_cast<unsigned>(rand()); }

struct UploadOutcome {
  bool accepted = false;
  bool statusReceived = false;
  int32_t statusCode = 0;
  std::string response;
};

// Reads the answer's body: false when a read fails, when it is longer than
// kMaxUploadResponseBytes, or when it differs from its Content-Length.
bool readResponse(HINTERNET request, std::string* response) {
  bool haveExpected = false;
  uint64_t expected = 0;
  wchar_t lengthText[kContentLengthUnits] = {};
  DWORD length = (kContentLengthUnits - 1) * sizeof(wchar_t);
  if (HttpQueryInfoW(request, HTTP_QUERY_CONTENT_LENGTH, lengthText, &length, nullptr)) {
    const DWORD units = length / sizeof(wchar_t);
    std::wstring text(lengthText,
                      units < kContentLengthUnits - 1 ? units : kContentLengthUnits - 1);
    text.resize(wcsnlen(text.c_str(), text.size()));
    // A length that is not a plain number cannot be checked against.
    if (!parseDecimalField(text, &expected) || expected > kMaxUploadResponseBytes) return false;
    haveExpected = true;
  }
  std::string bytes;
  bool lastReadFailed = false;
  for (;;) {
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) return false;
    if (available == 0) break;
    if (available > kMaxUploadResponseBytes - bytes.size()) return false;
    const size_t start = bytes.size();
    bytes.resize(start + available);
    DWORD read = 0;
    const BOOL ok = InternetReadFile(request, &bytes[start], available, &read);
    bytes.resize(start + (ok ? read : 0));
    if (!ok || read == 0) {
      lastReadFailed = !ok;
      break;
    }
  }
  if (lastReadFailed) return false;
  if (haveExpected && bytes.size() != expected) return false;
  *response = std::move(bytes);
  return true;
}

class UploadTask : public DeadlineTask {
 public:
  UploadTask(const std::wstring& userAgent, const CrashServerUrl& url, const std::wstring& boundary,
             MultipartBody body, const uint32_t* timeoutMs, uint32_t stallTimeoutMs)
      : userAgent_(userAgent),
        url_(url),
        contentType_(kContentTypeHeader + boundary),
        body_(std::move(body)),
        hasTimeout_(timeoutMs != nullptr),
        timeoutMs_(timeoutMs != nullptr ? *timeoutMs : 0),
        stallTimeoutMs_(stallTimeoutMs) {}

  void run() override {
    ServerRequest request;
    if (!request.open(userAgent_, url_, L"POST")) return;
    // No line end is added, and a failure shows in the server's answer.
    HttpAddRequestHeadersW(request.request(), contentType_.c_str(), static_cast<DWORD>(-1),
                           HTTP_ADDREQ_FLAG_ADD);
    // A stalled server must not hold the upload for ever; these fail only
    // on a bad handle, which the send below reports.
    request.setOption(INTERNET_OPTION_CONNECT_TIMEOUT, stallTimeoutMs_);
    request.setOption(INTERNET_OPTION_SEND_TIMEOUT, stallTimeoutMs_);
    request.setOption(INTERNET_OPTION_RECEIVE_TIMEOUT, stallTimeoutMs_);
    request.setOption(INTERNET_OPTION_DATA_SEND_TIMEOUT, stallTimeoutMs_);
    request.setOption(INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, stallTimeoutMs_);
    if (hasTimeout_) {
      if (!request.setOption(INTERNET_OPTION_SEND_TIMEOUT, timeoutMs_)) {
        fputs("Could not unset send timeout, continuing...\n", stderr);
      }
      if (!request.setOption(INTERNET_OPTION_RECEIVE_TIMEOUT, timeoutMs_)) {
        fputs("Could not unset receive timeout, continuing...\n", stderr);
      }
    }
    if (!HttpSendRequestW(request.request(), nullptr, 0, body_.bytes.get(),
                          static_cast<DWORD>(body_.size))) {
      return;
    }
    std::wstring statusText;
    uint64_t status = 0;
    if (!request.queryStatusText(&statusText) || !parseDecimalField(statusText, &status) ||
        status > 999) {
      return;
    }
    outcome_.statusReceived = true;
    outcome_.statusCode = static_cast<int32_t>(status);
    if (status != kStatusOk) return;
    outcome_.accepted = readResponse(request.request(), &outcome_.response);
  }

  const UploadOutcome& outcome() const { return outcome_; }

 private:
  const std::wstring userAgent_;
  const CrashServerUrl url_;
  const std::wstring contentType_;
  const MultipartBody body_;
  const bool hasTimeout_;
  const DWORD timeoutMs_;
  const DWORD stallTimeoutMs_;
  UploadOutcome outcome_;
};

}  // namespace

Seam<uint32_t> uploadStallTimeoutSeam(kUploadStallTimeoutMs);
Seam<uint32_t> uploadTotalTimeoutSeam(kUploadTotalTimeoutMs);

bool sendMultipartUpload(const std::wstring& userAgentSuffix, const std::wstring& url,
                         const UploadParameters& parameters, const std::wstring& uploadFile,
                         const std::wstring& filePartName, const uint32_t* timeoutMs,
                         std::wstring* responseBody, int32_t* responseCode) {
  if (responseCode != nullptr) *responseCode = 0;
  if (!hasValidParameterNames(parameters)) return false;
  CrashServerUrl parts;
  if (!crackCrashServerUrl(url, &parts)) return false;

  std::unique_ptr<char[]> fileBytes;
  size_t fileSize = 0;
  if (!readWholeFile(uploadFile, &fileBytes, &fileSize)) return false;
  const std::string_view fileView(fileBytes.get(), fileSize);
  // Drawn here: rand() keeps its state per thread, and the upload job's
  // thread is the one whose uploads must differ.
  std::wstring boundary;
  if (!chooseMultipartBoundary(&drawFromRand, nullptr, parameters, uploadFile, filePartName,
                               fileView, wideToUtf8, &boundary)) {
    return false;
  }
  MultipartBody body;
  if (!buildMultipartBody(boundary, parameters, uploadFile, filePartName, fileView, wideToUtf8,
                          &body)) {
    return false;
  }
  fileBytes.reset();

  std::shared_ptr<UploadTask> task(
      new (std::nothrow) UploadTask(crashServerUserAgent(userAgentSuffix), parts, boundary,
                                    std::move(body), timeoutMs, uploadStallTimeoutSeam.get()));
  if (!task) return false;
  // Not started, for want of a thread or with too many abandoned ones, it
  // fails as a server that never answered.
  if (DeadlineTask::runWithin(task, uploadTotalTimeoutSeam.get()) != DeadlineResult::Done) {
    return false;
  }
  const UploadOutcome& outcome = task->outcome();
  if (responseCode != nullptr && outcome.statusReceived) *responseCode = outcome.statusCode;
  if (!outcome.accepted) return false;
  if (responseBody != nullptr) {
    const std::string& response = outcome.response;
    responseBody->assign(utf8ToWide(std::string_view(response.c_str(), strlen(response.c_str()))));
  }
  return true;
}

}  // namespace tavra
