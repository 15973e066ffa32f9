#include "desktop/windows/crash_reporter/crash_data/page_readability.h"

#include <new>

namespace tavra {

PageReadability::PageReadability(HANDLE process) : process_(process) {}

PageReadability::~PageReadability() = default;

PageReadability::Chunk* PageReadability::chunkFor(uint32_t page) {
  if (!chunks_) {
    chunks_.reset(new (std::nothrow) std::unique_ptr<Chunk>[kChunkCount]);
    if (!chunks_) return nullptr;
  }
  std::unique_ptr<Chunk>& chunk = chunks_[page / kPagesPerChunk];
  if (!chunk) chunk.reset(new (std::nothrow) Chunk());
  return chunk.get();
}

bool PageReadability::isReadable(uint32_t address) {
  const uint32_t page = address >> kPageShift;
  Chunk* chunk = chunkFor(page);
  const uint32_t index = (page % kPagesPerChunk) / 32;
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
