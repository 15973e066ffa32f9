// The upload of one crash report, after its crashed process has gone on: a
// work item of the system thread pool zips the crash log, posts the archive
// with the report's form fields to the crash server, and cleans up.
//
// An UploadJob counts as pending work from its creation to its destruction,
// so the reporter stays until every queued upload has ended, also one that
// ends after the browser has exited. The upload bounds its own time (see
// multipart_upload.h), so a job cannot keep the reporter alive for ever.
//
// Threads: queueUploadJob runs on the thread that handles the crash, which
// builds the job; from then on the job belongs to its work item, and
// runUploadJob runs on a work-queue thread (flagged as long-running) and
// destroys it. A job keeps its own copies of what it takes from the crash's
// annotations and the settings; jobs share nothing but the pending-work
// count (interlocked). The test seam is process-wide and is set only while
// no crash is handled.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UPLOAD_JOB_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UPLOAD_JOB_H_

#include <windows.h>

#include <string>

#include "desktop/windows/crash_reporter/crash_data/crash_annotations.h"
#include "desktop/windows/crash_reporter/crash_data/form_fields.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_report_log.h"
#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "desktop/windows/crash_reporter/lifecycle/reporter_settings.h"
#include "runtime/seam.h"

namespace tavra {

// The form field name of the archive's part.
extern const wchar_t kArchivePartName[];  // "file"

class UploadJob {
 public:
  // Enters `work`, which must outlive the job; copies `logName`, the crash
  // server and the edition of `settings`, and whether to delete the crash
  // log (unless the settings keep logs); and fills the form fields from the
  // crash's annotations and the report id (empty when the server gave none).
  // `crash` names the crash in the reporter log when its report cannot be
  // uploaded.
  UploadJob(PendingWork* work, const ReporterSettings& settings, const std::string& logName,
            const CrashAnnotations& annotations, const std::wstring& reportId,
            const CrashIdentity& crash = CrashIdentity());
  // Leaves pending work, after everything else of the job is gone.
  ~UploadJob() = default;
  UploadJob(const UploadJob&) = delete;
  UploadJob& operator=(const UploadJob&) = delete;

  const FormFields& formFields() const { return formFields_; }
  // The crash log, relative to the crash directory.
  const std::string& logName() const { return logName_; }
  // Delete the crash log when the job ends (the user did not ask to keep
  // crash logs).
  bool deleteLog() const { return deleteLog_; }
  const std::wstring& serverUrl() const { return serverUrl_; }
  const std::wstring& editionSuffix() const { return editionSuffix_; }
  const CrashIdentity& crash() const { return crash_; }

 private:
  // Declared first so that it is destroyed last.
  ScopedPendingWork pending_;
  FormFields formFields_;
  std::string logName_;
  bool deleteLog_;
  std::wstring serverUrl_;
  std::wstring editionSuffix_;
  CrashIdentity crash_;
};

// Builds the job and queues runUploadJob for it as a long-running work item.
// True when it was queued. Otherwise the job (if one could be made) is
// destroyed, and the crash log is deleted unless the settings keep logs; the
// thread's last error is then the queueing's (ERROR_OUTOFMEMORY when no job
// could be made).
bool queueUploadJob(PendingWork* work, const ReporterSettings& settings, const std::string& logName,
                    const CrashAnnotations& annotations, const std::wstring& reportId,
                    const CrashIdentity& crash = CrashIdentity());

// The work item; `context` is the UploadJob, which this destroys. Zips the
// crash log into the archive named by archiveNameFor, posts it with the form
// fields as the part "file" to the job's crash server, deletes the archive
// whatever came of the upload, and deletes the crash log when the job says
// so. An archive that fails and an upload that does not succeed are told in
// the reporter log (crash_report_log.h). Returns 0.
DWORD WINAPI runUploadJob(void* context);

// Test seam: the QueueUserWorkItem that queueUploadJob calls; null restores
// the real one.
using QueueUserWorkItemFunction = BOOL(WINAPI*)(LPTHREAD_START_ROUTINE function, void* context,
                                                ULONG flags);
extern Seam<QueueUserWorkItemFunction> queueUserWorkItemSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UPLOAD_JOB_H_
