#include "desktop/windows/crash_reporter/lifecycle/upload_job.h"

#include "desktop/windows/crash_reporter/upload/multipart_upload.h"
#include "desktop/windows/crash_reporter/upload/report_archive.h"
#include "runtime/utf_conversion.h"

namespace tavra {

const wchar_t kArchivePartName[] = L"file";

UploadJob::UploadJob(PendingWork* work, const ReporterSettings& settings,
                     const std::string& logName, const CrashAnnotations& annotations,
                     const std::wstring& reportId, const CrashIdentity& crash)
    : pending_(work),
      logName_(logName),
      deleteLog_(!settings.keepLogs),
      serverUrl_(settings.serverUrl),
      editionSuffix_(settings.editionSuffix),
      crash_(crash) {
  fillFormFields(annotations, reportId, &formFields_);
}

void runUploadJob(UploadJob* job) {
  const std::string archiveName = archiveNameFor(job->logName());
  switch (createReportArchive(job->logName().c_str(), archiveName.c_str())) {
    case ArchiveResult::kCreated: {
      // Whether the server took it or not, the archive has had its one
      // chance: nothing retries, so nothing keeps it.
      int32_t status = 0;
      if (!sendMultipartUpload(job->editionSuffix(), job->serverUrl(), job->formFields(),
                               utf8ToWide(archiveName), kArchivePartName, nullptr, nullptr,
                               &status)) {
        logReportLoss(job->crash(), ReportLoss::UploadFailed, job->logName(),
                      static_cast<uint32_t>(status));
      }
      DeleteFileA(archiveName.c_str());
      break;
    }
    case ArchiveResult::kNameTaken:
      // Not ours: neither posted nor deleted.
      logReportLoss(job->crash(), ReportLoss::ArchiveNameTaken, archiveName, 0);
      break;
    case ArchiveResult::kFailed:
      logReportLoss(job->crash(), ReportLoss::ArchiveFailed, job->logName(), 0);
      break;
  }
  if (job->deleteLog()) DeleteFileA(job->logName().c_str());
}

}  // namespace tavra
