#include "desktop/windows/crash_reporter/lifecycle/crash_reporter_app.h"

#include <cwchar>

#include "desktop/windows/crash_reporter/crash_data/system_info.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_budget.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_pipeline.h"
#include "desktop/windows/crash_reporter/lifecycle/parent_watcher.h"
#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "desktop/windows/crash_reporter/lifecycle/pipe_security.h"
#include "desktop/windows/crash_reporter/lifecycle/registration_refusal_log.h"
#include "desktop/windows/crash_reporter/lifecycle/reporter_settings.h"
#include "desktop/windows/crash_reporter/lifecycle/upload_queue.h"
#include "desktop/windows/crash_reporter/logs/reporter_log.h"
#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "desktop/windows/product_environment/product_paths.h"
#include "runtime/at_exit.h"
#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/scoped_holder.h"

namespace tavra {

const char kParentIdSwitch[] = "crash-reporter-parent-id";
const wchar_t kReadyEventPrefix[] = L"TavraCrashReporterInitEvent";
const wchar_t kPipeNamePrefix[] = L"\\\\.\\pipe\\TavraCrashReporter";

DWORD parseParentProcessId(const std::string& value) {
  if (value.empty()) return 0;
  unsigned long long id = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return 0;
    id = id * 10 + static_cast<unsigned>(c - '0');
    if (id > 0xFFFFFFFFull) return 0;
  }
  return static_cast<DWORD>(id);
}

DWORD readParentProcessId() {
  return parseParentProcessId(CommandLine::forCurrentProcess().switchValueAscii(kParentIdSwitch));
}

bool buildHandshakeName(const wchar_t* prefix, DWORD number,
                        wchar_t (&name)[kHandshakeNameLength]) {
  int written =
      _snwprintf(name, kHandshakeNameLength, L"%ls%lu", prefix, static_cast<unsigned long>(number));
  name[kHandshakeNameLength - 1] = L'\0';
  return written > 0;
}

void shutDownWhenIdle(PendingWork* work, DumpRequestServer* server) {
  work->waitUntilIdle();
  server->stop();
  work->waitUntilIdle();
}

int runReporterMain() {
  // Every return closes this scope, which runs the clean-ups registered while
  // the main routine ran.
  AtExitScope scope;

  DWORD parentId = readParentProcessId();
  if (parentId == 0) return -1;

  initReporterLog();

  // What the crash pipeline is given is made here, before the server starts,
  // and only read once it serves. It is declared before the server, the
  // watcher and the pipeline, so that it outlives them.
  ReporterSettings settings;
  if (!determineCrashDirectory(&settings)) return -1;
  // The user has switched crash reporting off: end before the parent learns
  // of a pipe.
  if (!isReportingEnabled(settings.localStatePath)) return -1;
  settings.keepLogs = readKeepLogs();
  readCrashBudgetLimits(&settings.budgetLimits);
  configureCrashServer(&settings);
  // Every crash report names the system; it does not change while we run.
  const SystemInfo system = captureSystemInfo();

  PendingWork work;
  if (!work.createDoneEvent()) return -1;
  // Its jobs count in `work`: it goes before the count, once they are done.
  UploadQueue uploads;
  // Shared with later reporters through its file in the crash directory.
  CrashBudget budget(settings.budgetLimits, joinPath(settings.crashDir, kCrashBudgetFileName));
  CrashPipeline pipeline(settings, &work, system, &uploads, &nextCrashNumber,
                         kFirstRequestTimeoutMs, &budget);

  // The holders below are declared in the reverse order of their clean-up, so
  // every return runs it in order: stop the server (waiting for hooks that
  // still run), tell the refusals not yet told, free the pipe's security
  // descriptor, close the ready event, clean up the watcher, and last let go
  // of the pipeline, the upload queue and the count.
  ParentWatcher watcher(&work);
  if (!watcher.watch(parentId)) return -1;

  wchar_t readyEventName[kHandshakeNameLength];
  if (!buildHandshakeName(kReadyEventPrefix, parentId, readyEventName)) return -1;
  ScopedHandle readyEvent(OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEventName));
  if (!readyEvent.isValid()) return -1;

  wchar_t pipeName[kHandshakeNameLength];
  if (!buildHandshakeName(kPipeNamePrefix, GetCurrentProcessId(), pipeName)) return -1;

  // From here on every relative file name lands in the crash directory.
  if (!SetCurrentDirectoryW(settings.crashDir.c_str())) return -1;

  // Should the label not convert, the pipe gets the default security
  // (a null descriptor) and low-integrity processes cannot reach it.
  PipeSecurity security;
  security.build();

  // Each refused registration gets a line in the reporter log, within a
  // bound per minute; the count past it is told when the log goes, after
  // the server has stopped.
  RegistrationRefusalLog refusals;

  // Each dump request goes to the crash pipeline; the reporter writes no
  // minidump of its own. A request that is never taken up (its client ended,
  // or the reporter stopped, first) is told in the reporter log.
  DumpRequestServer server(pipeName, security.attributes(), nullptr, nullptr, &handleCrash,
                           &pipeline, nullptr, nullptr, nullptr, nullptr);
  server.setUnservedRequestHook(&noteUnservedRequest, nullptr);
  server.setRefusalHook(&noteRegistrationRefusal, &refusals);
  // A server that fails to start is stopped on the way out; the parent's
  // ready event is then never set.
  if (!server.start()) return -1;

  // The pipe is ready: tell the parent. Whether the event could be set
  // changes nothing here.
  SetEvent(readyEvent.get());
  readyEvent.reset();

  shutDownWhenIdle(&work, &server);
  return 0;
}

int runCrashReporterProcess() {
  if (!CommandLine::initForCurrentProcess()) return -1;
  AtExitScope scope;
  // Without its paths the process cannot go on.
  if (!registerProductPaths()) return -1;
  runReporterMain();
  return 0;
}

}  // namespace tavra
