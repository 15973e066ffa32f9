// The records that cross the reporter's pipe: the 44-byte one of eleven
// 32-bit words, in both directions and for both widths, and the 48-byte
// registration of 64-bit clients, whose addresses are 64-bit words.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_PIPE_MESSAGE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_PIPE_MESSAGE_H_

#include <cstddef>
#include <cstdint>

namespace tavra {

// Values of PipeMessage::tag. No other tag has a meaning.
enum class PipeMessageTag : uint32_t {
  Register = 1,
  RegisterReply = 2,
  HookRequest = 4,
  // The registration of a 64-bit client (RegisterMessage64).
  Register64 = 5,
};

// The pipe's buffers, and so the longest message that is read whole.
constexpr size_t kPipeBufferSize = 64;

// Eleven little-endian 32-bit words, no header, no padding: the registration
// of a 32-bit client (tag 1), a hook request (tag 4) and the reply (tag 2) to
// either width's registration. Handles are 32-bit values in both widths, and
// valid as such in a 64-bit client. A reply is built from an all-zero record.
struct PipeMessage {
  uint32_t tag;
  // Request: the client's process id (tag 4: the value handed to the hook).
  // Reply: the reporter's process id.
  uint32_t processId;
  uint32_t dumpType;
  // Addresses in the client: a word holding the crashing thread's id, a word
  // holding the address of the exception pointers record, the 776-byte
  // assertion record and the annotation table.
  uint32_t threadIdAddress;
  uint32_t exceptionPointersAddress;
  uint32_t assertionAddress;
  uint32_t annotationsAddress;
  uint32_t annotationCount;
  // Reply only: handles valid in the client.
  uint32_t dumpRequestEvent;
  uint32_t dumpDoneEvent;
  uint32_t serverAliveMutex;
};

static_assert(sizeof(PipeMessage) == 44, "PipeMessage is 44 bytes on the wire");
static_assert(offsetof(PipeMessage, tag) == 0, "PipeMessage layout");
static_assert(offsetof(PipeMessage, processId) == 4, "PipeMessage layout");
static_assert(offsetof(PipeMessage, dumpType) == 8, "PipeMessage layout");
static_assert(offsetof(PipeMessage, threadIdAddress) == 12, "PipeMessage layout");
static_assert(offsetof(PipeMessage, exceptionPointersAddress) == 16, "PipeMessage layout");
static_assert(offsetof(PipeMessage, assertionAddress) == 20, "PipeMessage layout");
static_assert(offsetof(PipeMessage, annotationsAddress) == 24, "PipeMessage layout");
static_assert(offsetof(PipeMessage, annotationCount) == 28, "PipeMessage layout");
static_assert(offsetof(PipeMessage, dumpRequestEvent) == 32, "PipeMessage layout");
static_assert(offsetof(PipeMessage, dumpDoneEvent) == 36, "PipeMessage layout");
static_assert(offsetof(PipeMessage, serverAliveMutex) == 40, "PipeMessage layout");

// The registration of a 64-bit client: its addresses are 64-bit words, the
// counts and ids stay 32-bit. Little-endian, no padding. A 64-bit client's
// thread-id word stays a 32-bit word; its exception-pointers word is a 64-bit
// one.
struct RegisterMessage64 {
  uint32_t tag;  // Register64
  uint32_t processId;
  uint32_t dumpType;
  uint32_t annotationCount;
  uint64_t threadIdAddress;
  uint64_t exceptionPointersAddress;
  uint64_t assertionAddress;
  uint64_t annotationsAddress;
};

static_assert(sizeof(RegisterMessage64) == 48, "RegisterMessage64 is 48 bytes on the wire");
static_assert(offsetof(RegisterMessage64, processId) == 4, "RegisterMessage64 layout");
static_assert(offsetof(RegisterMessage64, dumpType) == 8, "RegisterMessage64 layout");
static_assert(offsetof(RegisterMessage64, annotationCount) == 12, "RegisterMessage64 layout");
static_assert(offsetof(RegisterMessage64, threadIdAddress) == 16, "RegisterMessage64 layout");
static_assert(offsetof(RegisterMessage64, exceptionPointersAddress) == 24,
              "RegisterMessage64 layout");
static_assert(offsetof(RegisterMessage64, assertionAddress) == 32, "RegisterMessage64 layout");
static_assert(offsetof(RegisterMessage64, annotationsAddress) == 40, "RegisterMessage64 layout");
static_assert(sizeof(RegisterMessage64) <= kPipeBufferSize, "a registration fits the pipe");

// Access rights of the three handles that a reply carries.
constexpr uint32_t kDumpRequestEventAccess = 0x000002;  // EVENT_MODIFY_STATE
constexpr uint32_t kDumpDoneEventAccess = 0x100002;     // SYNCHRONIZE | EVENT_MODIFY_STATE
constexpr uint32_t kServerAliveMutexAccess = 0x100000;  // SYNCHRONIZE

// Size of the client's assertion record. The reporter never reads it.
constexpr size_t kAssertionRecordSize = 776;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_PIPE_MESSAGE_H_
