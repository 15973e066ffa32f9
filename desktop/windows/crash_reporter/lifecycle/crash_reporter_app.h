// The reporter's start-up, handshake with the parent browser and shutdown.
//
// Threads: all of it runs on the main thread. Start-up owns the settings,
// the system description, the pending-work count, the upload queue and the
// crash pipeline: it makes them before the server starts and lets them go
// after the server has stopped and no work is pending, so the threads that
// handle crashes and uploads only ever read them (the count changes
// interlocked, the queue under its own lock).
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_REPORTER_APP_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_REPORTER_APP_H_

#include <windows.h>

#include <string>

namespace tavra {

extern const char kParentIdSwitch[];       // "crash-reporter-parent-id"
extern const wchar_t kReadyEventPrefix[];  // followed by the parent's id
extern const wchar_t kPipeNamePrefix[];    // followed by the reporter's id

// Room for either prefix (27 characters), a 32-bit number and the NUL.
constexpr size_t kHandshakeNameLength = 38;

// The parent's id from a switch value: decimal digits only, at most
// 4294967295; anything else, the empty text included, gives 0.
DWORD parseParentProcessId(const std::string& value);
// The parent's id from the process command line; 0 when missing or invalid.
DWORD readParentProcessId();

// Formats `prefix` followed by `number` in decimal; false when the formatter
// fails or writes nothing. The last character is always NUL.
bool buildHandshakeName(const wchar_t* prefix, DWORD number, wchar_t (&name)[kHandshakeNameLength]);

class DumpRequestServer;
class PendingWork;

// Waits until no work is pending, stops the server, which waits for the dump
// requests that it is still handling, and then waits until idle once more:
// a dump request that came after the first wait entered the count anew, and
// the work that it started must end before the count is destroyed. Once the
// server is stopped no work begins, so the count only falls. Main thread.
void shutDownWhenIdle(PendingWork* work, DumpRequestServer* server);

// The main routine: 0 after an orderly shutdown, -1 after any start-up
// failure. The result does not reach the exit code.
int runReporterMain();

// The whole process: the exit code, 0 except when the process-wide command
// line was set up already or the product paths cannot be registered (-1).
int runCrashReporterProcess();

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_CRASH_REPORTER_APP_H_
