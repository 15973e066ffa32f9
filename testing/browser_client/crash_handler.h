// The crashing side of a browser process: an unhandled-exception filter that
// hands the crash to the reporter and then ends the process.
//
// When an exception reaches the filter, it stores the crashing thread's id and
// the address of the exception's EXCEPTION_POINTERS record in the client's two
// registered words, signals the dump-request event, waits for dump-done (or
// for the reporter to go away, which frees or abandons the server-alive
// mutex) at most for the configured time, and terminates the process with the
// exception code as its exit code.
//
// Threads: `install` and `uninstall` run on any one thread while no exception
// is being handled. The filter runs on the crashing thread; it may have very
// little stack left (a stack overflow), so it keeps its own stack use to a few
// words and neither allocates nor formats; the observer hook must do the same.
// Only the first crashing thread reports: any other thread that crashes
// meanwhile waits in the filter until the process ends. No locks; the
// settings are written before the filter is set and only read by it.
#ifndef TESTING_BROWSER_CLIENT_CRASH_HANDLER_H_
#define TESTING_BROWSER_CLIENT_CRASH_HANDLER_H_

#include <windows.h>

#include "testing/browser_client/browser_client.h"

namespace tavra {

// Called inside the filter on the crashing thread, before the dump request is
// signalled, with what the filter received.
using CrashObserver = void (*)(void* context, const EXCEPTION_POINTERS* pointers);

class CrashHandler {
 public:
  // Long enough for a whole report, first request to the crash server
  // included; the reporter's going away ends the wait earlier.
  static constexpr DWORD kDefaultDumpDoneTimeoutMs = 60000;

  CrashHandler() = delete;

  // Makes the filter the process's unhandled-exception filter for `client`,
  // which must be registered and must outlive the handler. `observer` may be
  // null. Installing again replaces the settings. False when `client` is not
  // registered.
  static bool install(BrowserClient* client, CrashObserver observer, void* observerContext,
                      DWORD dumpDoneTimeoutMs = kDefaultDumpDoneTimeoutMs);
  // Puts back the filter that was there before `install`.
  static void uninstall();
  static bool isInstalled();
};

}  // namespace tavra

#endif  // TESTING_BROWSER_CLIENT_CRASH_HANDLER_H_
