// Sets an environment variable of this process for the holder's lifetime.
#ifndef TESTING_TEST_SUPPORT_SCOPED_ENVIRONMENT_VARIABLE_H_
#define TESTING_TEST_SUPPORT_SCOPED_ENVIRONMENT_VARIABLE_H_

#include <string>

namespace tavra {

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
