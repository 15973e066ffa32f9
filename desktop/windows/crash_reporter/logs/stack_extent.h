// Which part of a thread's stack the crash log reads and dumps, and how much
// memory the values found there and in the thread's registers may add to the
// dumps.
//
// A stack block is read from the stack pointer, rounded down to a stack word
// (4 bytes on x86, 8 on x86-64: the reporter's own width), up to
// the thread's stack size (8192 bytes when that is unknown or larger); when
// that read fails, shorter and shorter ones end at the page boundaries below.
// What was read is then cut to what is worth dumping: up to its last
// non-zero byte when the stack region is known, else as far as the frame
// chain and the words that point into the block reach; a little slack above
// either.
//
// The stack words come from the crashed process and are untrusted: no
// address computed here wraps around the address space (positions in a block
// are offsets from its start, never sums past its end), and every walk ends
// within the block that was read.
//
// Threads: used by the thread that handles the crash, for the crash log that
// it writes; nothing here is shared or locked.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_STACK_EXTENT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_STACK_EXTENT_H_

#include <stdint.h>

#include "desktop/windows/crash_reporter/crash_data/memory_reader.h"
#include "desktop/windows/crash_reporter/crash_data/thread_info.h"

namespace tavra {

// The most of a stack that is read.
constexpr uint32_t kStackReadSize = 8192;
// The least of the crashed thread's stack that is asked for.
constexpr uint32_t kCrashedStackMinimum = 512;
// A stack pointer below this is not read.
constexpr uint32_t kLowestStackAddress = 4096;
// Kept above the detected end of the used stack.
constexpr uint32_t kStackSlack = 64;
// The least that is kept of a block whose stack region is unknown.
constexpr uint32_t kFrameExtentMinimum = 512;

// Bytes of a stack word of the crashed process.
constexpr uint32_t kStackWordBytes = sizeof(TargetAddress);

// The little-endian 32-bit word at `data + offset`.
inline uint32_t wordAt(const uint8_t* data, uint32_t offset) {
  return static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8 |
         static_cast<uint32_t>(data[offset + 2]) << 16 |
         static_cast<uint32_t>(data[offset + 3]) << 24;
}

// The little-endian stack word (kStackWordBytes) at `data + offset`.
inline TargetAddress stackWordAt(const uint8_t* data, uint32_t offset) {
  TargetAddress value = 0;
  for (uint32_t i = kStackWordBytes; i > 0; --i) value = value << 8 | data[offset + i - 1];
  return value;
}

// Reads the stack block of `thread` with `reader` and sets the reader's data,
// address and size to the part of it that is dumped; the size is 0 when
// nothing could be read.
void readStackBlock(const ThreadInfo& thread, MemoryReader* reader);

// How many bytes the values of one thread's registers and stack may add to
// the dumps. The crashed thread has no limit. Every other thread may add at
// most kThreadBudget bytes, and only half of what is left below
// kMemoryBudget when that is less (all of it for the last thread), so that
// later threads get their share; once the dumps hold kMemoryBudget bytes, it
// may add none.
class ThreadBudget {
 public:
  static constexpr uint32_t kMemoryBudget = 614400;
  static constexpr uint32_t kThreadBudget = 61440;

  // `total`: the bytes that the dumps hold before the thread's values are
  // looked at.
  ThreadBudget(bool crashed, uint64_t total, bool isLast);

  // False once the bytes added reached the budget; never for the crashed
  // thread.
  bool isLeft() const { return unlimited_ || left_ != 0; }
  // Counts `bytes` newly added to the dumps.
  void spend(uint64_t bytes) {
    if (!unlimited_) left_ = bytes >= left_ ? 0 : left_ - static_cast<uint32_t>(bytes);
  }

 private:
  const bool unlimited_;
  uint32_t left_ = 0;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_STACK_EXTENT_H_
