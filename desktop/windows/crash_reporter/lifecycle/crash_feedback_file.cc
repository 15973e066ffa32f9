#include "desktop/windows/crash_reporter/lifecycle/crash_feedback_file.h"

#include <windows.h>

#include <stdio.h>

#include <string>

#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "runtime/scoped_lock.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

// Two crashes that write the shared file at once would each truncate it and
// then write from its start, leaving the longer line's tail behind the
// shorter one.
SrwLock g_feedbackFileLock;

}  // namespace

bool crashFeedbackGuid(const AnnotationView& view, bool logDirFromEnv, std::wstring* guid) {
  // The value fills all 64 units without a NUL when it is that long: it is
  // read within them, never as a C string.
  const wchar_t* value = findAnnotation(view, kCrashGuidAnnotation);
  std::wstring text;
  if (value != nullptr) text.assign(annotationText(value));
  if (text.empty() && logDirFromEnv) text = L"0";
  if (value == nullptr && !logDirFromEnv) return false;
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
