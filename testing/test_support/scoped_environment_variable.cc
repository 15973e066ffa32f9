#include "testing/test_support/scoped_environment_variable.h"

#include <windows.h>

#include <vector>

namespace tavra {

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
