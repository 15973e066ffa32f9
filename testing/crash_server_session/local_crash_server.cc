#include "testing/crash_server_session/local_crash_server.h"

#include <winsock2.h>
#include <windows.h>

#include <stdlib.h>

#include "runtime/file_util.h"
#include "testing/test_support/scoped_environment_variable.h"
#include "testing/test_support/test_files.h"

namespace tavra {
namespace {

constexpr wchar_t kUrlVariable[] = L"TAVRA_TEST_CRASH_SERVER_URL";
constexpr wchar_t kStorageVariable[] = L"TAVRA_TEST_CRASH_SERVER_STORAGE";
constexpr wchar_t kOutputVariable[] = L"TAVRA_TEST_CRASH_SERVER_OUTPUT";
constexpr char kReportLinePrefix[] = "report ";
constexpr wchar_t kUrlStart[] = L"http://127.0.0.1:";

// Longer values are none of the server session's.
constexpr size_t kMaxVariableLength = 1023;

}  // namespace

const wchar_t kNoCrashServerUrl[] = L"http://127.0.0.1:1/";

const std::string* StoredReport::field(const std::string& name) const {
  for (const auto& each : fields) {
    if (each.first == name) return &each.second;
  }
  return nullptr;
}

bool LocalCrashServer::attach() {
  url_ = environmentVariable(kUrlVariable, kMaxVariableLength);
  storage_ = environmentVariable(kStorageVariable, kMaxVariableLength);
  output_ = environmentVariable(kOutputVariable, kMaxVariableLength);
  const size_t start = sizeof(kUrlStart) / sizeof(wchar_t) - 1;
  if (url_.compare(0, start, kUrlStart) != 0 || storage_.empty() || output_.empty()) return false;
  port_ = static_cast<uint16_t>(wcstoul(url_.c_str() + start, nullptr, 10));
  return port_ != 0;
}

bool LocalCrashServer::setFirstRequestMode(const std::string& mode) {
  return control("first_request", mode);
}

bool LocalCrashServer::setUploadMode(const std::string& mode) { return control("upload", mode); }

bool LocalCrashServer::control(const std::string& key, const std::string& mode) {
  const std::string body = "{\"" + key + "\": \"" + mode + "\"}";
  const std::string request =
      "POST /_control HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Type: application/json\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  std::string answer;
  return exchangeRawHttp(port_, request, &answer) && answer.compare(0, 12, "HTTP/1.1 200") == 0;
}

std::vector<std::wstring> LocalCrashServer::reportIds() const {
  std::vector<std::wstring> ids;
  for (const std::wstring& name : foldersIn(storage_)) {
    if (name[0] != L'.') ids.push_back(name);
  }
  return ids;
}

bool LocalCrashServer::readReportFile(const std::wstring& id, const std::wstring& name,
                                      std::string* contents) const {
  return readFileToString(joinPath(joinPath(storage_, id), name), contents);
}

bool LocalCrashServer::readReport(const std::wstring& id, StoredReport* report) const {
  report->id = id;
  std::string text;
  if (!readReportFile(id, L"fields.json", &text)) return false;
  // The fields keep the order in which they came.
  const nlohmann::ordered_json fields = nlohmann::ordered_json::parse(text, nullptr, false);
  if (!fields.is_object()) return false;
  report->fields.clear();
  for (const auto& field : fields.items()) {
    if (!field.value().is_string()) return false;
    report->fields.emplace_back(field.key(), field.value().get<std::string>());
  }
  if (!readReportFile(id, L"metadata.json", &text)) return false;
  report->metadata = nlohmann::json::parse(text, nullptr, false);
  if (!report->metadata.is_object()) return false;
  report->firstRequest = nullptr;
  if (readReportFile(id, L"first_request.json", &text)) {
    report->firstRequest = nlohmann::json::parse(text, nullptr, false);
  }
  report->body.clear();
  readReportFile(id, L"request_body.bin", &report->body);
  return readReportFile(id, L"crashlog.txt", &report->crashLog) &&
         readReportFile(id, L"archive.zip", &report->archive);
}

std::vector<std::string> LocalCrashServer::outputLines() const {
  std::vector<std::string> lines;
  std::string text;
  if (!readFileToString(output_, &text)) return lines;
  size_t start = 0;
  // A line still being written has no line end yet: it waits for the next
  // look.
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<std::wstring> LocalCrashServer::reportedIds() const {
  std::vector<std::wstring> ids;
  for (const std::string& line : outputLines()) {
    if (line.compare(0, sizeof(kReportLinePrefix) - 1, kReportLinePrefix) != 0) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const size_t start = sizeof(kReportLinePrefix) - 1;
    ids.push_back(std::wstring(line.begin() + start, line.begin() + colon));
  }
  return ids;
}

bool LocalCrashServer::waitForReports(size_t count, DWORD timeoutMs,
                                      std::vector<std::wstring>* ids) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    std::vector<std::wstring> reported = reportedIds();
    if (reported.size() >= count) {
      if (ids != nullptr) *ids = std::move(reported);
      return true;
    }
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

bool exchangeRawHttp(uint16_t port, const std::string& request, std::string* answer) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  bool ok = false;
  SOCKET connection = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (connection != INVALID_SOCKET) {
    // A server that never closes must not hang the test.
    const DWORD receiveTimeoutMs = 10000;
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO,
               reinterpret_cast<const char*>(&receiveTimeoutMs), sizeof(receiveTimeoutMs));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        send(connection, request.data(), static_cast<int>(request.size()), 0) ==
            static_cast<int>(request.size())) {
      char buffer[4096];
      int count;
      answer->clear();
      while ((count = recv(connection, buffer, sizeof(buffer), 0)) > 0) {
        answer->append(buffer, static_cast<size_t>(count));
      }
      ok = !answer->empty();
    }
    closesocket(connection);
  }
  WSACleanup();
  return ok;
}

}  // namespace tavra
