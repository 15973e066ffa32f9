// Why the server refused a registration: it logs nothing itself, and tells
// its refusal hook instead, whose owner writes the line.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_REGISTRATION_REFUSAL_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_REGISTRATION_REFUSAL_H_

#include <cstdint>

namespace tavra {

enum class RefusalReason : uint8_t {
  // Not a whole registration, a wrong tag, a tag at another length than its
  // own, a zero address or the reporter's own process id.
  Malformed,
  // A registration in the other width's layout: a 64-bit client's at the
  // 32-bit reporter, or the converse.
  OtherWidthRegistration,
  // The process is not of the reporter's own width (or the system cannot
  // tell), whatever layout it sent: its addresses and context are not what
  // this reporter reads.
  OtherWidthProcess,
  // The system could not say which process is at the other end of the pipe.
  ClientProcessUnknown,
  // The message names another process than the one at the other end.
  NotTheConnectedProcess,
  // The bound on records is reached.
  TooManyRecords,
  // The bound on the memory of table copies is reached.
  AnnotationBytesExhausted,
  // A crash of the process is being handled, or waits for its turn.
  CrashBeingHandled,
  // The process could not be opened, or its events made or placed in it.
  ProcessNotOpened,
  // The waits for its requests and its exit could not be registered.
  NotEnlisted,
  // The reply never reached the client.
  ReplyNotDelivered,
  // The server is stopping.
  Stopping,
};

struct RegistrationRefusal {
  RefusalReason reason = RefusalReason::Malformed;
  // The process that the message names; 0 when no message was read whole.
  uint32_t processId = 0;
  // The process at the other end of the pipe as the system names it; 0 when
  // it cannot tell.
  uint32_t connectedProcessId = 0;
};

// Runs on the pipe's wait thread with the conversation lock held, once per
// refused registration; the pipe serves nobody else until it returns.
using RefusalHook = void (*)(void* context, const RegistrationRefusal& refusal);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_REGISTRATION_REFUSAL_H_
