// The crash handling pipeline: what the reporter does with one crash.
//
// `handleCrash` is the dump request server's `onDumpRequest` hook: it counts
// itself as pending work, names the crash's files, captures the diagnostic
// messages of its thread, writes the text crash log of the crashed client
// and appends those messages to it under "Crash Logger:". Then it asks the
// crash server whether it wants the report (the first request). A server
// that declines ends the report there: the crash log is deleted unless the
// user keeps crash logs. Otherwise an upload job is queued, which zips and
// posts the crash log after the client has gone on (upload_job.h), and when
// the server named the report's location, the crash-feedback file links the
// crash's GUID to it (crash_feedback_file.h). The client is released when
// `handleCrash` returns. A report that could not be made, or that the server
// declined, gets one line in the reporter log once the capture has ended
// (crash_report_log.h).
//
// Which files one crash leaves behind:
//   crash log not written        none
//   the server declined (503)    the crash log, only when logs are kept
//   the job could not be queued  the crash log, only when logs are kept
//   the archive failed           the crash log, only when logs are kept;
//                                the crash-feedback file, given a location
//   uploaded, well or not        the same; the archive is always deleted
//
// Threads: `handleCrash` runs on a worker thread of the system thread pool,
// once per dump request; crashes of different clients are handled at the
// same time on different threads. Runs share nothing but the crash number
// and the pending-work count (both interlocked), the settings and system
// description, which no longer change once the server serves, and the
// shared crash-feedback file (written under its own lock). Each run owns
// its file names, log capture, snapshot, metadata, crash log writer and
// first request; its upload job belongs to the job's work item.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_HANDLER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_HANDLER_H_

#include <stdint.h>

#include "desktop/windows/crash_reporter/lifecycle/crash_file_names.h"
#include "desktop/windows/crash_reporter/server/reporter_client.h"

namespace tavra {

// The crashed process waits for the first request: it gets this long.
constexpr int32_t kFirstRequestTimeoutMs = 3000;

// The server's dump-request hook. `context` is not used; `client` is the
// crashed client, whose annotation table the server has just copied.
void handleCrash(void* context, ReporterClient* client);

// The server's hook for a request that was never taken up: the client asked
// for a report and ended, or the reporter stopped, before its request was
// served. It has no crash number and no crash log: one line in the reporter
// log says so, so that no report goes missing without a word. Runs outside
// any crash's log capture.
void noteUnservedRequest(void* context, ReporterClient* client);

// Attaches to the crashed process as a debugger and detaches at once, takes
// its snapshot, builds the crash's metadata from the client's annotations,
// the system description and the memory figures, and writes the text crash
// log to `names.logName()`. True when the crash log was written; on false no
// crash log is left. `captured`, when given, tells whether the snapshot was
// taken, so that a false result can say whether the process could not be
// read or the file could not be written.
bool writeCrashLog(const ReporterClient& client, const CrashFileNames& names,
                   bool* captured = nullptr);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_HANDLER_H_
