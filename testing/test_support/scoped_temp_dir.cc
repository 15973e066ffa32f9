#include "testing/test_support/scoped_temp_dir.h"

#include <windows.h>

#include <vector>

#include "runtime/file_util.h"

namespace tavra {

ScopedTempDir::ScopedTempDir() {
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return;
  static volatile LONG counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring candidate = joinPath(
        std::wstring(temp, length), L"tavra_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                        std::to_wstring(InterlockedIncrement(&counter)) + L"_" +
                                        std::to_wstring(GetTickCount()));
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
  }
}

ScopedTempDir::~ScopedTempDir() {
  if (!path_.empty()) removeTree(path_);
}

void ScopedTempDir::removeTree(const std::wstring& dir) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(joinPath(dir, L"*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring child = joinPath(dir, name);
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        removeTree(child);
      } else {
        SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(child.c_str());
      }
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(dir.c_str());
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value)
    : name_(name), hadValue_(false) {
  DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
  if (size > 0) {
    std::vector<wchar_t> buffer(size);
    DWORD length = GetEnvironmentVariableW(name, buffer.data(), size);
    if (length < size) {
      oldValue_.assign(buffer.data(), length);
      hadValue_ = true;
    }
  }
  SetEnvironmentVariableW(name, value);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  SetEnvironmentVariableW(name_.c_str(), hadValue_ ? oldValue_.c_str() : nullptr);
}

}  // namespace tavra
