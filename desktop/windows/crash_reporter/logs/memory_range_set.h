// A set of addresses of a crashed process kept as the sorted union of
// ranges: the memory that a crash log dumps, and the modules' code ranges
// that it looks values up in.
//
// The ranges are disjoint and sorted by start, and no two touch, so that each
// address belongs to at most one range and a lookup is one binary search.
// Ranges are addresses of the crashed process (runtime/target_width.h) up to,
// not including, an end; an end of kTargetAddressMax is the highest there is
// (the last byte is never in a range).
//
// Memory: one array, from `rangeAllocationSeam`, that grows by doubling from
// 64 ranges; when there is no memory for it, the range that needed it is left
// out and the set stays as it was. The set owns the array and frees it when
// destroyed.
//
// Threads: a set belongs to the crash log writer that made it and is used by
// the one thread that handles that crash; nothing in it is shared or locked.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_MEMORY_RANGE_SET_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_MEMORY_RANGE_SET_H_

#include <stddef.h>
#include <stdint.h>

#include "runtime/scoped_holder.h"
#include "runtime/seam.h"
#include "runtime/target_width.h"

namespace tavra {

// Memory from `start` up to, not including, `end`.
struct MemoryRange {
  TargetAddress start;
  TargetAddress end;
};

class MemoryRangeSet {
 public:
  // The capacity of the first array that `add` makes.
  static constexpr size_t kFirstCapacity = 64;

  MemoryRangeSet() = default;
  MemoryRangeSet(const MemoryRangeSet&) = delete;
  MemoryRangeSet& operator=(const MemoryRangeSet&) = delete;

  // Adds [start, end), merged with every range that it overlaps or touches;
  // `total` grows by the bytes newly covered. An empty or inverted range adds
  // nothing. False only when memory ran out: the range is then left out and
  // nothing changes.
  bool add(TargetAddress start, TargetAddress end);

  // Empties the set; the array is kept for the next ranges.
  void clear();
  // Empties the set and frees its array, then makes a new one of exactly
  // `capacity` ranges, so that that many calls of `add` need no more memory.
  // False when memory ran out: the set then has no array.
  bool clearWithCapacity(size_t capacity);

  // Whether one range holds all of [start, end).
  bool covers(TargetAddress start, TargetAddress end) const;
  // Whether a range holds `address`.
  bool contains(TargetAddress address) const;

  const MemoryRange* begin() const { return ranges_.get(); }
  const MemoryRange* end() const { return ranges_.get() + count_; }
  size_t size() const { return count_; }
  // The bytes that the ranges cover; in 64 bits, as ranges of a 64-bit
  // process may cover more than 4 GiB.
  uint64_t total() const { return total_; }

 private:
  // Moves the ranges into a new array of `capacity` ranges.
  bool grow(size_t capacity);

  ScopedOperatorNewMemory<MemoryRange*> ranges_;
  size_t count_ = 0;
  size_t capacity_ = 0;
  uint64_t total_ = 0;
};

// Returns memory for `bytes` bytes of a set's array, or null when there is
// none; the set frees it with ::operator delete. A test seam: null restores
// the real allocation, read at each call.
using RangeAllocationFunction = void* (*)(size_t bytes);
extern Seam<RangeAllocationFunction> rangeAllocationSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_MEMORY_RANGE_SET_H_
