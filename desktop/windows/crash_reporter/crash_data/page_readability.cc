#include "desktop/windows/crash_reporter/crash_data/page_readability.h"

#include <new>

namespace tavra {

static_assert((PageReadability::kSlotCount & (PageReadability::kSlotCount - 1)) == 0,
              "the slot count is a power of two");
static_assert(PageReadability::kMaxChunks < PageReadability::kSlotCount,
              "an empty slot always ends a probe run");

PageReadability::PageReadability(HANDLE process) : process_(process) {}

PageReadability::~PageReadability() = default;

PageReadability::Chunk* PageReadability::chunkFor(uint64_t page) {
  if (!slots_) {
    slots_.reset(new (std::nothrow) Slot[kSlotCount]);
    if (!slots_) return nullptr;
  }
  const uint64_t key = page / kPagesPerChunk + 1;
  // Neighbouring chunks (a stack, a module's pages) spread over neighbouring
  // slots; the multiplier mixes in the high bits of 64-bit addresses.
  uint32_t index = static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 52) % kSlotCount;
  while (slots_[index].key != 0) {
    if (slots_[index].key == key) return slots_[index].chunk.get();
    index = (index + 1) % kSlotCount;
  }
  if (chunkCount_ == kMaxChunks) return nullptr;
  Slot& slot = slots_[index];
  slot.chunk.reset(new (std::nothrow) Chunk());
  if (!slot.chunk) return nullptr;
  slot.key = key;
  ++chunkCount_;
  return slot.chunk.get();
}

bool PageReadability::isReadable(TargetAddress address) {
  const uint64_t page = static_cast<uint64_t>(address) >> kPageShift;
  Chunk* chunk = chunkFor(page);
  const uint32_t index = static_cast<uint32_t>(page % kPagesPerChunk) / 32;
  const uint32_t bit = 1u << (page % 32);
  if (chunk != nullptr && (chunk->known[index] & bit) != 0) {
    return (chunk->readable[index] & bit) != 0;
  }

  uint8_t byte = 0;
  SIZE_T count = 0;
  ++systemCalls_;
  const bool readable =
      ReadProcessMemory(process_, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                        &byte, 1, &count) &&
      count == 1;
  if (chunk != nullptr) {
    chunk->known[index] |= bit;
    if (readable) chunk->readable[index] |= bit;
  }
  return readable;
}

}  // namespace tavra
