// A fresh folder under the temporary directory, removed with its contents.
#ifndef TESTING_TEST_SUPPORT_SCOPED_TEMP_DIR_H_
#define TESTING_TEST_SUPPORT_SCOPED_TEMP_DIR_H_

#include <string>

namespace tavra {

class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::wstring& path() const { return path_; }
  bool isValid() const { return !path_.empty(); }

  static void removeTree(const std::wstring& dir);

 private:
  std::wstring path_;
};

// Sets an environment variable of this process for the holder's lifetime;
// the old value (or its absence) comes back afterwards.
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

#endif  // TESTING_TEST_SUPPORT_SCOPED_TEMP_DIR_H_
