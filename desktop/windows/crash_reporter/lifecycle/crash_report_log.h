// The one line that the reporter's diagnostic log gets for each crash whose
// report could not be made or was dropped: which crash, which process, why.
//
// The crash log tells what went wrong while a crash was read; it cannot tell
// that it was never written, or that its report never reached the crash
// server. These lines do, in the reporter's own log.
//
// Threads: any. The lines must be logged outside a crash's LogCapture (after
// it has ended, or on the upload job's thread), or they would land in the
// capture and go where the crash log goes, if anywhere.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_REPORT_LOG_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_REPORT_LOG_H_

#include <cstdint>
#include <string>

namespace tavra {

// Which crash: its number in this reporter and the crashed process's id.
struct CrashIdentity {
  uint32_t number = 0;
  uint32_t clientProcessId = 0;
};

enum class ReportLoss {
  // The crashed process could not be read: it has gone, or the words that
  // it registered lead to no readable exception. No crash log.
  NotCaptured,
  // The crash log could not be written. `detail`: none.
  CrashLogNotWritten,
  // The crash server declined the report (503); nothing is uploaded.
  Declined,
  // The upload job could not be queued. `detail`: the system error.
  NotQueued,
  // The crash log could not be zipped; nothing is uploaded.
  ArchiveFailed,
  // The upload did not succeed. `detail`: the server's status, 0 when none
  // came (no connection, no answer in time); 200 when the answer could not be
  // read whole.
  UploadFailed,
};

// "Crash <number> of process <pid>: " followed by what became of the report
// and why, e.g. "report dropped: the crash server declined it (503)".
std::string describeReportLoss(const CrashIdentity& crash, ReportLoss loss,
                               const std::string& logName, uint32_t detail);

// Logs describeReportLoss: at INFO for a declined report, which is the
// server's choice, at WARNING for a process that could not be read or an
// upload that failed, and at ERROR for the reporter's own failures.
void logReportLoss(const CrashIdentity& crash, ReportLoss loss, const std::string& logName,
                   uint32_t detail);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_REPORT_LOG_H_
