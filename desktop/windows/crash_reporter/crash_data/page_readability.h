// Whether one byte at an address of a crashed process can be read, asked of
// the process once per page for the life of a snapshot.
//
// The crash log asks this for every register and stack word that might be a
// pointer, thousands of times per crash, and each question to another
// process is a system call. Memory is readable or not page by page, so each
// page is asked about once, by reading one byte at the first address asked
// within it, and the answer is kept for every later address of that page.
// (Region queries could answer for many pages at once, but what they call
// free or reserved is not always unreadable to a one-byte read on every
// system, and the answer must stay the one of such a read.)
//
// Each answer is the one of the moment its page was first asked about. The
// crashed thread waits meanwhile; the process's other threads may change its
// memory at any time, with or without this.
//
// Threads: an object belongs to the snapshot that made it and is used only by
// the thread that handles that crash; it has no lock. Memory: a hash table of
// kSlotCount slots (64 KB), made at the first question, and 256 bytes for
// each 4 MB of address space that the questions reach, for at most
// kMaxChunks such pieces (about 1 MB in all). The whole 32-bit space fits;
// the 64-bit one is far too large for a flat table, and a crash log asks
// about a few hundred pieces of it at most. Questions past that bound, or
// when memory runs out, go to the process uncached.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PAGE_READABILITY_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PAGE_READABILITY_H_

#include <windows.h>

#include <cstdint>
#include <memory>

#include "runtime/target_width.h"

namespace tavra {

class PageReadability {
 public:
  static constexpr uint32_t kPageShift = 12;  // 4096-byte pages
  static constexpr uint32_t kPagesPerChunk = 1024;
  // Slots of the hash table (a power of two), and the pieces of address space
  // it keeps answers for; the rest of the slots keep the probe runs short.
  static constexpr uint32_t kSlotCount = 4096;
  static constexpr uint32_t kMaxChunks = 3072;

  // `process` is not owned and must stay open while this object lives; it
  // needs PROCESS_VM_READ.
  explicit PageReadability(HANDLE process);
  ~PageReadability();
  PageReadability(const PageReadability&) = delete;
  PageReadability& operator=(const PageReadability&) = delete;

  // True when exactly one byte at `address` can be read from the process, as
  // far as the first question about its page found.
  bool isReadable(TargetAddress address);

  // The one-byte reads made so far.
  uint32_t systemCalls() const { return systemCalls_; }

 private:
  // Two bits per page: whether it was asked about, and the answer.
  struct Chunk {
    uint32_t known[kPagesPerChunk / 32];
    uint32_t readable[kPagesPerChunk / 32];
  };

  struct Slot {
    uint64_t key = 0;  // the chunk's number plus 1; 0 for an empty slot
    std::unique_ptr<Chunk> chunk;
  };

  // The chunk that holds `page`, made when missing; null when there is no
  // memory for it or the table holds kMaxChunks already.
  Chunk* chunkFor(uint64_t page);

  HANDLE process_;
  std::unique_ptr<Slot[]> slots_;
  uint32_t chunkCount_ = 0;
  uint32_t systemCalls_ = 0;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PAGE_READABILITY_H_
