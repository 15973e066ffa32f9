#include "desktop/windows/crash_reporter/lifecycle/crash_pipeline.h"

#include <windows.h>

#include <memory>
#include <new>
#include <utility>

#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_budget.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_feedback_file.h"
#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "desktop/windows/crash_reporter/lifecycle/upload_job.h"
#include "desktop/windows/crash_reporter/lifecycle/upload_queue.h"
#include "desktop/windows/crash_reporter/logs/crash_log_writer.h"
#include "desktop/windows/crash_reporter/logs/crash_logger_section.h"
#include "desktop/windows/crash_reporter/upload/first_request.h"
#include "runtime/file_util.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/utf_conversion.h"

namespace tavra {

// What kept a crash's report from being made, if anything.
struct CrashPipeline::ReportFate {
  bool lost = false;
  ReportLoss loss = ReportLoss::NotCaptured;
  uint32_t detail = 0;
  // The file that the line names; the crash log when empty.
  std::string fileName;
  // The first request was not sent, for too many earlier ones still running
  // after their deadline: the report went up without an id.
  bool firstRequestSkipped = false;
  // The crash-storm budget's answer, when it was asked, and the signature
  // that it was asked about.
  bool budgetAsked = false;
  CrashBudgetDecision budget;
  std::string shortHash;

