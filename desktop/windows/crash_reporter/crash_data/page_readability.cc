#include "desktop/windows/crash_reporter/crash_data/page_readability.h"

#include <new>

namespace tavra {
namespace {

static_assert((PageReadability::kFirstSlots & (PageReadability::kFirstSlots - 1)) == 0 &&
                  (PageReadability::kMaxSlots & (PageReadability::kMaxSlots - 1)) == 0,
              "the slot counts are powers of two");
static_assert(PageReadability::kPagesPerChunk == 64, "a piece's pages are the bits of a word");
static_assert(PageReadability::kMaxChunks < PageReadability::kMaxSlots,
              "an empty slot always ends a probe run");

// The first slot to try for a piece of a table of `slotCount` slots.
// Neighbouring pieces (a stack, a module's pages) spread over the table; the
// multiplier mixes in the high bits of 64-bit addresses.
uint32_t homeSlot(uint64_t key, uint32_t slotCount) {
  return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & (slotCount - 1);
}

}  // namespace

PageReadability::PageReadability(HANDLE process) : process_(process) {}

PageReadability::~PageReadability() = default;

bool PageReadability::grow() {
  const uint32_t count = slotCount_ == 0 ? kFirstSlots : slotCount_ * 2;
  std::unique_ptr<Slot[]> slots(new (std::nothrow) Slot[count]());
  if (!slots) return false;
  for (uint32_t i = 0; i < slotCount_; ++i) {
    if (slots_[i].key == 0) continue;
    uint32_t index = homeSlot(slots_[i].key, count);
    while (slots[index].key != 0) index = (index + 1) & (count - 1);
    slots[index] = slots_[i];
  }
  slots_ = std::move(slots);
  slotCount_ = count;
  return true;
}

PageReadability::Slot* PageReadability::slotFor(uint64_t page) {
  if (slotCount_ == 0 && !grow()) return nullptr;
  const uint64_t key = page / kPagesPerChunk + 1;
  uint32_t index = homeSlot(key, slotCount_);
  while (slots_[index].key != 0) {
    if (slots_[index].key == key) return &slots_[index];
    index = (index + 1) & (slotCount_ - 1);
  }
  if (chunkCount_ == kMaxChunks) return nullptr;
  // Past three quarters full, the table doubles while it may.
  if (chunkCount_ >= slotCount_ / 4 * 3) {
    if (slotCount_ == kMaxSlots || !grow()) return nullptr;
    index = homeSlot(key, slotCount_);
    while (slots_[index].key != 0) index = (index + 1) & (slotCount_ - 1);
  }
  Slot& slot = slots_[index];
  slot.key = key;
  ++chunkCount_;
  return &slot;
}

bool PageReadability::isReadable(TargetAddress address) {
  const uint64_t page = static_cast<uint64_t>(address) >> kPageShift;
  Slot* slot = slotFor(page);
  const uint64_t bit = uint64_t{1} << (page % kPagesPerChunk);
  if (slot != nullptr && (slot->known & bit) != 0) return (slot->readable & bit) != 0;

  uint8_t byte = 0;
  SIZE_T count = 0;
  ++systemCalls_;
  const bool readable =
      ReadProcessMemory(process_, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                        &byte, 1, &count) &&
      count == 1;
  if (slot != nullptr) {
    slot->known |= bit;
    if (readable) slot->readable |= bit;
  }
  return readable;
}

}  // namespace tavra
