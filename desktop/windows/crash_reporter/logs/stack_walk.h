// The walk of one thread's stack that a crash signature is made from: the
// instruction pointer, then return addresses found by the saved frame
// pointers and, where that chain breaks or has not started, by scanning the
// stack for words that point into a module just after a call instruction.
//
// The walk sees only what a crash log holds, so that the reporter, which
// walks what it has just written, and the crash-log reader, which walks the
// log, find the same frames: the thread's EIP, ESP and EBP, its dumped stack
// words, the module list in log order, and the dumped bytes before each
// stack word (the code bytes that show a call). Every rule of it is in the
// reader's documentation ("the signature rule"); this is the reporter's half.
//
// All of it is untrusted: the walk computes in 64 bits, so no address wraps
// around 2^32; it looks at no word outside the dumped ones; a frame-pointer
// chain that does not climb ends; and it stops at kMaxFrames frames. Its cost
// is one pass over the stack words to classify them, then at most kMaxFrames
// scans of them.
//
// Portable: no system calls, so that it builds and is fuzzed on the host.
// Threads: pure functions and values; a walk belongs to its caller's thread.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_STACK_WALK_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_STACK_WALK_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace tavra {

// One module of the log's module list. `name` is the caller's; it may be
// null for a module without one.
struct ModuleSpan {
  const char* name;
  uint32_t base;
  uint32_t size;
};

// Finds the FIRST module in list order that holds an address (base <=
// address < base + size, in 64 bits), by one binary search over disjoint
// pieces built once.
class ModuleSpanIndex {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  ModuleSpanIndex(const ModuleSpan* modules, size_t count);

  // The module's position in the list, or kNone.
  size_t find(uint32_t address) const;

 private:
  struct Piece {
    uint64_t start;
    uint64_t end;
    size_t module;
  };
  std::vector<Piece> pieces_;
};

// The 7 bytes before `value` (at value - 7 .. value - 1) when the dumps hold
// them all, into `bytes`; false otherwise. `context` is the caller's.
using DumpedBytesBefore = bool (*)(void* context, uint32_t value, uint8_t bytes[7]);

// How a frame was found.
enum class FrameSource : uint8_t {
  kInstructionPointer,
  kStackTop,
  kFramePointer,
  kStackScan,
};

struct StackFrame {
  uint32_t address;
  size_t module;  // position in the module list, or ModuleSpanIndex::kNone
  FrameSource source;
};

struct StackWalkInput {
  uint32_t eip;
  uint32_t esp;
  uint32_t ebp;
  // The dumped stack words: `wordCount` words at `stackAddress`,
  // `stackAddress` + 4, ...
  uint32_t stackAddress;
  const uint32_t* words;
  size_t wordCount;
  const ModuleSpanIndex* modules;
  DumpedBytesBefore bytesBefore;
  void* bytesContext;
};

constexpr size_t kMaxFrames = 64;

// Whether the 7 bytes before a return address end in a call instruction (any
// of the six forms of the rule), and whether a direct call's target function
// (the call's target up to 64 KiB on) holds `pc`.
bool endsInCall(const uint8_t bytes[7]);
bool callsInto(uint32_t value, const uint8_t bytes[7], uint32_t pc);

// The frames of one thread, at most kMaxFrames, frame 0 its EIP.
std::vector<StackFrame> walkStack(const StackWalkInput& input);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_STACK_WALK_H_
