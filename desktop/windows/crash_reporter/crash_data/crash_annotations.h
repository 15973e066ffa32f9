// One crash's annotations, read once from the crashed client's table into the
// values that the stages of its report use: the crash log's version, build
// and pairs, the report's origin, the active URL, whether the crashed process
// is the browser itself, its uptime and the GUID of its crash-feedback line.
//
// The table is the client's, copied out of its memory, and is untrusted:
// every name and value is read within its 64 units, whether or not it holds
// a NUL. No system header is used here; UTF-16 becomes UTF-8 through the
// runtime's converter, which turns ill-formed text into U+FFFD rather than
// failing.
//
// Threads: read on the thread that handles the crash, from the table that
// the server copied for it; the value then belongs to that crash, and the
// upload job keeps what it needs of it by copy. Nothing here is shared.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CRASH_ANNOTATIONS_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CRASH_ANNOTATIONS_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "desktop/windows/crash_reporter/server/client_annotation.h"

namespace tavra {

// Annotation names with a meaning of their own.
extern const wchar_t kProcessTimeAnnotation[];  // "ptime", added by the server
extern const wchar_t kActiveUrlAnnotation[];    // "active_url"
extern const wchar_t kCrashGuidAnnotation[];    // "crash_guid"
extern const wchar_t kVersionAnnotation[];      // "version"
extern const wchar_t kBuildAnnotation[];        // "build"
extern const wchar_t kVazeriTestAnnotation[];   // "vazeri_test"
extern const wchar_t kOriginAnnotation[];       // "origin"
extern const wchar_t kProcessTypeAnnotation[];  // "process_type"

// One report field: UTF-8 key and value.
using MetadataEntry = std::pair<std::string, std::string>;

// Where a single value is read, the first entry of its name counts; lists
// that a client spreads over several entries of one name are joined in
// table order.
struct CrashAnnotations {
  // The last "version" and "build" entries, even when empty (the crash log
  // then names stand-ins); empty when there is none.
  std::string version;
  std::string build;
  // The crash log's pairs: every entry with a valid name and a non-empty
  // value in table order, except the version, the build, the lists and the
  // values that go elsewhere ("ptime", "active_url", "crash_guid"); then the
  // joined lists, "vazeri_test" only when it is not empty.
  std::vector<MetadataEntry> pairs;
  // "VaZeri" when any "vazeri_test" entry has a value, else "Wren" when the
  // first "origin" entry is exactly "Wren", else empty.
  std::wstring origin;
  // The values of every "active_url" entry, joined: a long URL comes in
  // 64-unit pieces.
  std::wstring activeUrl;
  // The first "process_type" entry is exactly "browser".
  bool browserProcess = false;
  // Whole seconds of the first "ptime" entry (milliseconds in decimal): its
  // text without the last three characters; empty when it has three or fewer.
  std::wstring uptimeSeconds;
  // The first "crash_guid" entry, possibly empty; none without one.
  std::optional<std::wstring> crashGuid;
};

// Reads the table in one pass. An empty view, or one whose pointer is
// missing, gives what a table without entries gives.
CrashAnnotations readCrashAnnotations(const AnnotationView& view);

// The text of one name or value: up to its first NUL, at most 64 units.
// `units` points to the 64 units of an entry's name or value.
std::wstring_view annotationText(const wchar_t* units);

// True for a name of 1 to 63 units, each an ASCII letter or digit, '.', '-'
// or '_', ended by a NUL within the 64 units.
bool isValidAnnotationName(const wchar_t* name);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CRASH_ANNOTATIONS_H_
