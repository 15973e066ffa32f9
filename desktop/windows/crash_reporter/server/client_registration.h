// What a registration message says, whichever width's layout carried it, and
// whether this reporter takes it: the 32-bit reporter reads only the 32-bit
// layout (tag 1), the 64-bit reporter only the 64-bit one (tag 5), so that
// neither reads the other's clients' addresses cut short or padded out. A
// message is taken only at the exact length of its tag.
//
// Threads: pure functions, on any thread.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_CLIENT_REGISTRATION_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_CLIENT_REGISTRATION_H_

#include <cstddef>
#include <cstdint>

#include "desktop/windows/crash_reporter/server/pipe_message.h"
#include "runtime/target_width.h"

namespace tavra {

// One registration in either layout. Addresses are held as 64-bit values
// here; a registration that this reporter takes has addresses of its own
// width (TargetAddress).
struct ClientRegistration {
  // The layout that carried it: kX86 for tag 1, kX8664 for tag 5.
  Architecture layout = kTargetArchitecture;
  uint32_t processId = 0;
  uint32_t dumpType = 0;
  uint64_t threadIdAddress = 0;
  uint64_t exceptionPointersAddress = 0;
  uint64_t assertionAddress = 0;
  uint64_t annotationsAddress = 0;
  uint32_t annotationCount = 0;
};

enum class IncomingKind : uint8_t {
  // A registration in the layout of the width that the reporter serves.
  Registration,
  // A registration in the other width's layout: refused, with its own reason.
  OtherWidthRegistration,
  // Tag 4 at 44 bytes: `hookValue` holds its value.
  HookRequest,
  // Anything else: an unknown tag, a tag at another length than its own, a
  // required word zero.
  Malformed,
};

struct IncomingMessage {
  IncomingKind kind = IncomingKind::Malformed;
  // For both kinds of registration; for a malformed message its process id
  // word when the message reaches that far, else 0.
  ClientRegistration registration;
  uint32_t hookValue = 0;
};

// Decodes `length` bytes read from the pipe for a reporter that serves
// `served` processes. A registration needs a non-zero process id and non-zero
// thread-id, exception-pointers and assertion addresses; the dump type and
// the annotation fields may be anything.
IncomingMessage decodeIncomingMessage(const uint8_t* bytes, size_t length, Architecture served);

// Writes `registration` in the layout of `layout` (tag 1 or 5) into `out`,
// which holds kPipeBufferSize bytes, and gives its length (44 or 48). The
// 32-bit layout keeps the low 32 bits of each address. For clients and tests.
size_t encodeRegistration(const ClientRegistration& registration, Architecture layout,
                          uint8_t* out);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_CLIENT_REGISTRATION_H_
