// Test support: the local crash server that
// testing/crash_server_session/with_crash_server.sh starts beside each run of
// the upload tests. Sets its modes through its control address and reads the
// reports that it stored.
//
// An object belongs to the test's thread; it has no lock.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_LOCAL_CRASH_SERVER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_LOCAL_CRASH_SERVER_H_

#include <stdint.h>

#include <string>
#include <vector>

namespace tavra {

class LocalCrashServer {
 public:
  // Reads the server's address and report folder from the environment.
  // False when the program does not run beside a server.
  bool attach();

  // "http://127.0.0.1:<port>/".
  const std::wstring& url() const { return url_; }
  uint16_t port() const { return port_; }

  // Changes how the server answers the first request or the upload, e.g.
  // "unavailable", "status:302", "silent" or "slow-body:200" (the modes of
  // tools/crash_server --help). False when the server refuses the mode.
  bool setFirstRequestMode(const std::string& mode);
  bool setUploadMode(const std::string& mode);

  // The ids of the reports stored so far.
  std::vector<std::wstring> reportIds() const;
  // A file of a stored report: "fields.json", "metadata.json",
  // "first_request.json", "crashlog.txt", "archive.zip", "request_body.bin".
  bool readReportFile(const std::wstring& id, const std::wstring& name,
                      std::string* contents) const;

 private:
  bool control(const std::string& key, const std::string& mode);

  std::wstring url_;
  std::wstring storage_;
  uint16_t port_ = 0;
};

// Sends `request` to 127.0.0.1:`port` over a plain socket and reads the
// answer until the server closes. False when no connection or no answer.
bool exchangeRawHttp(uint16_t port, const std::string& request, std::string* answer);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_UPLOAD_LOCAL_CRASH_SERVER_H_
