// File and path helpers on UTF-16 paths.
#ifndef RUNTIME_FILE_UTIL_H_
#define RUNTIME_FILE_UTIL_H_

#include <windows.h>

#include <cstdint>
#include <string>

namespace tavra {

// Appends one path component, with a backslash between them unless `dir`
// ends in a separator already. An empty `dir` gives the component alone.
std::wstring joinPath(const std::wstring& dir, const std::wstring& component);
// The path without its last component and the separator before it; empty
// when there is no parent (a bare name, a drive root such as "C:\").
std::wstring dirName(const std::wstring& path);
// The last component, after the last backslash or slash.
std::wstring baseName(const std::wstring& path);
// Trailing separators removed, except the one of a drive root ("C:\").
std::wstring stripTrailingSeparators(const std::wstring& path);

bool pathExists(const std::wstring& path);
bool directoryExists(const std::wstring& path);

// Creates the directory and any missing parents, each with `security` (the
// default security when null). An existing directory counts as success and is
// left as it is; an existing file of that name does not.
bool createDirectoryWithParents(const std::wstring& path, SECURITY_ATTRIBUTES* security = nullptr);

// The absolute form of a path (GetFullPathNameW); false when it cannot be
// made.
bool makeAbsolutePath(const std::wstring& path, std::wstring* absolute);

struct FileInfo {
  bool isDirectory = false;
  // 100-nanosecond units since 1601, as FILETIME holds them.
  uint64_t lastWriteTime = 0;
  uint64_t size = 0;
};
bool getFileInfo(const std::wstring& path, FileInfo* info);

// Reads a whole file, refusing one larger than `maxSize` bytes.
bool readFileToString(const std::wstring& path, std::string* contents,
                      uint64_t maxSize = 64u * 1024 * 1024);
// Creates or truncates the file and writes `contents`.
bool writeFile(const std::wstring& path, const std::string& contents);
bool deleteFile(const std::wstring& path);

// The directory of the running executable (no trailing separator).
bool getExecutableDirectory(std::wstring* dir);
// The full path of the running executable.
bool getExecutablePath(std::wstring* path);
// The full path of a loaded module (the executable for null), of any length.
bool getModulePath(HMODULE module, std::wstring* path);

}  // namespace tavra

#endif  // RUNTIME_FILE_UTIL_H_
