// Reading back what the reporter and the local crash server left in a
// folder: which files and folders, the files' lines, and who may reach them.
// Plain functions: any thread.
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

// The access list of the file or folder at `path` as SDDL ("D:P(A;;FA;;;SY)"),
// read back from the file system; "<unreadable>" when it cannot be read.
std::wstring accessListOf(const std::wstring& path);

// The entries of an access list in SDDL, sorted and joined, without the
// list's own flags ("D:P(A;;FA;;;SY)(A;;FR;;;WD)" gives
// "(A;;FA;;;SY)(A;;FR;;;WD)"): the same for lists that grant the same to the
// same. Wine keeps no access list of a file, only the Unix mode that it maps
// the list to, and reads back the entries of that mode, in its own order and
// unprotected; on Windows the list reads back as it was made.
std::wstring accessEntries(const std::wstring& sddl);

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_TEST_FILES_H_
