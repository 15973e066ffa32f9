#include "desktop/windows/crash_reporter/lifecycle/crash_report_log.h"

#include "desktop/windows/crash_reporter/lifecycle/upload_queue.h"
#include "runtime/logging.h"

namespace tavra {

std::string describeReportLoss(const CrashIdentity& crash, ReportLoss loss,
                               const std::string& fileName, uint32_t detail) {
  std::string text = "Crash " + std::to_string(crash.number) + " of process " +
                     std::to_string(crash.clientProcessId) + ": ";
  switch (loss) {
    case ReportLoss::NotCaptured:
      return text +
             "no crash log: the process could not be read (it has gone, or its exception "
             "record is not readable)";
    case ReportLoss::CrashLogNotWritten:
      return text + "no crash log: " + fileName + " could not be written";
    case ReportLoss::NoFreeName:
      return text + "no crash log: " + std::to_string(detail) +
             " names in a row were taken already, the last " + fileName + " (or its archive)";
    case ReportLoss::Declined:
      return text + "report dropped: the crash server declined it (503)";
    case ReportLoss::NotQueued:
      return text + "report dropped: its upload could not be queued (error " +
             std::to_string(detail) + ")";
    case ReportLoss::QueueFull:
      return text + "report dropped: the upload queue is full (" +
             std::to_string(UploadQueue::kMaxUploadsInFlight) + " uploading, " +
             std::to_string(UploadQueue::kMaxWaitingUploads) + " waiting)";
    case ReportLoss::ArchiveFailed:
      return text + "report not uploaded: " + fileName + " could not be zipped";
    case ReportLoss::ArchiveNameTaken:
      return text + "report not uploaded: " + fileName + " was there already, and is left as it is";
    case ReportLoss::UploadFailed:
      if (detail == 0) {
        // Also when nothing was sent: the archive could not be read, or the
        // server address or a field name was unusable.
        return text +
               "report not uploaded: no answer from the crash server (not sent, not reached, "
               "or not in time)";
      }
      // A 200 whose answer broke off or overran: the server may have the
      // report, but the reporter cannot know.
      if (detail == 200) {
        return text +
               "report not uploaded: the crash server's answer (200) could not be read "
               "whole";
      }
      return text + "report not uploaded: the crash server answered " + std::to_string(detail);
  }
  return text + "report lost";
}

void logReportLoss(const CrashIdentity& crash, ReportLoss loss, const std::string& fileName,
                   uint32_t detail) {
  const std::string line = describeReportLoss(crash, loss, fileName, detail);
  switch (loss) {
    case ReportLoss::Declined:
      TAVRA_LOG(INFO) << line;
      break;
    case ReportLoss::NotCaptured:
    case ReportLoss::UploadFailed:
    case ReportLoss::NoFreeName:
    case ReportLoss::QueueFull:
    case ReportLoss::ArchiveNameTaken:
      TAVRA_LOG(WARNING) << line;
      break;
    case ReportLoss::CrashLogNotWritten:
    case ReportLoss::NotQueued:
    case ReportLoss::ArchiveFailed:
      TAVRA_LOG(ERROR) << line;
      break;
  }
}

}  // namespace tavra
