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
// the pieces of address space (256 KB each, 64 pages) that the questions
// reach, 24 bytes a piece, made at the first question and doubled as it
// fills, up to kMaxSlots slots (768 KB) holding at most kMaxChunks pieces.
// Small pieces keep the table small for the scattered questions of a 64-bit
// space, where every stack word that looks like a pointer may fall in a piece
// of its own; the whole 32-bit space still fits. Questions past that bound,
// or when memory runs out, go to the process uncached.
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
  static constexpr uint32_t kPagesPerChunk = 64;
  // Slots of the hash table at first and at most (powers of two), and the
  // pieces of address space it keeps answers for: at most three quarters of
  // the slots, which keeps the probe runs short.
  static constexpr uint32_t kFirstSlots = 256;
  static constexpr uint32_t kMaxSlots = 32768;
  static constexpr uint32_t kMaxChunks = kMaxSlots / 4 * 3;

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
  // Two bits per page of a piece: whether it was asked about, and the answer.
  struct Slot {
    uint64_t key;  // the piece's number plus 1; 0 for an empty slot
    uint64_t known;
    uint64_t readable;
  };

  // The slot of the piece that holds `page`, made when missing; null when
  // there is no memory for it or the table holds kMaxChunks already.
  Slot* slotFor(uint64_t page);
  // Doubles the table, keeping every piece; false when there is no memory.
  bool grow();

  HANDLE process_;
  std::unique_ptr<Slot[]> slots_;
  uint32_t slotCount_ = 0;
  uint32_t chunkCount_ = 0;
  uint32_t systemCalls_ = 0;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PAGE_READABILITY_H_
