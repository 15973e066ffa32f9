// The "Crash Logger:" section at the end of a crash log: the reporter's own
// messages about that crash, captured while it was handled.
//
// Threads: called on the thread that handled the crash, with its capture.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOGGER_SECTION_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOGGER_SECTION_H_

#include "runtime/log_capture.h"

namespace tavra {

// Appends "\nCrash Logger:\n" and the captured text to the crash log, each
// line end as CR LF (crash_log_output.h), and empties the capture. With
// nothing captured the file is left alone and the result is true. The crash
// log must be there: it is never created here. On a failed open, write or
// close the result is false and the text is kept.
bool appendCrashLoggerSection(LogCapture* capture, const char* crashLogFileName);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOGGER_SECTION_H_
