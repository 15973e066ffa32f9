#include "desktop/windows/crash_reporter/lifecycle/crash_feedback_file.h"

#include <windows.h>

#include <stdio.h>

#include <string>

#include "runtime/scoped_lock.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

// Two crashes that write the shared file at once would each truncate it and
// then write from its start, leaving the longer line's tail behind the
// shorter one.
SrwLock g_feedbackFileLock;

}  // namespace

bool crashFeedbackGuid(const CrashAnnotations& annotations, bool logDirFromEnv,
                       std::wstring* guid) {
  if (!annotations.crashGuid && !logDirFromEnv) return false;
  std::wstring text = annotations.crashGuid.value_or(std::wstring());
  if (text.empty() && logDirFromEnv) text = L"0";
  *guid = text;
  return true;
}

bool writeCrashFeedbackFile(const std::wstring& path, const std::wstring& guid,
                            const std::wstring& location) {
  // The line goes out as UTF-8 bytes. Wide output of the C runtime in text
  // mode converts through the "C" locale, which has no byte for a character
  // above U+00FF: it ended the line there, dropped the rest of that text and
  // still reported success.
  const std::string line = wideToUtf8(guid) + "=" + wideToUtf8(location);
  ScopedSrwLock hold(&g_feedbackFileLock);
  FILE* file = _wfopen(path.c_str(), L"wt");
  if (file == nullptr) return false;
  const bool written = fwrite(line.data(), 1, line.size(), file) == line.size();
  return fclose(file) == 0 && written;
}

}  // namespace tavra
