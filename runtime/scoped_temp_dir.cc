#include "runtime/scoped_temp_dir.h"

#include <windows.h>

#include "runtime/file_util.h"
#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

LONG volatile g_counter = 0;

}  // namespace

ScopedTempDir::~ScopedTempDir() { remove(); }

bool ScopedTempDir::create(const std::wstring& prefix) {
  if (isValid()) return false;
  wchar_t temp[MAX_PATH + 1] = {};
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  if (length == 0 || length > MAX_PATH) return false;
  // Process id, tick count and a counter make the name unique across the
  // processes that run tests side by side; a clash is simply retried.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::wstring name = prefix + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(GetTickCount()) + L"-" +
                        std::to_wstring(InterlockedIncrement(&g_counter));
    std::wstring candidate = joinPath(temp, name);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool ScopedTempDir::remove() {
  if (!isValid()) return true;
  bool gone = deleteDirectoryRecursively(path_);
  if (gone) path_.clear();
  return gone;
}

bool deleteDirectoryRecursively(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    if (attributes & FILE_ATTRIBUTE_READONLY) {
      SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    return DeleteFileW(path.c_str()) != 0;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW data;
    ScopedFindHandle find(FindFirstFileW(joinPath(path, L"*").c_str(), &data));
    if (find.isValid()) {
      do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        deleteDirectoryRecursively(joinPath(path, name));
      } while (FindNextFileW(find.get(), &data));
    }
  }
  RemoveDirectoryW(path.c_str());
  return !pathExists(path);
}

}  // namespace tavra
