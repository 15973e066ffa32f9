#include "desktop/windows/crash_reporter/lifecycle/crash_handler.h"

#include <windows.h>

#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_feedback_file.h"
#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "desktop/windows/crash_reporter/lifecycle/reporter_settings.h"
#include "desktop/windows/crash_reporter/lifecycle/upload_job.h"
#include "desktop/windows/crash_reporter/logs/crash_log_writer.h"
#include "desktop/windows/crash_reporter/logs/log_capture.h"
#include "desktop/windows/crash_reporter/upload/first_request.h"

namespace tavra {

void handleCrash(void* /*context*/, ReporterClient* client) {
  if (client == nullptr) return;
  // Declared in the order of their beginning, so that they end in reverse:
  // the capture first, then the names, and the pending item last.
  ScopedPendingWork pending;
  const CrashFileNames names = CrashFileNames::forNextCrash();
  LogCapture capture;

  // Without a crash log there is nothing to append to, ask about or upload.
  if (!writeCrashLog(*client, names)) return;
  // The reporter's own account of this crash travels with it. A failure
  // leaves the crash log as it was written. Whatever is logged after this
  // is dropped with the capture.
  capture.appendCapturedLog(names.logName().c_str());

  const ReporterSettings& settings = reporterSettings();
  const AnnotationView view = client->annotationView();
  const std::wstring origin = reportOrigin(view);
  const std::wstring crashUrl = collectActiveUrl(view);
  // The crashed process waits for this answer, so it has a short bound.
  std::wstring reportId;
  std::wstring location;
  const FirstRequestResult answer =
      sendFirstRequest(settings.serverUrl, settings.editionSuffix, crashUrl, origin, &reportId,
                       &location, kFirstRequestTimeoutMs);
  if (answer == FirstRequestResult::ServiceUnavailable) {
    // The server does not want this report.
    if (!settings.keepLogs) DeleteFileA(names.logName().c_str());
    return;
  }
  // Without an id the report goes up all the same, only unnamed.
  if (!queueUploadJob(names.logName(), !settings.keepLogs, view, reportId)) return;

  // The browser links the crash to the server's page of its report.
  std::wstring guid;
  if (!crashFeedbackGuid(view, settings.logDirFromEnv, &guid)) return;
  if (location.empty() || names.feedbackTarget().empty()) return;
  writeCrashFeedbackFile(names.feedbackTarget(), guid, location);
}

bool writeCrashLog(const ReporterClient& client, const CrashFileNames& names) {
  const DWORD processId = client.processId();
  if (DebugActiveProcess(processId) && processId != 0) DebugActiveProcessStop(processId);

  ProcessStateImpl state;
  if (!state.capture(client.processId(), client.exceptionPointersAddress(),
                     client.threadIdAddress())) {
    return false;
  }
  CrashMetadata metadata;
  buildCrashMetadata(client.annotationView(), &metadata);
  appendMemoryFigures(state.workingSetSize(), state.peakWorkingSetSize(), state.privateUsage(),
                      &metadata);
  CrashLogWriter writer;
  return writer.write(state, metadata, names.logName().c_str());
}

}  // namespace tavra
