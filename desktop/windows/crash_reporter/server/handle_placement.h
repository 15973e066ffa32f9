// The three handles that the reply to a registration places in the client's
// process, and taking them back there when the registration fails after all.
//
// Both run on the pipe's wait thread, in the step that handles a
// registration or the one that finds its reply undelivered; they take no
// lock.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_HANDLE_PLACEMENT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_HANDLE_PLACEMENT_H_

#include <windows.h>

#include "desktop/windows/crash_reporter/server/pipe_message.h"
#include "desktop/windows/crash_reporter/server/reporter_client.h"
#include "runtime/seam.h"

namespace tavra {

// Builds in `reply`, from an all-zero record, the reply to `client`'s
// registration: its tag, the reporter's process id, and the client's
// dump-request and dump-done events and `serverAliveMutex` duplicated into the
// client's process with only the rights that the client needs. False when a
// duplication fails; the handles already placed are then closed in the client
// again.
bool placeHandlesInClient(const ReporterClient& client, HANDLE serverAliveMutex,
                          PipeMessage* reply);

// Closes in the client each handle named in `placed` and zeroes its word.
void closeHandlesPlacedInClient(const ReporterClient& client, PipeMessage* placed);

// Test seam: the DuplicateHandle that both call; null restores the real one.
// It is read at each call, so tests may change it between conversations.
using DuplicateHandleFunction = BOOL(WINAPI*)(HANDLE sourceProcess, HANDLE source,
                                              HANDLE targetProcess, HANDLE* target, DWORD access,
                                              BOOL inherit, DWORD options);
extern Seam<DuplicateHandleFunction> duplicateHandleSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_HANDLE_PLACEMENT_H_
