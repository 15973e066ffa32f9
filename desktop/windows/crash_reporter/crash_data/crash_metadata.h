// The named values that travel with a crash report in its crash log: the
// version, the build and the key/value pairs, made of the crash's annotations
// (crash_annotations.h), the system description and the memory figures.
//
// Each operation runs on the thread that handles the crash; a CrashMetadata
// belongs to that one crash. The system description is given, and is only
// read.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CRASH_METADATA_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CRASH_METADATA_H_

#include <cstdint>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/crash_annotations.h"
#include "desktop/windows/crash_reporter/crash_data/system_info.h"

namespace tavra {

// Stand-ins when the client named no version or build.
extern const char kUnknownVersion[];  // "0.0.0.0"
extern const char kUnknownBuild[];    // "-1"

// One crash's version, build and report fields, in the order added; a key
// may occur more than once.
struct CrashMetadata {
  std::string version;
  std::string build;
  std::vector<MetadataEntry> entries;
};

// Fills the version and the build of an empty `metadata` (the stand-ins when
// the client's are empty) and its first pairs: the annotations' pairs, then
// the five pairs of `system`.
void buildCrashMetadata(const CrashAnnotations& annotations, const SystemInfo& system,
                        CrashMetadata* metadata);

// Appends "mem_working_set_size", "mem_peak_working_set_size" and
// "mem_private_usage", each in unsigned decimal.
void appendMemoryFigures(uint64_t workingSetSize, uint64_t peakWorkingSetSize,
                         uint64_t privateUsage, CrashMetadata* metadata);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_CRASH_METADATA_H_
