// The reporter's own diagnostic log.
//
// One file, "tavra_crashreporter.log" in the user's temporary directory,
// begun anew at each start and shared, under a named mutex, with any other
// reporter that runs at the same time. Every line carries the process id,
// thread id, time stamp and tick count. Messages that a crash-handling thread
// logs while it holds a LogCapture go into that capture instead.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_REPORTER_LOG_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_REPORTER_LOG_H_

#include <string>

namespace tavra {

extern const wchar_t kReporterLogFileName[];  // "tavra_crashreporter.log"

// The log file's path: the temporary directory and the file name, when the
// whole path fits in MAX_PATH + 1 characters with its terminating null.
// False without a temporary directory or when the path would not fit.
bool reporterLogFilePath(std::wstring* path);

// Sets up the diagnostic log: the capture slot, the log file (the system
// debug output when there is no path), all four prefix items, and the
// capture as message handler. Run once at start-up, before anything logs.
void initReporterLog();

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_REPORTER_LOG_H_
