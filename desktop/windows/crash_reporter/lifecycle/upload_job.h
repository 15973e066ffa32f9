// The upload of one crash report, after its crashed process has gone on: it
// zips the crash log, posts the archive with the report's form fields to the
// crash server, and cleans up.
//
// An UploadJob counts as pending work from its creation to its destruction,
// so the reporter stays until every queued upload has ended, also one that
// ends after the browser has exited. The upload bounds its own time (see
// multipart_upload.h), and the upload queue the number of jobs
// (upload_queue.h), so jobs cannot keep the reporter alive for ever.
//
// Threads: the thread that handles the crash builds the job and gives it to
// the upload queue; from then on the job belongs to the queue, and
// runUploadJob runs on one of its workers (work-queue threads). A job keeps
// its own copies of what it takes from the crash's annotations and the
// settings; jobs share nothing but the pending-work count (interlocked).
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UPLOAD_JOB_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UPLOAD_JOB_H_

#include <windows.h>

#include <string>

#include "desktop/windows/crash_reporter/crash_data/crash_annotations.h"
#include "desktop/windows/crash_reporter/crash_data/form_fields.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_report_log.h"
#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "desktop/windows/crash_reporter/lifecycle/reporter_settings.h"

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

// Runs `job`: zips the crash log into a new archive named by archiveNameFor,
// posts it with the form fields as the part "file" to the job's crash
// server, deletes the archive whatever came of the upload, and deletes the
// crash log when the job says so. An archive whose name something else has
// taken already is left alone, and nothing is posted. An archive that cannot
// be made and an upload that does not succeed are told in the reporter log
// (crash_report_log.h). The job stays the caller's.
void runUploadJob(UploadJob* job);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UPLOAD_JOB_H_
