#include "testing/browser_client/pipe_connection.h"

namespace tavra {

std::wstring reporterPipeName(uint32_t reporterProcessId) {
  return L"\\\\.\\pipe\\TavraCrashReporter" + std::to_wstring(reporterProcessId);
}

std::wstring readyEventName(uint32_t browserProcessId) {
  return L"TavraCrashReporterInitEvent" + std::to_wstring(browserProcessId);
}

bool PipeConnection::connect(const std::wstring& pipeName, DWORD timeoutMs) {
  close();
  const DWORD start = GetTickCount();
  for (;;) {
    HANDLE pipe = CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      pipe_.reset(pipe);
      break;
    }
    lastError_ = GetLastError();
    if (lastError_ != ERROR_PIPE_BUSY) return false;
    const DWORD elapsed = GetTickCount() - start;
    if (elapsed >= timeoutMs) {
      lastError_ = ERROR_TIMEOUT;
      return false;
    }
    // Zero would mean the pipe's default time-out, hence the check above.
    if (!WaitNamedPipeW(pipeName.c_str(), timeoutMs - elapsed)) {
      lastError_ = GetLastError();
      if (lastError_ == ERROR_FILE_NOT_FOUND) return false;
      // A time-out is found by the next round; another client may simply
      // have taken the instance first.
    }
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) {
    lastError_ = GetLastError();
    close();
    return false;
  }
  event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event_.isValid()) {
    lastError_ = GetLastError();
    close();
    return false;
  }
  return true;
}

IoResult PipeConnection::write(const void* data, DWORD size, DWORD timeoutMs) {
  if (!pipe_.isValid()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return IoResult::Failed;
  }
  overlapped_ = OVERLAPPED();
  overlapped_.hEvent = event_.get();
  DWORD transferred = 0;
  return finish(WriteFile(pipe_.get(), data, size, &transferred, &overlapped_), &transferred,
                timeoutMs);
}

IoResult PipeConnection::read(void* buffer, DWORD capacity, DWORD* transferred, DWORD timeoutMs) {
  *transferred = 0;
  if (!pipe_.isValid()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return IoResult::Failed;
  }
  overlapped_ = OVERLAPPED();
  overlapped_.hEvent = event_.get();
  return finish(ReadFile(pipe_.get(), buffer, capacity, transferred, &overlapped_), transferred,
                timeoutMs);
}

IoResult PipeConnection::finish(BOOL started, DWORD* transferred, DWORD timeoutMs) {
  if (!started) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) {
      lastError_ = error;
      return IoResult::Failed;
    }
    if (WaitForSingleObject(event_.get(), timeoutMs) != WAIT_OBJECT_0) {
      CancelIoEx(pipe_.get(), &overlapped_);
      GetOverlappedResult(pipe_.get(), &overlapped_, transferred, TRUE);
      lastError_ = ERROR_TIMEOUT;
      return IoResult::TimedOut;
    }
  }
  if (!GetOverlappedResult(pipe_.get(), &overlapped_, transferred, FALSE)) {
    lastError_ = GetLastError();
    return IoResult::Failed;
  }
  return IoResult::Ok;
}

bool PipeConnection::serverHungUp() const {
  return lastError_ == ERROR_BROKEN_PIPE || lastError_ == ERROR_PIPE_NOT_CONNECTED ||
         lastError_ == ERROR_NO_DATA;
}

void PipeConnection::close() {
  pipe_.reset();
  event_.reset();
}

}  // namespace tavra
