#include "desktop/windows/crash_reporter/lifecycle/upload_job.h"

#include <memory>
#include <new>

#include "desktop/windows/crash_reporter/upload/multipart_upload.h"
#include "desktop/windows/crash_reporter/upload/report_archive.h"
#include "runtime/utf_conversion.h"

namespace tavra {

Seam<QueueUserWorkItemFunction> queueUserWorkItemSeam(&QueueUserWorkItem);

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

bool queueUploadJob(PendingWork* work, const ReporterSettings& settings, const std::string& logName,
                    const CrashAnnotations& annotations, const std::wstring& reportId,
                    const CrashIdentity& crash) {
  std::unique_ptr<UploadJob> job(
      new (std::nothrow) UploadJob(work, settings, logName, annotations, reportId, crash));
  DWORD error = ERROR_OUTOFMEMORY;
  if (job) {
    // The upload may take minutes: a long function gets a thread of its own
    // rather than holding one that short work items wait for.
    if (queueUserWorkItemSeam(&runUploadJob, job.get(), WT_EXECUTELONGFUNCTION)) {
      job.release();  // Now the work item's.
      return true;
    }
    error = GetLastError();
    job.reset();
  }
  if (!settings.keepLogs) DeleteFileA(logName.c_str());
  // The caller tells why the report was dropped.
  SetLastError(error);
  return false;
}

DWORD WINAPI runUploadJob(void* context) {
  std::unique_ptr<UploadJob> job(static_cast<UploadJob*>(context));
  if (!job) return 0;
  const std::string archiveName = archiveNameFor(job->logName());
  if (createReportArchive(job->logName().c_str(), archiveName.c_str())) {
    // Whether the server took it or not, the archive has had its one chance:
    // nothing retries, so nothing keeps it.
    int32_t status = 0;
    if (!sendMultipartUpload(job->editionSuffix(), job->serverUrl(), job->formFields(),
                             utf8ToWide(archiveName), kArchivePartName, nullptr, nullptr,
                             &status)) {
      logReportLoss(job->crash(), ReportLoss::UploadFailed, job->logName(),
                    static_cast<uint32_t>(status));
    }
    DeleteFileA(archiveName.c_str());
  } else {
    logReportLoss(job->crash(), ReportLoss::ArchiveFailed, job->logName(), 0);
  }
  if (job->deleteLog()) DeleteFileA(job->logName().c_str());
  // Leaves pending work last: once the count is zero the reporter may end.
  job.reset();
  return 0;
}

}  // namespace tavra
