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
  // Every name tried for the crash log, or its archive, was taken already.
  // `detail`: how many were tried; the file name is the last one.
  NoFreeName,
  // The crash server declined the report (503); nothing is uploaded.
  Declined,
  // The upload job could not be queued. `detail`: the system error.
  NotQueued,
  // The upload queue was full (upload_queue.h). `detail`: none.
  QueueFull,
  // Something had the archive's name already, and was left alone; nothing
  // is uploaded. The file name is the archive's.
  ArchiveNameTaken,
  // The crash log could not be zipped; nothing is uploaded.
  ArchiveFailed,
  // The upload did not succeed. `detail`: the server's status, 0 when none
  // came (no connection, no answer in time); 200 when the answer could not be
  // read whole.
  UploadFailed,
};

// "Crash <number> of process <pid>: " followed by what became of the report
// and why, e.g. "report dropped: the crash server declined it (503)".
// `fileName` is the crash log's, unless the loss says otherwise.
std::string describeReportLoss(const CrashIdentity& crash, ReportLoss loss,
                               const std::string& fileName, uint32_t detail);

// Logs describeReportLoss: at INFO for a declined report, which is the
// server's choice, at WARNING for a process that could not be read, an
// upload that failed, a full queue and names that others took, and at ERROR
// for the reporter's own failures.
void logReportLoss(const CrashIdentity& crash, ReportLoss loss, const std::string& fileName,
                   uint32_t detail);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_REPORT_LOG_H_
