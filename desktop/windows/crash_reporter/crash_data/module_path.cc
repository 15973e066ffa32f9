#include "desktop/windows/crash_reporter/crash_data/module_path.h"

#include <psapi.h>
#include <wchar.h>

#include <string_view>
#include <vector>

#include "runtime/logging.h"
#include "runtime/scoped_holder.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

constexpr DWORD kImagePathCapacity = MAX_PATH;  // 260 characters
constexpr DWORD kDeviceNameCapacity = MAX_PATH;

bool equalIgnoringCase(const wchar_t* a, int aLength, const wchar_t* b, int bLength) {
  return CompareStringOrdinal(a, aLength, b, bLength, TRUE) == CSTR_EQUAL;
}

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// "X:\..." (or "X:/..." where forward slashes separate too).
bool isDriveLetterPath(std::wstring_view path, bool forwardSlashes) {
  if (path.size() < 3 || path[1] != L':') return false;
  if (path[2] != L'\\' && !(forwardSlashes && path[2] == L'/')) return false;
  const wchar_t letter = static_cast<wchar_t>(path[0] | 0x20);
  return letter >= L'a' && letter <= L'z';
}

// "server\share\...": what follows the two separators of a share path. The
// server "." or "?" is one of the system's name spaces, not a host.
bool isServerSharePath(std::wstring_view rest, bool forwardSlashes) {
  const wchar_t* separators = forwardSlashes ? L"\\/" : L"\\";
  const size_t serverEnd = rest.find_first_of(separators);
  if (serverEnd == std::wstring_view::npos || serverEnd == 0) return false;
  const std::wstring_view server = rest.substr(0, serverEnd);
  if (server == L"." || server == L"?") return false;
  const size_t shareEnd = rest.find_first_of(separators, serverEnd + 1);
  return shareEnd != std::wstring_view::npos && shareEnd > serverEnd + 1;
}

enum class PathKind { Disk, Share, Other };

// The kind of `path`, and in `plain` its form without the long-path prefix
// ("\\?\C:\x" is "C:\x", "\\?\UNC\server\share\x" is "\\server\share\x").
// Behind that prefix the system takes the path as it stands: only
// backslashes separate.
PathKind classifyPath(const std::wstring& path, std::wstring* plain) {
  constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
  constexpr std::wstring_view kLongSharePrefix = L"UNC\\";
  const std::wstring_view view(path);
  if (view.substr(0, kLongPrefix.size()) == kLongPrefix) {
    const std::wstring_view rest = view.substr(kLongPrefix.size());
    if (isDriveLetterPath(rest, false)) {
      plain->assign(rest);
      return PathKind::Disk;
    }
    if (rest.size() > kLongSharePrefix.size() &&
        equalIgnoringCase(rest.data(), static_cast<int>(kLongSharePrefix.size()),
                          kLongSharePrefix.data(), static_cast<int>(kLongSharePrefix.size())) &&
        isServerSharePath(rest.substr(kLongSharePrefix.size()), false)) {
      plain->assign(L"\\\\");
      plain->append(rest.substr(kLongSharePrefix.size()));
      return PathKind::Share;
    }
    return PathKind::Other;
  }
  *plain = path;
  if (isDriveLetterPath(view, true)) return PathKind::Disk;
  if (view.size() >= 2 && isSeparator(view[0]) && isSeparator(view[1]) &&
      isServerSharePath(view.substr(2), true)) {
    return PathKind::Share;
  }
  return PathKind::Other;
}

}  // namespace

ModulePathUse moduleFilePathUse(const std::wstring& path, const std::wstring& imagePath) {
  std::wstring plain;
  switch (classifyPath(path, &plain)) {
    case PathKind::Disk:
      return ModulePathUse::Open;
    case PathKind::Other:
      return ModulePathUse::NotAFile;
    case PathKind::Share:
      break;
  }
  return isExecutablePath(plain, imagePath) ? ModulePathUse::Open : ModulePathUse::Share;
}

bool isExecutablePath(const std::wstring& path, const std::wstring& imagePath) {
  return !imagePath.empty() &&
         equalIgnoringCase(path.c_str(), static_cast<int>(path.size()), imagePath.c_str(),
                           static_cast<int>(imagePath.size()));
}

