// The crash handling pipeline: what the reporter does with one crash.
//
// `handleCrash` is the dump request server's `onDumpRequest` hook: it counts
// itself as pending work, names the crash's files, captures the diagnostic
// messages of its thread, writes the text crash log of the crashed client
// and appends those messages to it under "Crash Logger:". The crash log
// stays in the crash directory. The client is released when it returns.
//
// Threads: `handleCrash` runs on a worker thread of the system thread pool,
// once per dump request; crashes of different clients are handled at the
// same time on different threads. Runs share nothing but the crash number
// and the pending-work count (both interlocked) and the settings and system
// description, which no longer change once the server serves. Each run owns
// its file names, log capture, snapshot, metadata and crash log writer.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_HANDLER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_HANDLER_H_

#include "desktop/windows/crash_reporter/lifecycle/crash_file_names.h"
#include "desktop/windows/crash_reporter/server/reporter_client.h"

namespace tavra {

// The server's dump-request hook. `context` is not used; `client` is the
// crashed client, whose annotation table the server has just copied.
void handleCrash(void* context, ReporterClient* client);

// Attaches to the crashed process as a debugger and detaches at once, takes
// its snapshot, builds the crash's metadata from the client's annotations,
// the system description and the memory figures, and writes the text crash
// log to `names.logName()`. True when the crash log was written; on false no
// crash log is left.
bool writeCrashLog(const ReporterClient& client, const CrashFileNames& names);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_HANDLER_H_
