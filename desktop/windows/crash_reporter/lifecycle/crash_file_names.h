// The names of one crash's files.
//
// The crash log has a relative name, so that it lands in the crash directory,
// which is the current directory while the reporter serves. Its two numbers,
// the reporter's process id and the crash number, also name the crash's own
// crash-feedback file when the log directory comes from the environment.
//
// A name may be taken already: by a crash log that an earlier reporter of the
// same process id kept, or by anyone who can write into the crash directory.
// The crash pipeline then names the crash again with the next number
// (crash_pipeline.h); the crash's files are never opened over what is there.
//
// Threads: a CrashFileNames is made and used by the one thread that handles
// its crash. The crash number is process-wide and taken by an interlocked
// increment, so crashes handled at the same time never share a name.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_FILE_NAMES_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_FILE_NAMES_H_

#include <cstdint>
#include <string>

#include "desktop/windows/crash_reporter/lifecycle/reporter_settings.h"

namespace tavra {

// The next number of the process-wide crash counter: 1 for the first crash.
uint32_t nextCrashNumber();

// Where crash numbers come from: nextCrashNumber in the reporter.
using CrashNumberSource = uint32_t (*)();

class CrashFileNames {
 public:
  // Names crash `crashNumber` of the reporter process `reporterProcessId`.
  // `settings` gives the crash-feedback file and whether the log directory
  // came from the environment; it is only read here.
  CrashFileNames(uint32_t reporterProcessId, uint32_t crashNumber,
                 const ReporterSettings& settings);

  // Names the next crash of this process, numbered by `nextNumber`.
  static CrashFileNames forNextCrash(const ReporterSettings& settings,
                                     CrashNumberSource nextNumber = &nextCrashNumber);

  uint32_t crashNumber() const { return crashNumber_; }
  // "tavra-crashlog-<reporter pid>-<crash number>.txt".
  const std::string& logName() const { return logName_; }
  // The archive that its upload makes of it: "tavra-crashlog-...zip".
  const std::string& archiveName() const { return archiveName_; }
  // Empty unless the log directory came from the environment; then the
  // crash-feedback file with "-<reporter pid>-<crash number>" inserted before
  // the extension of its file name (appended when the name has none).
  const std::wstring& feedbackPath() const { return feedbackPath_; }
  // Where this crash's feedback line goes: `feedbackPath` when it is set,
  // else the shared crash-feedback file; empty when there is neither.
  const std::wstring& feedbackTarget() const {
    return feedbackPath_.empty() ? sharedFeedbackFile_ : feedbackPath_;
  }

 private:
  uint32_t crashNumber_;
  std::string logName_;
  std::string archiveName_;
  std::wstring feedbackPath_;
  std::wstring sharedFeedbackFile_;
};

// `path` with `suffix` inserted before the extension of its file name, or
// appended when the file name has none. Dots in directory names do not count.
std::wstring insertBeforeExtension(const std::wstring& path, const std::wstring& suffix);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_FILE_NAMES_H_
