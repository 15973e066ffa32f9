#include "testing/test_support/scoped_current_directory.h"

#include <windows.h>

#include <vector>

namespace tavra {

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
  if (entered_) SetCurrentDirectoryW(previous_.c_str());
}

bool ScopedCurrentDirectory::enter(const std::wstring& dir) {
  if (entered_) return false;
  const DWORD size = GetCurrentDirectoryW(0, nullptr);
  if (size == 0) return false;
  std::vector<wchar_t> previous(size);
  const DWORD length = GetCurrentDirectoryW(size, previous.data());
  if (length == 0 || length >= size) return false;
  previous_.assign(previous.data(), length);
  entered_ = SetCurrentDirectoryW(dir.c_str()) != FALSE;
  return entered_;
}

}  // namespace tavra
