#include "desktop/windows/crash_reporter/lifecycle/crash_handler.h"

#include <windows.h>

#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"
#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "desktop/windows/crash_reporter/logs/crash_log_writer.h"
#include "desktop/windows/crash_reporter/logs/log_capture.h"

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
  // leaves the crash log as it was written.
  capture.appendCapturedLog(names.logName().c_str());

  // The crash log stays in the crash directory. Asking the crash server
  // whether it wants the report, the upload and the crash-feedback file come
  // after this point, while the capture still holds this thread's messages
  // and the pending item still counts.
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
