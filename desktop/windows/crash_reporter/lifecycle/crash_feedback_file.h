// The crash-feedback file: one line, "<crash GUID>=<report location>", that
// links a crash of the browser to the crash server's page of its report. The
// browser reads it; the reporter writes it and never deletes it, and each
// write replaces the content.
//
// Threads: both functions run on the thread that handles a crash. Crashes
// handled at the same time may write the same shared file; a process-wide
// lock makes each write whole, so the last one wins rather than a mixture.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_FEEDBACK_FILE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_FEEDBACK_FILE_H_

#include <string>

#include "desktop/windows/crash_reporter/crash_data/crash_annotations.h"

namespace tavra {

// The GUID of the crash's line: the crash's "crash_guid" annotation; when
// that is missing or empty and the log directory came from the environment,
// "0". False when there is no GUID: no "crash_guid" entry and a log
// directory of the default kind. A present but empty entry gives the empty
// text there.
bool crashFeedbackGuid(const CrashAnnotations& annotations, bool logDirFromEnv, std::wstring* guid);

// Creates or truncates `path` and writes `guid`, "=" and `location`, with no
// line end, as UTF-8 through the C runtime's text mode (a line end within
// them becomes CR LF; ASCII text is stored byte for byte). False when the
// file cannot be opened or written.
bool writeCrashFeedbackFile(const std::wstring& path, const std::wstring& guid,
                            const std::wstring& location);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_FEEDBACK_FILE_H_
