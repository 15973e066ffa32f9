// The walk of one thread's stack that a crash signature is made from: the
// instruction pointer, then return addresses found by the saved frame
// pointers and, where that chain breaks or has not started, by scanning the
// stack for words that point into a module just after a call instruction.
//
// The walk sees only what a crash log holds, so that the reporter, which
// walks what it has just written, and the crash-log reader, which walks the
// log, find the same frames: the thread's instruction, stack and frame
// pointers (EIP, ESP, EBP or RIP, RSP, RBP), its dumped stack words (4 or 8
// bytes), the module list in log order, and the dumped bytes before each
// stack word (the code bytes that show a call). Every rule of it is in the
// reader's documentation ("the signature rule"); this is the reporter's half.
//
// The architecture is a value, not the reporter's own width: the rule is the
// same walk over words of 4 or 8 bytes, and the host tests and the fuzzer
// run both.
//
// All of it is untrusted: no address wraps around (x86 addresses are computed
// in 64 bits; on x86-64 a step past the top of the address space ends the
// walk, and a word that would pass the top is no dumped word); it looks at no
// word outside the dumped ones; a frame-pointer chain that does not climb
// ends; and it stops at kMaxFrames frames. Its cost is one pass over the
// stack words to classify them, then at most kMaxFrames scans of them.
//
// Portable: no system calls, so that it builds and is fuzzed on the host.
// Threads: pure functions and values; a walk belongs to its caller's thread.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_STACK_WALK_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_STACK_WALK_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "runtime/target_width.h"

namespace tavra {

// One module of the log's module list. `name` is the caller's; it may be
// null for a module without one.
struct ModuleSpan {
  const char* name;
  uint64_t base;
  uint32_t size;
};

// Finds the FIRST module in list order that holds an address (base <=
// address < base + size, without wrapping: a module that reaches past the
// top of the 64-bit space holds the addresses up to the top), by one binary
// search over disjoint pieces built once.
class ModuleSpanIndex {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  ModuleSpanIndex(const ModuleSpan* modules, size_t count);

  // The module's position in the list, or kNone.
  size_t find(uint64_t address) const;

 private:
  // Addresses first .. last, both included, so that a piece may end at the
  // top of the 64-bit space.
  struct Piece {
    uint64_t first;
    uint64_t last;
    size_t module;
  };
  std::vector<Piece> pieces_;
};

// The code bytes before a return address that show the call: 7 on x86, 8 on
// x86-64 (one more for a REX prefix).
constexpr unsigned kMostCallBytes = 8;
constexpr unsigned callBytes(Architecture architecture) {
  return architecture == Architecture::kX8664 ? 8u : 7u;
}

// The `count` bytes before `value` (at value - count .. value - 1) when the
// dumps hold them all, into `bytes`; false otherwise. `context` is the
// caller's.
using DumpedBytesBefore = bool (*)(void* context, uint64_t value, uint8_t* bytes, unsigned count);

// How a frame was found.
enum class FrameSource : uint8_t {
  kInstructionPointer,
  kStackTop,
  kFramePointer,
  kStackScan,
};

struct StackFrame {
  uint64_t address;
  size_t module;  // position in the module list, or ModuleSpanIndex::kNone
  FrameSource source;
};

struct StackWalkInput {
  Architecture architecture;
  // EIP, ESP and EBP, or RIP, RSP and RBP.
  uint64_t instructionPointer;
  uint64_t stackPointer;
  uint64_t framePointer;
  // The dumped stack words: `wordCount` words at `stackAddress`,
  // `stackAddress` + W, ..., W being addressBytes(architecture). x86 words
  // are 32-bit values.
  uint64_t stackAddress;
  const uint64_t* words;
  size_t wordCount;
  const ModuleSpanIndex* modules;
  DumpedBytesBefore bytesBefore;
  void* bytesContext;
};

constexpr size_t kMaxFrames = 64;

// Whether the callBytes(architecture) bytes before a return address end in a
// call instruction (any of the six forms of the rule), and whether a direct
// call's target function (the call's target, modulo the address space, up
// to 64 KiB on) holds `pc`.
bool endsInCall(Architecture architecture, const uint8_t* bytes);
bool callsInto(Architecture architecture, uint64_t value, const uint8_t* bytes, uint64_t pc);

// The frames of one thread, at most kMaxFrames, frame 0 its instruction
// pointer.
std::vector<StackFrame> walkStack(const StackWalkInput& input);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_STACK_WALK_H_
