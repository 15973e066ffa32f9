#include "testing/browser_client/child_process.h"

#include <vector>

#include "runtime/file_util.h"

namespace tavra {

std::wstring siblingProgramPath(const std::wstring& fileName) {
  std::wstring dir;
  if (!getExecutableDirectory(&dir)) return fileName;
  return joinPath(dir, fileName);
}

bool startProgram(const std::wstring& program, const std::wstring& arguments,
                  const STARTUPINFOW* startup, ScopedHandle* process, uint32_t* processId) {
  STARTUPINFOW given = {};
  given.cb = sizeof(given);
  if (startup != nullptr) given = *startup;
  const std::wstring commandLine = L"\"" + program + L"\" " + arguments;
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(0);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, startup != nullptr, 0,
                      nullptr, nullptr, &given, &info)) {
    return false;
  }
  const ScopedHandle thread(info.hThread);
  process->reset(info.hProcess);
  *processId = info.dwProcessId;
  return true;
}

ChildProcess::~ChildProcess() { terminate(); }

bool ChildProcess::start(const std::wstring& program, const std::wstring& arguments) {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  ScopedHandle childInput;
  ScopedHandle childOutput;
  if (!CreatePipe(childInput.receive(), input_.receive(), &inheritable, 0) ||
      !CreatePipe(output_.receive(), childOutput.receive(), &inheritable, 0)) {
    return false;
  }
  // Only the child's ends are inherited.
  SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childInput.get();
  startup.hStdOutput = childOutput.get();
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  return startProgram(program, arguments, &startup, &process_, &processId_);
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
