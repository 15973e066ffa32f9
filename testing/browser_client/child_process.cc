#include "testing/browser_client/child_process.h"

#include <vector>

#include "runtime/file_util.h"

namespace tavra {

std::wstring siblingProgramPath(const std::wstring& fileName) {
  std::wstring dir;
  if (!getExecutableDirectory(&dir)) return fileName;
  return joinPath(dir, fileName);
}

ChildProcess::~ChildProcess() { terminate(); }

bool ChildProcess::start(const std::wstring& program, const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE childInput = nullptr;
  HANDLE parentInput = nullptr;
  HANDLE parentOutput = nullptr;
  HANDLE childOutput = nullptr;
  if (!CreatePipe(&childInput, &parentInput, &inheritable, 0)) return false;
  ScopedHandle childInputOwner(childInput);
  input_.reset(parentInput);
  if (!CreatePipe(&parentOutput, &childOutput, &inheritable, 0)) return false;
  ScopedHandle childOutputOwner(childOutput);
  output_.reset(parentOutput);
  // Only the child's ends are inherited.
  SetHandleInformation(parentInput, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(parentOutput, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput;
  startup.hStdOutput = childOutput;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(0);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  processId_ = info.dwProcessId;
  return true;
}

bool ChildProcess::sendLine(const std::string& line) {
  const std::string data = line + "\n";
  DWORD written = 0;
  return WriteFile(input_.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
         written == data.size();
}

bool ChildProcess::readLine(std::string* line, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  for (;;) {
    const size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      *line = pending_.substr(0, newline);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      pending_.erase(0, newline + 1);
      return true;
    }
    DWORD available = 0;
    if (!PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) {
      std::string chunk(available, '\0');
      DWORD read = 0;
      if (!ReadFile(output_.get(), &chunk[0], available, &read, nullptr)) return false;
      pending_.append(chunk, 0, read);
      continue;
    }
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(1);
  }
}

std::string ChildProcess::command(const std::string& line, DWORD timeoutMs) {
  std::string reply;
  if (!sendLine(line) || !readLine(&reply, timeoutMs)) return "";
  return reply;
}

bool ChildProcess::waitForExit(DWORD timeoutMs, DWORD* exitCode) {
  if (!process_.isValid()) return false;
  if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) return false;
  if (exitCode != nullptr) GetExitCodeProcess(process_.get(), exitCode);
  return true;
}

void ChildProcess::terminate() {
  if (process_.isValid() && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.get(), 1);
    WaitForSingleObject(process_.get(), 5000);
  }
}

}  // namespace tavra
