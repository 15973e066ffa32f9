#include "testing/test_support/scoped_environment_variable.h"

#include <windows.h>

#include <vector>

namespace tavra {

std::wstring environmentVariable(const wchar_t* name, size_t maxLength) {
  std::vector<wchar_t> value(maxLength + 1);
  const DWORD length =
      GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  if (length == 0 || length > maxLength) return std::wstring();
  return std::wstring(value.data(), length);
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
