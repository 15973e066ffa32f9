// Reads an environment variable of this process, and sets one for a
// holder's lifetime. The environment is the whole process's: the test's
// thread sets it, while nothing else runs that reads it.
#ifndef TESTING_TEST_SUPPORT_SCOPED_ENVIRONMENT_VARIABLE_H_
#define TESTING_TEST_SUPPORT_SCOPED_ENVIRONMENT_VARIABLE_H_

#include <cstddef>
#include <string>

namespace tavra {

// The value of the environment variable `name`; empty when it is unset,
// empty, or longer than `maxLength` characters.
std::wstring environmentVariable(const wchar_t* name, size_t maxLength);

// The old value (or its absence) comes back afterwards. A null `value`
// removes the variable for the holder's lifetime.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::wstring name_;
  std::wstring oldValue_;
  bool hadValue_;
};

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_SCOPED_ENVIRONMENT_VARIABLE_H_
