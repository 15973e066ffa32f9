#include "desktop/windows/crash_reporter/logs/stack_extent.h"

#include <algorithm>

namespace tavra {
namespace {

// The end of a stack region is a page boundary.
constexpr uint32_t kPageSize = 4096;

// Whether a whole stack word at `value` lies in the block, with room for
// more above it: the frame chain and the self-pointers look only at such
// words. In offsets from the block's start, so that nothing wraps near the
// top of the address space.
bool isWordBelowBlockEnd(const MemoryReader& block, TargetAddress value) {
  return value >= block.address &&
         static_cast<uint64_t>(value - block.address) + kStackWordBytes < block.size;
}

// How much of a thread's stack block is worth dumping when the stack region
// is known: up to the last non-zero byte, rounded up to a whole word, and a
// little slack above it.
uint32_t usedStackLength(const MemoryReader& block) {
  uint32_t used = block.size;
  while (used > 0 && block.data[used - 1] == 0) --used;
  const uint64_t length =
      ((static_cast<uint64_t>(used) + kStackWordBytes - 1) & ~uint64_t{kStackWordBytes - 1}) +
      kStackSlack;
  return static_cast<uint32_t>(std::min<uint64_t>(length, block.size));
}

// How much of a thread's stack block is worth dumping when the stack region
// is unknown: as far as the frame chain and the words that point into the
// block itself reach. The words come from the crashed process: the chain is
// followed only while it climbs strictly upwards inside the block, so a loop
// or a backward link ends it.
uint32_t frameExtentLength(const ThreadInfo& thread, const MemoryReader& block) {
  if (thread.isCrashed()) return block.size;
  uint32_t lastFrameOffset = 0;
  TargetAddress framePointer = tavra::framePointer(thread.registers());
  if (framePointer % kStackWordBytes == 0) {
    for (;;) {
      if (!isWordBelowBlockEnd(block, framePointer)) break;
      lastFrameOffset = static_cast<uint32_t>(framePointer - block.address);
      const TargetAddress next = stackWordAt(block.data, lastFrameOffset);
      if (next <= framePointer) break;
      framePointer = next;
      if (framePointer % kStackWordBytes != 0) break;
    }
  }
  uint32_t extent = std::max(lastFrameOffset, kFrameExtentMinimum);
  for (uint32_t offset = 0; static_cast<uint64_t>(offset) + kStackWordBytes < block.size;
       offset += kStackWordBytes) {
    const TargetAddress value = stackWordAt(block.data, offset);
    if (value % kStackWordBytes == 0 && isWordBelowBlockEnd(block, value) &&
        value - block.address > extent) {
      extent = static_cast<uint32_t>(value - block.address);
    }
    if (offset + kStackWordBytes > extent) break;
  }
  return static_cast<uint32_t>(
      std::min<uint64_t>(static_cast<uint64_t>(extent) + kStackSlack, block.size));
}

}  // namespace

void readStackBlock(const ThreadInfo& thread, MemoryReader* reader) {
  reader->data = nullptr;
  reader->size = 0;
  const TargetAddress start =
      stackPointer(thread.registers()) & ~static_cast<TargetAddress>(kStackWordBytes - 1);
  reader->address = start;
  const uint32_t stackSize = thread.stackSize();
  uint32_t length = stackSize >= 1 && stackSize <= kStackReadSize ? stackSize : kStackReadSize;
  if (thread.isCrashed()) length = std::max(length, kCrashedStackMinimum);
  if (start < kLowestStackAddress) return;

  // Shorter and shorter reads, each ending at the page that held the last
  // byte of the one before: the end of a stack region is a page boundary.
  // The end strictly falls each time, so this takes at most three reads. No
  // read passes the top of the address space (the start is at least
  // kLowestStackAddress, so the room above it is no wider than the space).
  const TargetAddress room = kTargetAddressMax - start + 1;
  uint32_t asked = room < length ? static_cast<uint32_t>(room) : length;
  for (;;) {
    uint32_t bytesRead = 0;
    const uint8_t* data = reader->read(start, asked, &bytesRead);
    if (data != nullptr && bytesRead != 0) {
      reader->data = data;
      reader->size = std::min(bytesRead, asked);
      break;
    }
    const TargetAddress newEnd = (start + (asked - 1)) & ~static_cast<TargetAddress>(kPageSize - 1);
    if (newEnd <= start) return;
    asked = static_cast<uint32_t>(newEnd - start);
  }
  reader->size = stackSize != 0 ? usedStackLength(*reader) : frameExtentLength(thread, *reader);
}

ThreadBudget::ThreadBudget(bool crashed, uint64_t total, bool isLast) : unlimited_(crashed) {
  if (crashed || total >= kMemoryBudget) return;
  left_ = kMemoryBudget - static_cast<uint32_t>(total);
  if (left_ > kThreadBudget) {
    left_ = kThreadBudget;
  } else if (!isLast) {
    left_ /= 2;
  }
}

}  // namespace tavra
