// What a module's file holds, read with the system's own structure
// definitions and version functions rather than the reporter's parser: what
// the tests of module inspection and of the process snapshot compare with.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_FILE_FACTS_TEST_SUPPORT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_FILE_FACTS_TEST_SUPPORT_H_

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "runtime/file_util.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace testing_support {

struct ModuleHeaders {
  uint32_t timestamp = 0;
  // BaseOfCode + SizeOfCode: the code range's size from the module's base.
  uint32_t codeSize = 0;
};

// False when the file cannot be read or has no valid 32-bit headers.
inline bool readModuleHeaders(const std::wstring& path, ModuleHeaders* headers) {
  std::string bytes;
  if (!readFileToString(path, &bytes) || bytes.size() < sizeof(IMAGE_DOS_HEADER)) return false;
  IMAGE_DOS_HEADER dos;
  std::memcpy(&dos, bytes.data(), sizeof(dos));
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
      static_cast<size_t>(dos.e_lfanew) + sizeof(IMAGE_NT_HEADERS32) > bytes.size()) {
    return false;
  }
  IMAGE_NT_HEADERS32 nt;
  std::memcpy(&nt, bytes.data() + dos.e_lfanew, sizeof(nt));
  if (nt.Signature != IMAGE_NT_SIGNATURE) return false;
  headers->timestamp = nt.FileHeader.TimeDateStamp;
  headers->codeSize = nt.OptionalHeader.BaseOfCode + nt.OptionalHeader.SizeOfCode;
  return true;
}

// The FileVersion string of the file's first translation, as the system's
// version functions report it; empty when there is none.
inline std::string systemFileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return "";
  std::vector<char> info(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data())) return "";
  struct Translation {
    WORD language;
    WORD codePage;
  }* translation = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof(Translation)) {
    return "";
  }
  wchar_t query[64];
  std::swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", translation->language,
                translation->codePage);
  wchar_t* value = nullptr;
  if (!VerQueryValueW(info.data(), query, reinterpret_cast<void**>(&value), &length) ||
      value == nullptr) {
    return "";
  }
  return wideToAscii(std::wstring(value, wcsnlen(value, length)));
}

}  // namespace testing_support
}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_FILE_FACTS_TEST_SUPPORT_H_
