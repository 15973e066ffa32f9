#include "testing/browser_client/crash_handler.h"

#include <cstdint>

namespace tavra {
namespace {

// Static, not on the crashing thread's stack.
struct HandlerSettings {
  BrowserClient* client = nullptr;
  CrashObserver observer = nullptr;
  void* observerContext = nullptr;
  DWORD dumpDoneTimeoutMs = CrashHandler::kDefaultDumpDoneTimeoutMs;
  LPTOP_LEVEL_EXCEPTION_FILTER previousFilter = nullptr;
  bool installed = false;
  volatile LONG crashing = 0;
};

HandlerSettings settings;

LONG WINAPI crashFilter(EXCEPTION_POINTERS* pointers) {
  // A second crash while the first is reported must not overwrite the
  // registered words the reporter is reading: it waits for the end.
  if (InterlockedCompareExchange(&settings.crashing, 1, 0) != 0) Sleep(INFINITE);

  if (settings.observer != nullptr) settings.observer(settings.observerContext, pointers);
  BrowserClient* client = settings.client;
  const ClientAddress pointersAddress = clientAddress(pointers);
  if (client->signalDumpRequest(GetCurrentThreadId(), pointersAddress)) {
    // The mutex is the reporter's until it stops; freed or abandoned, nobody
    // will signal dump-done any more.
    const HANDLE waits[2] = {client->dumpDoneEvent(), client->serverAliveMutex()};
    const DWORD count = isValidHandle(waits[1]) ? 2 : 1;
    WaitForMultipleObjects(count, waits, FALSE, settings.dumpDoneTimeoutMs);
  }
  // Not ExitProcess: the crashed process's own state (loader lock, heaps, the
  // exit routines of its modules) can no longer be trusted.
  TerminateProcess(GetCurrentProcess(), pointers->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool CrashHandler::install(BrowserClient* client, CrashObserver observer, void* observerContext,
                           DWORD dumpDoneTimeoutMs) {
  if (client == nullptr || !client->isRegistered()) return false;
  settings.client = client;
  settings.observer = observer;
  settings.observerContext = observerContext;
  settings.dumpDoneTimeoutMs = dumpDoneTimeoutMs;
  if (!settings.installed) {
    settings.previousFilter = SetUnhandledExceptionFilter(&crashFilter);
    settings.installed = true;
  }
  return true;
}

void CrashHandler::uninstall() {
  if (!settings.installed) return;
  SetUnhandledExceptionFilter(settings.previousFilter);
  settings = HandlerSettings();
}

bool CrashHandler::isInstalled() { return settings.installed; }

}  // namespace tavra
