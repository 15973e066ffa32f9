// Makes a folder this process's current directory for the holder's lifetime,
// as the reporter works by relative names in its crash directory.
//
// The current directory is the whole process's: one holder at a time, on the
// test's thread.
#ifndef TESTING_TEST_SUPPORT_SCOPED_CURRENT_DIRECTORY_H_
#define TESTING_TEST_SUPPORT_SCOPED_CURRENT_DIRECTORY_H_

#include <string>

namespace tavra {

class ScopedCurrentDirectory {
 public:
  ScopedCurrentDirectory() = default;
  // The directory that was current before `enter` comes back.
  ~ScopedCurrentDirectory();
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

  // Makes `dir` current; false when it cannot be. Once only.
  bool enter(const std::wstring& dir);

 private:
  std::wstring previous_;
  bool entered_ = false;
};

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_SCOPED_CURRENT_DIRECTORY_H_