  void set(ReportLoss what, uint32_t why = 0, const std::string& file = std::string()) {
    lost = true;
    loss = what;
    detail = why;
    fileName = file;
  }
};

namespace {

// Whether anything has `name` in the crash directory (the names are ASCII).
bool nameTaken(const std::string& name) { return pathExists(asciiToWide(name)); }

}  // namespace

CrashPipeline::CrashPipeline(const ReporterSettings& settings, PendingWork* work,
                             const SystemInfo& system, UploadQueue* uploads,
                             CrashNumberSource nextCrashNumber, int32_t firstRequestTimeoutMs,
                             CrashBudget* budget)
    : settings_(settings),
      work_(work),
      system_(system),
      uploads_(uploads),
      nextCrashNumber_(nextCrashNumber),
      firstRequestTimeoutMs_(firstRequestTimeoutMs),
      budget_(budget) {}

void CrashPipeline::handle(const ReporterClient& client) {
  // Declared in the order of their beginning, so that they end in reverse:
  // the names, then the pending item last.
  ScopedPendingWork pending(work_);
  CrashFileNames names = CrashFileNames::forNextCrash(settings_, nextCrashNumber_);
  CrashIdentity crash;
  crash.number = names.crashNumber();
  crash.clientProcessId = client.processId();
  ReportFate fate;
  handleCaptured(client, &names, &crash, &fate);
  // The capture has ended: a report that could not be made is told in the
  // reporter log, where someone looking for a missing report looks.
  if (fate.firstRequestSkipped) {
    TAVRA_LOG(WARNING) << "Crash " << crash.number << " of process " << crash.clientProcessId
                       << ": first request skipped: too many earlier ones are still waiting for "
                          "the crash server; the report goes up without an id";
  }
  if (fate.budgetAsked) {
    logCrashBudgetDecision(crash, fate.shortHash, budget_->statePath(), fate.budget);
  }
  if (fate.lost) {
    logReportLoss(crash, fate.loss, fate.fileName.empty() ? names.logName() : fate.fileName,
                  fate.detail);
  }
}

// Under the crash's own log capture, the messages of this thread go with the
// crash log, not to the reporter log.
void CrashPipeline::handleCaptured(const ReporterClient& client, CrashFileNames* names,
                                   CrashIdentity* crash, ReportFate* fate) {
  LogCapture capture;
  // Every stage below reads the client's annotations from here.
  const CrashAnnotations annotations = readCrashAnnotations(client.annotationView());

  // Without a crash log there is nothing to append to, ask about or upload.
  const std::string firstName = names->logName();
  CrashSignature signature;
  if (!writeCrashLog(client, annotations, names, fate, &signature)) return;
  if (names->crashNumber() != crash->number) {
    TAVRA_LOG(WARNING) << firstName << " or its archive was there already: this crash is "
                       << names->logName();
    crash->number = names->crashNumber();
  }
  // The reporter's own account of this crash travels with it. A failure
  // leaves the crash log as it was written. Whatever is logged after this
  // is dropped with the capture.
  appendCrashLoggerSection(&capture, names->logName().c_str());

  // A crash loop must not flood the server or the user's line: past the
  // budget the crash log is all there is of the crash.
  if (budget_ != nullptr) {
    fate->shortHash = signature.shortHash;
    fate->budget = budget_->admit(signature.shortHash);
    fate->budgetAsked = true;
    if (!fate->budget.admitted()) {
      if (!settings_.keepLogs) DeleteFileA(names->logName().c_str());
      return;
    }
  }

  // The crashed process waits for this answer, so it has a short bound.
  std::wstring reportId;
  std::wstring location;
  const FirstRequestResult answer = sendFirstRequest(
      settings_.serverUrl, settings_.editionSuffix, annotations.activeUrl, annotations.origin,
      &reportId, &location, firstRequestTimeoutMs_, utf8ToWide(signature.shortHash));
  fate->firstRequestSkipped = answer == FirstRequestResult::Skipped;
  if (answer == FirstRequestResult::ServiceUnavailable) {
    // The server does not want this report.
    if (!settings_.keepLogs) DeleteFileA(names->logName().c_str());
    fate->set(ReportLoss::Declined);
    return;
  }
  // Without an id the report goes up all the same, only unnamed.
  if (!queueUpload(*names, annotations, reportId, *crash, fate)) return;

  // The browser links the crash to the server's page of its report.
  std::wstring guid;
  if (!crashFeedbackGuid(annotations, settings_.logDirFromEnv, &guid)) return;
  if (location.empty() || names->feedbackTarget().empty()) return;
  writeCrashFeedbackFile(names->feedbackTarget(), guid, location);
}

bool CrashPipeline::writeCrashLog(const ReporterClient& client, const CrashAnnotations& annotations,
                                  CrashFileNames* names, ReportFate* fate,
                                  CrashSignature* signature) const {
  const DWORD processId = client.processId();
  if (DebugActiveProcess(processId) && processId != 0) DebugActiveProcessStop(processId);

  ProcessStateImpl state;
  if (!state.capture(client.processId(), client.exceptionPointersAddress(),
                     client.threadIdAddress())) {
    fate->set(ReportLoss::NotCaptured);
    return false;
  }
  CrashMetadata metadata;
  buildCrashMetadata(annotations, system_, &metadata);
  appendMemoryFigures(state.workingSetSize(), state.peakWorkingSetSize(), state.privateUsage(),
                      &metadata);
  CrashLogWriter writer;
  for (uint32_t attempt = 1;; ++attempt) {
    // A look first, so that a name that is taken costs no write. The writer
    // creates the file new all the same: a name taken since fails it.
    if (!nameTaken(names->logName()) && !nameTaken(names->archiveName())) {
      if (writer.write(state, metadata, names->logName().c_str())) {
        *signature = writer.signature();
        return true;
      }
      // Only a name that something has taken since is worth another try.
      if (!nameTaken(names->logName())) {
        fate->set(ReportLoss::CrashLogNotWritten);
        return false;
      }
    }
    if (attempt == kCrashLogNameAttempts) {
      fate->set(ReportLoss::NoFreeName, attempt, names->logName());
      return false;
    }
    *names = CrashFileNames::forNextCrash(settings_, nextCrashNumber_);
  }
}

bool CrashPipeline::queueUpload(const CrashFileNames& names, const CrashAnnotations& annotations,
                                const std::wstring& reportId, const CrashIdentity& crash,
                                ReportFate* fate) const {
  std::unique_ptr<UploadJob> job(new (std::nothrow) UploadJob(work_, settings_, names.logName(),
                                                              annotations, reportId, crash));
  if (!job) {
    if (!settings_.keepLogs) DeleteFileA(names.logName().c_str());
    fate->set(ReportLoss::NotQueued, ERROR_OUTOFMEMORY);
    return false;
  }
  switch (uploads_->submit(std::move(job))) {
    case UploadQueueResult::kQueued:
      return true;
    case UploadQueueResult::kFull:
      fate->set(ReportLoss::QueueFull);
      return false;
    case UploadQueueResult::kNotStarted:
      fate->set(ReportLoss::NotQueued, GetLastError());
      return false;
  }
  return false;
}

void handleCrash(void* context, ReporterClient* client) {
  if (context == nullptr || client == nullptr) return;
  static_cast<CrashPipeline*>(context)->handle(*client);
}

void noteUnservedRequest(void* /*context*/, ReporterClient* client) {
  if (client == nullptr) return;
  TAVRA_LOG(WARNING) << "Process " << client->processId()
                     << ": its crash was never handled (the process ended, or the reporter "
                        "stopped, before its request was taken up): no crash log";
}

}  // namespace tavra
