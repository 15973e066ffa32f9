// Reading back what the reporter and the local crash server left in a
// folder: which files and folders, and the files' lines. Plain functions:
// any thread.
#ifndef TESTING_TEST_SUPPORT_TEST_FILES_H_
#define TESTING_TEST_SUPPORT_TEST_FILES_H_

#include <string>
#include <vector>

namespace tavra {

// The names of the files (not folders) in `dir`, sorted; empty when it
// cannot be listed.
std::vector<std::wstring> filesIn(const std::wstring& dir);

// The names of the folders in `dir` but "." and "..", sorted; empty when it
// cannot be listed.
std::vector<std::wstring> foldersIn(const std::wstring& dir);

// The file's lines without their ends (LF or CR LF); empty when it cannot be
// read.
std::vector<std::string> readTextLines(const std::wstring& path);

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_TEST_FILES_H_
