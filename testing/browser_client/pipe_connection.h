// A client's end of a message-mode named pipe, with every operation bounded
// in time.
#ifndef TESTING_BROWSER_CLIENT_PIPE_CONNECTION_H_
#define TESTING_BROWSER_CLIENT_PIPE_CONNECTION_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "runtime/scoped_holder.h"

namespace tavra {

// "\\.\pipe\TavraCrashReporter" followed by the reporter's process id.
std::wstring reporterPipeName(uint32_t reporterProcessId);
// "TavraCrashReporterInitEvent" followed by the browser's process id: the
// event the browser creates and the reporter sets once its pipe is ready.
std::wstring readyEventName(uint32_t browserProcessId);

enum class IoResult {
  Ok,
  Failed,    // see lastError(): ERROR_BROKEN_PIPE or ERROR_PIPE_NOT_CONNECTED for a hang-up
  TimedOut,  // the operation was cancelled
};

class PipeConnection {
 public:
  PipeConnection() = default;
  ~PipeConnection() { close(); }
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  // Opens the pipe in message mode. While its only instance serves another
  // client, waits for it (WaitNamedPipeW) and tries again, until `timeoutMs`
  // has passed. False at once when no pipe of that name exists.
  bool connect(const std::wstring& pipeName, DWORD timeoutMs);
  bool isConnected() const { return pipe_.isValid(); }

  // One message each way.
  IoResult write(const void* data, DWORD size, DWORD timeoutMs);
  // `transferred` receives the length of the message read. A message longer
  // than `capacity` fails with ERROR_MORE_DATA.
  IoResult read(void* buffer, DWORD capacity, DWORD* transferred, DWORD timeoutMs);

  // True when the server hung up: the last failure was a broken or
  // disconnected pipe.
  bool serverHungUp() const;
  DWORD lastError() const { return lastError_; }
  HANDLE handle() const { return pipe_.get(); }
  void close();

 private:
  IoResult finish(BOOL started, DWORD* transferred, DWORD timeoutMs);

  ScopedHandle pipe_;
  ScopedHandle event_;
  OVERLAPPED overlapped_ = {};
  DWORD lastError_ = 0;
};

}  // namespace tavra

#endif  // TESTING_BROWSER_CLIENT_PIPE_CONNECTION_H_
