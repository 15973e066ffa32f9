#include "testing/test_support/test_files.h"

#include <windows.h>

#include <algorithm>
#include <sstream>

#include "runtime/file_util.h"

namespace tavra {

std::vector<std::wstring> filesIn(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(joinPath(dir, L"*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> readTextLines(const std::wstring& path) {
  std::vector<std::string> lines;
  std::string contents;
  if (!readFileToString(path, &contents)) return lines;
  std::istringstream in(contents);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace tavra
