// Helpers for the tests of the reporter log and the log capture.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_REPORTER_LOG_TEST_SUPPORT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_REPORTER_LOG_TEST_SUPPORT_H_

#include <windows.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "runtime/file_util.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_temp_dir.h"

namespace tavra {
namespace testing_support {

// The names in a directory, "." and ".." left out.
inline std::vector<std::wstring> listDirectory(const std::wstring& path) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(joinPath(path, L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// A fresh directory under the temporary directory of the test's start,
// removed with everything in it at the end.
class ScopedTempDir : public tavra::ScopedTempDir {
 public:
  ScopedTempDir() : tavra::ScopedTempDir(L"tavra_log_test") {}
};

// The lines without their LF; an unterminated last line counts too.
inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// One line of the reporter log, taken apart; false when it is not of the form
// "[pid:tid:MMDD/HHMMSS:tick:SEVERITY:file(line)] message" (line end removed).
struct ParsedLogLine {
  unsigned long processId = 0;
  unsigned long threadId = 0;
  unsigned long tickCount = 0;
  std::string severity;
  std::string file;
  unsigned long line = 0;
  std::string message;
};

inline bool parseLogLine(const std::string& text, ParsedLogLine* parsed) {
  char date[5] = {};
  char time[7] = {};
  char severity[32] = {};
  int end = 0;
  if (sscanf(text.c_str(), "[%lu:%lu:%4[0-9]/%6[0-9]:%lu:%31[A-Z0-9]:%n", &parsed->processId,
             &parsed->threadId, date, time, &parsed->tickCount, severity, &end) != 6 ||
      end == 0 || strlen(date) != 4 || strlen(time) != 6) {
    return false;
  }
  size_t open = text.find('(', end);
  size_t close = text.find(")] ", end);
  if (open == std::string::npos || close == std::string::npos || close < open) return false;
  std::string number = text.substr(open + 1, close - open - 1);
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
  parsed->severity = severity;
  parsed->file = text.substr(end, open - end);
  parsed->line = std::stoul(number);
  parsed->message = text.substr(close + 3);
  return true;
}

// Starts a program of the build's bin directory (the test's own directory).
// Its standard error goes to `stderrPath` unless that is empty. The process
// handle; an invalid one when it could not be started.
inline ScopedHandle startProgram(const std::wstring& program, const std::wstring& arguments,
                                 const std::wstring& currentDirectory,
                                 const std::wstring& stderrPath) {
  std::wstring dir;
  if (!getExecutableDirectory(&dir)) return ScopedHandle();
  std::wstring commandLine = L"\"" + joinPath(dir, program) + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  ScopedHandle errorFile;
  if (!stderrPath.empty()) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    errorFile.reset(CreateFileW(stderrPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!errorFile.isValid()) return ScopedHandle();
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = errorFile.get();
  }
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, !stderrPath.empty(), 0, nullptr,
                      currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup,
                      &info)) {
    return ScopedHandle();
  }
  CloseHandle(info.hThread);
  return ScopedHandle(info.hProcess);
}

// The exit code, or -1 when the process did not run or end.
inline long waitForExit(const ScopedHandle& process) {
  if (!process.isValid() || WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) return -1;
  return static_cast<long>(code);
}

inline long runProgram(const std::wstring& program, const std::wstring& arguments,
                       const std::wstring& currentDirectory, const std::wstring& stderrPath) {
  return waitForExit(startProgram(program, arguments, currentDirectory, stderrPath));
}

}  // namespace testing_support
}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_REPORTER_LOG_TEST_SUPPORT_H_
