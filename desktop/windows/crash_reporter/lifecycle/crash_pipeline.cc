#include "desktop/windows/crash_reporter/lifecycle/crash_pipeline.h"

#include <windows.h>

#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_feedback_file.h"
#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "desktop/windows/crash_reporter/lifecycle/upload_job.h"
#include "desktop/windows/crash_reporter/logs/crash_log_writer.h"
#include "desktop/windows/crash_reporter/logs/crash_logger_section.h"
#include "desktop/windows/crash_reporter/upload/first_request.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"

namespace tavra {

// What kept a crash's report from being made, if anything.
struct CrashPipeline::ReportFate {
  bool lost = false;
  ReportLoss loss = ReportLoss::NotCaptured;
  uint32_t detail = 0;
  // The first request was not sent, for too many earlier ones still running
  // after their deadline: the report went up without an id.
  bool firstRequestSkipped = false;

  void set(ReportLoss what, uint32_t why = 0) {
    lost = true;
    loss = what;
    detail = why;
  }
};

CrashPipeline::CrashPipeline(const ReporterSettings& settings, PendingWork* work,
                             const SystemInfo& system, CrashNumberSource nextCrashNumber,
                             int32_t firstRequestTimeoutMs)
    : settings_(settings),
      work_(work),
      system_(system),
      nextCrashNumber_(nextCrashNumber),
      firstRequestTimeoutMs_(firstRequestTimeoutMs) {}

void CrashPipeline::handle(const ReporterClient& client) {
  // Declared in the order of their beginning, so that they end in reverse:
  // the names, then the pending item last.
  ScopedPendingWork pending(work_);
  const CrashFileNames names = CrashFileNames::forNextCrash(settings_, nextCrashNumber_);
  CrashIdentity crash;
  crash.number = names.crashNumber();
  crash.clientProcessId = client.processId();
  ReportFate fate;
  handleCaptured(client, names, crash, &fate);
  // The capture has ended: a report that could not be made is told in the
  // reporter log, where someone looking for a missing report looks.
  if (fate.firstRequestSkipped) {
    TAVRA_LOG(WARNING) << "Crash " << crash.number << " of process " << crash.clientProcessId
                       << ": first request skipped: too many earlier ones are still waiting for "
                          "the crash server; the report goes up without an id";
  }
  if (fate.lost) logReportLoss(crash, fate.loss, names.logName(), fate.detail);
}

// Under the crash's own log capture, the messages of this thread go with the
// crash log, not to the reporter log.
void CrashPipeline::handleCaptured(const ReporterClient& client, const CrashFileNames& names,
                                   const CrashIdentity& crash, ReportFate* fate) {
  LogCapture capture;
  // Every stage below reads the client's annotations from here.
  const CrashAnnotations annotations = readCrashAnnotations(client.annotationView());

  // Without a crash log there is nothing to append to, ask about or upload.
  bool captured = false;
  if (!writeCrashLog(client, annotations, names, &captured)) {
    fate->set(captured ? ReportLoss::CrashLogNotWritten : ReportLoss::NotCaptured);
    return;
  }
  // The reporter's own account of this crash travels with it. A failure
  // leaves the crash log as it was written. Whatever is logged after this
  // is dropped with the capture.
  appendCrashLoggerSection(&capture, names.logName().c_str());

  // The crashed process waits for this answer, so it has a short bound.
  std::wstring reportId;
  std::wstring location;
  const FirstRequestResult answer =
      sendFirstRequest(settings_.serverUrl, settings_.editionSuffix, annotations.activeUrl,
                       annotations.origin, &reportId, &location, firstRequestTimeoutMs_);
  fate->firstRequestSkipped = answer == FirstRequestResult::Skipped;
  if (answer == FirstRequestResult::ServiceUnavailable) {
    // The server does not want this report.
    if (!settings_.keepLogs) DeleteFileA(names.logName().c_str());
    fate->set(ReportLoss::Declined);
    return;
  }
  // Without an id the report goes up all the same, only unnamed.
  if (!queueUploadJob(work_, settings_, names.logName(), annotations, reportId, crash)) {
    fate->set(ReportLoss::NotQueued, GetLastError());
    return;
  }

  // The browser links the crash to the server's page of its report.
  std::wstring guid;
  if (!crashFeedbackGuid(annotations, settings_.logDirFromEnv, &guid)) return;
  if (location.empty() || names.feedbackTarget().empty()) return;
  writeCrashFeedbackFile(names.feedbackTarget(), guid, location);
}

bool CrashPipeline::writeCrashLog(const ReporterClient& client, const CrashAnnotations& annotations,
                                  const CrashFileNames& names, bool* captured) const {
  *captured = false;
  const DWORD processId = client.processId();
  if (DebugActiveProcess(processId) && processId != 0) DebugActiveProcessStop(processId);

  ProcessStateImpl state;
  if (!state.capture(client.processId(), client.exceptionPointersAddress(),
                     client.threadIdAddress())) {
    return false;
  }
  *captured = true;
  CrashMetadata metadata;
  buildCrashMetadata(annotations, system_, &metadata);
  appendMemoryFigures(state.workingSetSize(), state.peakWorkingSetSize(), state.privateUsage(),
                      &metadata);
  CrashLogWriter writer;
  return writer.write(state, metadata, names.logName().c_str());
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
