#include "desktop/windows/crash_reporter/logs/memory_range_set.h"

#include <string.h>

#include <algorithm>
#include <new>

namespace tavra {
namespace {

void* allocateWithoutThrowing(size_t bytes) { return ::operator new(bytes, std::nothrow); }

// The first range that starts after `address`. The one before it, when there
// is one, is the only range that can hold `address`.
const MemoryRange* firstStartingAfter(const MemoryRange* begin, const MemoryRange* end,
                                      TargetAddress address) {
  return std::upper_bound(begin, end, address, [](TargetAddress value, const MemoryRange& range) {
    return value < range.start;
  });
}

}  // namespace

Seam<RangeAllocationFunction> rangeAllocationSeam(&allocateWithoutThrowing);

bool MemoryRangeSet::add(TargetAddress start, TargetAddress end) {
  if (start >= end) return true;
  MemoryRange* const ranges = ranges_.get();
  MemoryRange* const listEnd = ranges + count_;
  // The ranges are disjoint and sorted by start, so their ends are sorted as
  // well: [first, last) are the ranges that the new one overlaps or touches.
  MemoryRange* first = std::lower_bound(
      ranges, listEnd, start,
      [](const MemoryRange& range, TargetAddress value) { return range.end < value; });
  MemoryRange* last = std::upper_bound(
      first, listEnd, end,
      [](TargetAddress value, const MemoryRange& range) { return value < range.start; });
  if (first != last) {
    uint64_t covered = 0;
    for (const MemoryRange* range = first; range != last; ++range) {
      covered += range->end - range->start;
    }
    const MemoryRange merged = {std::min(start, first->start), std::max(end, (last - 1)->end)};
    total_ += (merged.end - merged.start) - covered;
    *first = merged;
    memmove(first + 1, last, static_cast<size_t>(listEnd - last) * sizeof(MemoryRange));
    count_ -= static_cast<size_t>(last - first) - 1;
    return true;
  }

  const size_t index = static_cast<size_t>(first - ranges);
  if (count_ == capacity_ && !grow(capacity_ == 0 ? kFirstCapacity : capacity_ * 2)) return false;
  MemoryRange* const grown = ranges_.get();
  memmove(grown + index + 1, grown + index, (count_ - index) * sizeof(MemoryRange));
  grown[index] = {start, end};
  ++count_;
  total_ += end - start;
  return true;
}

void MemoryRangeSet::clear() {
  count_ = 0;
  total_ = 0;
}

bool MemoryRangeSet::clearWithCapacity(size_t capacity) {
  ranges_.reset();
  capacity_ = 0;
  clear();
  return capacity == 0 || grow(capacity);
}

bool MemoryRangeSet::grow(size_t capacity) {
  if (capacity > static_cast<size_t>(-1) / 2 / sizeof(MemoryRange)) return false;
  MemoryRange* const grown =
      static_cast<MemoryRange*>(rangeAllocationSeam(capacity * sizeof(MemoryRange)));
  if (grown == nullptr) return false;
  if (count_ != 0) memcpy(grown, ranges_.get(), count_ * sizeof(MemoryRange));
  ranges_.reset(grown);
  capacity_ = capacity;
  return true;
}

bool MemoryRangeSet::covers(TargetAddress start, TargetAddress end) const {
  const MemoryRange* after = firstStartingAfter(begin(), this->end(), start);
  return after != begin() && (after - 1)->end >= end;
}

bool MemoryRangeSet::contains(TargetAddress address) const {
  const MemoryRange* after = firstStartingAfter(begin(), end(), address);
  return after != begin() && address < (after - 1)->end;
}

}  // namespace tavra
