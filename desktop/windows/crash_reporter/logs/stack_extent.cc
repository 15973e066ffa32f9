#include "desktop/windows/crash_reporter/logs/stack_extent.h"

#include <algorithm>

namespace tavra {
namespace {

// One past the highest address: block ends are computed in 64 bits against
// it, so that nothing near the top of the address space wraps to 0.
constexpr uint64_t kAddressSpaceEnd = 0x100000000ull;
// The end of a stack region is a page boundary.
constexpr uint32_t kPageSize = 4096;

uint64_t blockEnd(const MemoryReader& block) {
  return static_cast<uint64_t>(block.address) + block.size;
}

// How much of a thread's stack block is worth dumping when the stack region
// is known: up to the last non-zero byte, rounded up to a whole word, and a
// little slack above it.
uint32_t usedStackLength(const MemoryReader& block) {
  uint32_t used = block.size;
  while (used > 0 && block.data[used - 1] == 0) --used;
  const uint64_t length = ((static_cast<uint64_t>(used) + 3) & ~uint64_t{3}) + kStackSlack;
  return static_cast<uint32_t>(std::min<uint64_t>(length, block.size));
}

// How much of a thread's stack block is worth dumping when the stack region
// is unknown: as far as the frame chain and the words that point into the
// block itself reach. The words come from the crashed process: the chain is
// followed only while it climbs strictly upwards inside the block, so a loop
// or a backward link ends it.
uint32_t frameExtentLength(const ThreadInfo& thread, const MemoryReader& block) {
  if (thread.isCrashed()) return block.size;
  const uint64_t end = blockEnd(block);
  uint32_t lastFrameOffset = 0;
  uint32_t framePointer = thread.registers().ebp;
  if (framePointer % 4 == 0) {
    for (;;) {
      if (framePointer < block.address || static_cast<uint64_t>(framePointer) + 4 >= end) break;
      lastFrameOffset = framePointer - block.address;
      const uint32_t next = wordAt(block.data, lastFrameOffset);
      if (next <= framePointer) break;
      framePointer = next;
      if (framePointer % 4 != 0) break;
    }
  }
  uint32_t extent = std::max(lastFrameOffset, kFrameExtentMinimum);
  for (uint32_t offset = 0; static_cast<uint64_t>(offset) + 4 < block.size; offset += 4) {
    const uint32_t value = wordAt(block.data, offset);
    if (value % 4 == 0 && value >= block.address && static_cast<uint64_t>(value) + 4 < end &&
        value - block.address > extent) {
      extent = value - block.address;
    }
    if (offset + 4 > extent) break;
  }
  return static_cast<uint32_t>(
      std::min<uint64_t>(static_cast<uint64_t>(extent) + kStackSlack, block.size));
}

}  // namespace

void readStackBlock(const ThreadInfo& thread, MemoryReader* reader) {
  reader->data = nullptr;
  reader->size = 0;
  const uint32_t start = thread.registers().esp & ~uint32_t{3};
  reader->address = start;
  const uint32_t stackSize = thread.stackSize();
  uint32_t length = stackSize >= 1 && stackSize <= kStackReadSize ? stackSize : kStackReadSize;
  if (thread.isCrashed()) length = std::max(length, kCrashedStackMinimum);
  if (start < kLowestStackAddress) return;

  // Shorter and shorter reads, each ending at the page that held the last
  // byte of the one before: the end of a stack region is a page boundary.
  // The end strictly falls each time, so this takes at most three reads.
  uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(start) + length, kAddressSpaceEnd);
  for (;;) {
    const uint32_t asked = static_cast<uint32_t>(end - start);
    uint32_t bytesRead = 0;
    const uint8_t* data = reader->read(start, asked, &bytesRead);
    if (data != nullptr && bytesRead != 0) {
      reader->data = data;
      reader->size = std::min(bytesRead, asked);
      break;
    }
    const uint64_t newEnd = (end - 1) & ~static_cast<uint64_t>(kPageSize - 1);
    if (newEnd <= start) return;
    end = newEnd;
  }
  reader->size = stackSize != 0 ? usedStackLength(*reader) : frameExtentLength(thread, *reader);
}

ThreadBudget::ThreadBudget(bool crashed, uint32_t total, bool isLast) : unlimited_(crashed) {
  if (crashed || total >= kMemoryBudget) return;
  left_ = kMemoryBudget - total;
  if (left_ > kThreadBudget) {
    left_ = kThreadBudget;
  } else if (!isLast) {
    left_ /= 2;
  }
}

}  // namespace tavra
