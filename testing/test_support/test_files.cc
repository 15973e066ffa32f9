#include "testing/test_support/test_files.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <sstream>

#include "runtime/file_util.h"
#include "runtime/scoped_holder.h"

namespace tavra {

namespace {

// The entries of `dir` that are folders, or that are not, sorted.
std::vector<std::wstring> entriesIn(const std::wstring& dir, bool folders) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  ScopedFindHandle find(FindFirstFileW(joinPath(dir, L"*").c_str(), &data));
  if (!find.isValid()) return names;
  do {
    const std::wstring name = data.cFileName;
    const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (folder == folders && name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find.get(), &data));
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::vector<std::wstring> filesIn(const std::wstring& dir) { return entriesIn(dir, false); }

std::vector<std::wstring> foldersIn(const std::wstring& dir) { return entriesIn(dir, true); }

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

std::wstring accessListOf(const std::wstring& path) {
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  ScopedLocalMemory<wchar_t*> text;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, descriptor.receive()) != ERROR_SUCCESS ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor.get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION, text.receive(), nullptr)) {
    return L"<unreadable>";
  }
  return text.get();
}

std::wstring accessEntries(const std::wstring& sddl) {
  std::vector<std::wstring> entries;
  for (size_t open = sddl.find(L'('); open != std::wstring::npos; open = sddl.find(L'(', open)) {
    const size_t close = sddl.find(L')', open);
    if (close == std::wstring::npos) break;
    entries.push_back(sddl.substr(open, close + 1 - open));
    open = close;
  }
  std::sort(entries.begin(), entries.end());
  std::wstring joined;
  for (const std::wstring& entry : entries) joined += entry;
  return joined;
}

}  // namespace tavra
