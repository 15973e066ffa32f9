// The named values that travel with a crash report, taken from the crashed
// client's annotation table: the version, build and key/value pairs that the
// crash log prints, and the single values that the first request and the
// feedback file need (origin, active URL, crash GUID).
//
// The table is the client's, copied out of its memory, and is untrusted:
// every name and value is read within its 64 units, whether or not it holds
// a NUL. No system header is used here; UTF-16 becomes UTF-8 through the
// runtime's converter, which turns ill-formed text into U+FFFD rather than
// failing. Each operation runs on the thread that handles the crash; a
// CrashMetadata belongs to that one crash, and the only shared state read is
// systemInfo(), which no longer changes then.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CRASH_METADATA_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CRASH_METADATA_H_

#include <cstdint>
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

// Stand-ins when the client named no version or build.
extern const char kUnknownVersion[];  // "0.0.0.0"
extern const char kUnknownBuild[];    // "-1"

// One report field: UTF-8 key and value.
using MetadataEntry = std::pair<std::string, std::string>;

// One crash's version, build and report fields, in the order added; a key
// may occur more than once.
struct CrashMetadata {
  std::string version;
  std::string build;
  std::vector<MetadataEntry> entries;
};

// The text of one name or value: up to its first NUL, at most 64 units.
// `units` points to the 64 units of an entry's name or value.
std::wstring_view annotationText(const wchar_t* units);

// True for a name of 1 to 63 units, each an ASCII letter or digit, '.', '-'
// or '_', ended by a NUL within the 64 units.
bool isValidAnnotationName(const wchar_t* name);

// The 64 units of the value of the first entry whose name equals `key`, or
// null. The value is NUL-terminated only when shorter than 64 units: read it
// through annotationText.
const wchar_t* findAnnotation(const AnnotationView& view, std::wstring_view key);

// Fills the version, the build and the first pairs of an empty `metadata`:
// the client's own pairs in table order, the joined list slots, then the
// five system pairs of systemInfo().
void buildCrashMetadata(const AnnotationView& view, CrashMetadata* metadata);

// Appends "mem_working_set_size", "mem_peak_working_set_size" and
// "mem_private_usage", each in unsigned decimal.
void appendMemoryFigures(uint32_t workingSetSize, uint32_t peakWorkingSetSize,
                         uint32_t privateUsage, CrashMetadata* metadata);

// "VaZeri" when any "vazeri_test" entry has a value, else "Wren" when the
// first "origin" entry is exactly "Wren", else empty.
std::wstring reportOrigin(const AnnotationView& view);

// The non-empty values of every "active_url" entry, joined in table order:
// a long URL comes in 64-unit pieces.
std::wstring collectActiveUrl(const AnnotationView& view);

// True when the first "process_type" entry is exactly "browser".
bool isBrowserProcess(const AnnotationView& view);

// Whole seconds of the first "ptime" entry (milliseconds in decimal): its
// text without the last three characters; empty when it has three or fewer.
std::wstring crashUptimeSeconds(const AnnotationView& view);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CRASH_METADATA_H_
