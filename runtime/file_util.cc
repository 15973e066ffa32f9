#include "runtime/file_util.h"

#include <windows.h>

#include <algorithm>

#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Length of the root that a path starts with: "C:\" or "C:" (3 or 2), a
// leading separator (1), or 0.
size_t rootLength(const std::wstring& path) {
  if (path.size() >= 2 && path[1] == L':') {
    return path.size() >= 3 && isSeparator(path[2]) ? 3 : 2;
  }
  if (!path.empty() && isSeparator(path[0])) return 1;
  return 0;
}

}  // namespace

std::wstring joinPath(const std::wstring& dir, const std::wstring& component) {
  if (dir.empty()) return component;
  std::wstring joined = dir;
  if (!isSeparator(joined.back())) joined.push_back(L'\\');
  size_t skip = 0;
  while (skip < component.size() && isSeparator(component[skip])) ++skip;
  joined.append(component, skip, std::wstring::npos);
  return joined;
}

std::wstring stripTrailingSeparators(const std::wstring& path) {
  size_t root = rootLength(path);
  size_t end = path.size();
  while (end > root && isSeparator(path[end - 1])) --end;
  return path.substr(0, end);
}

std::wstring dirName(const std::wstring& path) {
  std::wstring trimmed = stripTrailingSeparators(path);
  size_t root = rootLength(trimmed);
  if (trimmed.size() <= root) return std::wstring();  // A root has no parent.
  size_t last = trimmed.find_last_of(L"\\/");
  if (last == std::wstring::npos || last < root) return trimmed.substr(0, root);
  return stripTrailingSeparators(trimmed.substr(0, std::max(last, root)));
}

std::wstring baseName(const std::wstring& path) {
  std::wstring trimmed = stripTrailingSeparators(path);
  size_t last = trimmed.find_last_of(L"\\/");
  return last == std::wstring::npos ? trimmed : trimmed.substr(last + 1);
}

bool pathExists(const std::wstring& path) {
  return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool directoryExists(const std::wstring& path) {
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool createDirectoryWithParents(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
  std::wstring target = stripTrailingSeparators(path);
  if (target.empty()) return false;
  if (directoryExists(target)) return true;
  if (pathExists(target)) return false;
  std::wstring parent = dirName(target);
  if (!parent.empty() && parent != target && !createDirectoryWithParents(parent, security)) {
    return false;
  }
  if (CreateDirectoryW(target.c_str(), security)) return true;
  // Another process may have made it in between.
  return directoryExists(target);
}

bool makeAbsolutePath(const std::wstring& path, std::wstring* absolute) {
  if (path.empty()) return false;
  DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return false;
  std::wstring buffer(needed, L'\0');
  DWORD written = GetFullPathNameW(path.c_str(), needed, &buffer[0], nullptr);
  if (written == 0 || written >= needed) return false;
  buffer.resize(written);
  *absolute = buffer;
  return true;
}

bool getFileInfo(const std::wstring& path, FileInfo* info) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    return false;
  }
  info->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  info->lastWriteTime = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                        data.ftLastWriteTime.dwLowDateTime;
  info->size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool readFileToString(const std::wstring& path, std::string* contents, uint64_t maxSize) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.isValid()) return false;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
      static_cast<uint64_t>(size.QuadPart) > maxSize) {
    return false;
  }
  std::string data;
  data.resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (done < data.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20));
    DWORD read = 0;
    if (!ReadFile(file.get(), &data[done], chunk, &read, nullptr)) return false;
    if (read == 0) break;  // The file shrank while being read.
    done += read;
  }
  data.resize(done);
  contents->swap(data);
  return true;
}

bool writeFile(const std::wstring& path, const std::string& contents) {
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.isValid()) return false;
  size_t done = 0;
  while (done < contents.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(contents.size() - done, 1u << 20));
    DWORD written = 0;
    if (!WriteFile(file.get(), contents.data() + done, chunk, &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

bool deleteFile(const std::wstring& path) { return DeleteFileW(path.c_str()) != 0; }

bool getModulePath(HMODULE module, std::wstring* path) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(module, &buffer[0], static_cast<DWORD>(buffer.size()));
    if (length == 0) return false;
    if (length < buffer.size()) {
      buffer.resize(length);
      *path = buffer;
      return true;
    }
    if (buffer.size() >= 32768) return false;
    buffer.resize(buffer.size() * 2);
  }
}

bool getExecutablePath(std::wstring* path) { return getModulePath(nullptr, path); }

bool getExecutableDirectory(std::wstring* dir) {
  std::wstring path;
  if (!getExecutablePath(&path)) return false;
  std::wstring parent = dirName(path);
  if (parent.empty()) return false;
  *dir = parent;
  return true;
}

}  // namespace tavra