HANDLE openModuleFile(const std::wstring& path, const std::wstring& imagePath) {
  switch (moduleFilePathUse(path, imagePath)) {
    case ModulePathUse::Open:
      break;
    case ModulePathUse::NotAFile:
      TAVRA_LOG(INFO) << "Module path is not an ordinary file path: " << wideToUtf8(path);
      return INVALID_HANDLE_VALUE;
    case ModulePathUse::Share:
      TAVRA_LOG(INFO) << "Module path is on a network share and is not the executable: "
                      << wideToUtf8(path);
      return INVALID_HANDLE_VALUE;
  }
  ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.isValid()) {
    TAVRA_LOG(ERROR) << "CreateFile failed for " << wideToUtf8(path);
    return INVALID_HANDLE_VALUE;
  }
  // A reserved device name ("C:\dir\con") opens the device.
  if (GetFileType(file.get()) != FILE_TYPE_DISK) {
    TAVRA_LOG(INFO) << "Module file is not a disk file: " << wideToUtf8(path);
    return INVALID_HANDLE_VALUE;
  }
  return file.release();
}

DevicePathMatch devicePathOnDrive(const std::wstring& devicePath, const std::wstring& driveName,
                                  const std::wstring& deviceName, std::wstring* path) {
  const size_t nameLength = deviceName.size();
  if (nameLength == 0 || devicePath.size() <= nameLength) return DevicePathMatch::None;
  if (!equalIgnoringCase(devicePath.data(), static_cast<int>(nameLength), deviceName.data(),
                         static_cast<int>(nameLength)) ||
      devicePath[nameLength] != L'\\') {
    return DevicePathMatch::None;
  }
  const size_t restLength = devicePath.size() - nameLength;
  const size_t length = driveName.size() + restLength;
  if (length + 1 > kImagePathCapacity) {
    TAVRA_LOG(ERROR) << "max_path=" << kImagePathCapacity << ", path_length=" << length;
    return DevicePathMatch::TooLong;
  }
  *path = driveName + devicePath.substr(nameLength);
  return DevicePathMatch::Converted;
}

DevicePathMatch devicePathOnShare(const std::wstring& devicePath, std::wstring* path) {
  std::wstring share;
  const DevicePathMatch match = devicePathOnDrive(devicePath, L"\\", L"\\Device\\Mup", &share);
  if (match != DevicePathMatch::Converted) return match;
  // "\\" and a server name: a mapped drive's "\;..." or an empty name is none.
  if (share.size() < 3 || share[2] == L';' || share[2] == L'\\') return DevicePathMatch::None;
  *path = share;
  return DevicePathMatch::Converted;
}

bool getProcessImagePath(HANDLE process, std::wstring* path) {
  path->clear();
  wchar_t devicePath[kImagePathCapacity];
  const DWORD deviceLength = GetProcessImageFileNameW(process, devicePath, kImagePathCapacity);
  if (deviceLength == 0) {
    TAVRA_PLOG(ERROR) << "GetProcessImageFileName failed";
    return false;
  }
  const std::wstring device(
      devicePath, deviceLength < kImagePathCapacity ? deviceLength : kImagePathCapacity - 1);

  const DWORD needed = GetLogicalDriveStringsW(0, nullptr);
  if (needed == 0) {
    TAVRA_PLOG(ERROR) << "GetLogicalDriveStrings failed";
    return false;
  }
  // The extra character keeps the list terminated whatever the call leaves.
  std::vector<wchar_t> drives(static_cast<size_t>(needed) + 1, 0);
  const DWORD result = GetLogicalDriveStringsW(needed, drives.data());
  if (result == 0 || result > needed) {
    TAVRA_PLOG(ERROR) << "GetLogicalDriveStrings failed, result=" << result
                      << ", length=" << needed;
    return false;
  }
  // Each drive string ("C:\") ends in a NUL; an empty one ends the list.
  for (size_t start = 0; start < result && drives[start] != 0;) {
    size_t end = start;
    while (end < result && drives[end] != 0) ++end;
    if (end - start >= 2) {
      const std::wstring driveName = {drives[start], drives[start + 1]};
      wchar_t deviceName[kDeviceNameCapacity];
      const DWORD nameResult = QueryDosDeviceW(driveName.c_str(), deviceName, kDeviceNameCapacity);
      if (nameResult == 0) {
        TAVRA_PLOG(ERROR) << "QueryDosDevice failed for " << wideToUtf8(driveName);
      } else {
        // The first of the names that the call filled in, never read past
        // the buffer.
        const std::wstring firstName(deviceName, wcsnlen(deviceName, kDeviceNameCapacity));
        const DevicePathMatch match = devicePathOnDrive(device, driveName, firstName, path);
        if (match != DevicePathMatch::None) return match == DevicePathMatch::Converted;
      }
    }
    start = end + 1;
  }
  const DevicePathMatch match = devicePathOnShare(device, path);
  if (match != DevicePathMatch::None) return match == DevicePathMatch::Converted;
  TAVRA_PLOG(INFO) << "Could not convert process image file name";
  return false;
}

}  // namespace tavra
