// Helpers for the tests of the reporter log and the log capture.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_REPORTER_LOG_TEST_SUPPORT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_REPORTER_LOG_TEST_SUPPORT_H_

#include <windows.h>

#include <string>
#include <vector>

#include "runtime/file_util.h"
#include "runtime/scoped_handle.h"

namespace tavra {
namespace testing_support {

inline void removeTree(const std::wstring& path) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(joinPath(path, L"*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = joinPath(path, name);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(child);
      } else {
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(path.c_str());
}

// A fresh directory under the temporary directory of the test's start,
// removed with everything in it at the end.
class ScopedTempDir {
 public:
  ScopedTempDir() {
    static LONG counter = 0;
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) return;
    std::wstring path = std::wstring(temp, length) + L"tavra_log_test_" +
                        std::to_wstring(GetCurrentProcessId()) + L"_" +
                        std::to_wstring(InterlockedIncrement(&counter));
    if (createDirectoryWithParents(path)) path_ = path;
  }
  ~ScopedTempDir() {
    if (!path_.empty()) removeTree(path_);
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  bool isValid() const { return !path_.empty(); }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

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

inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // An unterminated last line.
      break;
    }
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
  std::string timeStamp;
  unsigned long tickCount = 0;
  std::string severity;
  std::string file;
  unsigned long line = 0;
  std::string message;
};

inline bool parseNumber(const std::string& text, size_t* at, unsigned long* value) {
  size_t start = *at;
  unsigned long result = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
    result = result * 10 + static_cast<unsigned long>(text[*at] - '0');
    ++*at;
  }
  *value = result;
  return *at > start && *at - start <= 10;
}

inline bool expectChar(const std::string& text, size_t* at, char c) {
  if (*at >= text.size() || text[*at] != c) return false;
  ++*at;
  return true;
}

inline bool parseLogLine(const std::string& text, ParsedLogLine* parsed) {
  size_t at = 0;
  if (!expectChar(text, &at, '[') || !parseNumber(text, &at, &parsed->processId) ||
      !expectChar(text, &at, ':') || !parseNumber(text, &at, &parsed->threadId) ||
      !expectChar(text, &at, ':')) {
    return false;
  }
  if (text.size() < at + 11) return false;
  parsed->timeStamp = text.substr(at, 11);
  for (size_t i = 0; i < 11; ++i) {
    char c = parsed->timeStamp[i];
    if (i == 4 ? c != '/' : (c < '0' || c > '9')) return false;
  }
  at += 11;
  if (!expectChar(text, &at, ':') || !parseNumber(text, &at, &parsed->tickCount) ||
      !expectChar(text, &at, ':')) {
    return false;
  }
  size_t colon = text.find(':', at);
  size_t open = text.find('(', at);
  if (colon == std::string::npos || open == std::string::npos || open < colon) return false;
  parsed->severity = text.substr(at, colon - at);
  parsed->file = text.substr(colon + 1, open - colon - 1);
  at = open + 1;
  if (!parseNumber(text, &at, &parsed->line) || !expectChar(text, &at, ')') ||
      !expectChar(text, &at, ']') || !expectChar(text, &at, ' ')) {
    return false;
  }
  parsed->message = text.substr(at);
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

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_REPORTER_LOG_TEST_SUPPORT_H_
