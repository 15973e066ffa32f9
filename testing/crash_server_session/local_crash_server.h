// Test support: the local crash server that
// testing/crash_server_session/with_crash_server.sh starts on 127.0.0.1 with
// a free port beside each run of a test program, and stops after it. Sets its
// modes through its control address, reads the lines it printed and the
// reports that it stored.
//
// An object belongs to the test's thread; it has no lock.
#ifndef TESTING_CRASH_SERVER_SESSION_LOCAL_CRASH_SERVER_H_
#define TESTING_CRASH_SERVER_SESSION_LOCAL_CRASH_SERVER_H_

#include <windows.h>

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "nlohmann/json.hpp"

namespace tavra {

// An address where no crash server listens: a reporter pointed there has its
// requests refused at once, as on a machine without a network.
extern const wchar_t kNoCrashServerUrl[];  // "http://127.0.0.1:1/"

// One report as the server stored it.
struct StoredReport {
  std::wstring id;
  // The form fields, in the order received.
  std::vector<std::pair<std::string, std::string>> fields;
  // "metadata.json": user agent, boundary, file name, the parts in order...
  nlohmann::json metadata;
  // "first_request.json" when the upload's "stacktraceId" came from this
  // server's first request; null otherwise.
  nlohmann::json firstRequest;
  std::string crashLog;  // "crashlog.txt", unpacked from the archive
  std::string archive;   // "archive.zip", the file part as received
  std::string body;      // "request_body.bin", the whole request body

  // The value of the form field `name`, or null when it was not sent.
  const std::string* field(const std::string& name) const;
};

class LocalCrashServer {
 public:
  // Reads the server's address, report folder and output file from the
  // environment. False when the program does not run beside a server.
  bool attach();

  // "http://127.0.0.1:<port>/".
  const std::wstring& url() const { return url_; }
  uint16_t port() const { return port_; }

  // Changes how the server answers the first request or the upload, e.g.
  // "unavailable", "status:302", "silent" or "slow-body:200" (the modes of
  // tools/crash_server --help). False when the server refuses the mode.
  bool setFirstRequestMode(const std::string& mode);
  bool setUploadMode(const std::string& mode);

  // The ids of the reports stored so far, sorted.
  std::vector<std::wstring> reportIds() const;
  // A file of a stored report: "fields.json", "metadata.json",
  // "first_request.json", "crashlog.txt", "archive.zip", "request_body.bin".
  bool readReportFile(const std::wstring& id, const std::wstring& name,
                      std::string* contents) const;
  // Every file of a stored report; false when one that every report has is
  // missing or not what it should be.
  bool readReport(const std::wstring& id, StoredReport* report) const;

  // The lines that the server printed on its standard output so far: where
  // it listens, then one "report ID: ..." line per stored report.
  std::vector<std::string> outputLines() const;
  // The ids of the "report ID: ..." lines printed so far, in order.
  std::vector<std::wstring> reportedIds() const;
  // Waits until the server has printed at least `count` report lines; false
  // when `timeoutMs` passed first. `ids`, when given, gets them all.
  bool waitForReports(size_t count, DWORD timeoutMs, std::vector<std::wstring>* ids) const;

 private:
  bool control(const std::string& key, const std::string& mode);

  std::wstring url_;
  std::wstring storage_;
  std::wstring output_;
  uint16_t port_ = 0;
};

// Sends `request` to 127.0.0.1:`port` over a plain socket and reads the
// answer until the server closes. False when no connection or no answer.
bool exchangeRawHttp(uint16_t port, const std::string& request, std::string* answer);

}  // namespace tavra

#endif  // TESTING_CRASH_SERVER_SESSION_LOCAL_CRASH_SERVER_H_
