// A uniquely named directory under the user's temporary directory that is
// deleted, with everything in it, when its owner goes away.
#ifndef RUNTIME_SCOPED_TEMP_DIR_H_
#define RUNTIME_SCOPED_TEMP_DIR_H_

#include <string>

namespace tavra {

class ScopedTempDir {
 public:
  ScopedTempDir() = default;
  // Creates the directory at once; isValid() tells whether that worked.
  explicit ScopedTempDir(const std::wstring& prefix) { create(prefix); }
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  // Creates a new directory whose name starts with `prefix`. False when one
  // exists already or none can be made.
  bool create(const std::wstring& prefix = L"tavra");
  // Deletes the directory and its contents; true when nothing is left.
  bool remove();

  bool isValid() const { return !path_.empty(); }
  // The directory, without a trailing separator; empty before create().
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// Deletes a directory and everything below it. Links to directories are
// removed without following them. True when the path is gone afterwards.
bool deleteDirectoryRecursively(const std::wstring& path);

}  // namespace tavra

#endif  // RUNTIME_SCOPED_TEMP_DIR_H_
