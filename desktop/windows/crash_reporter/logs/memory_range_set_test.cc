#include "desktop/windows/crash_reporter/logs/memory_range_set.h"

#include <gtest/gtest.h>

#include <iterator>
#include <new>
#include <utility>
#include <vector>

namespace tavra {
namespace {

using Ranges = std::vector<std::pair<TargetAddress, TargetAddress>>;

constexpr TargetAddress kMax = kTargetAddressMax;

Ranges rangesOf(const MemoryRangeSet& set) {
  Ranges ranges;
  for (const MemoryRange& range : set) ranges.emplace_back(range.start, range.end);
  return ranges;
}

// Every allocation's size in bytes, then the real allocation.
std::vector<size_t> allocations;
void* recordedAllocation(size_t bytes) {
  allocations.push_back(bytes);
  return ::operator new(bytes, std::nothrow);
}

void* noMemory(size_t) { return nullptr; }

class MemoryRangeSetTest : public ::testing::Test {
 protected:
  void SetUp() override { allocations.clear(); }
  void TearDown() override { rangeAllocationSeam.replaceForTesting(nullptr); }
};

struct RangeCase {
  const char* name;
  Ranges added;
  Ranges ranges;
  uint64_t total;
};

TEST_F(MemoryRangeSetTest, AddRangeKeepsTheUnionSortedAndCountsNewBytesOnly) {
  // clang-format off
  const RangeCase cases[] = {
      {"disjoint, added out of order", {{300, 400}, {100, 200}, {500, 600}},
       {{100, 200}, {300, 400}, {500, 600}}, 300},
      {"touching ranges merge", {{100, 200}, {300, 400}, {200, 300}}, {{100, 400}}, 300},
      {"overlap", {{100, 200}, {150, 250}}, {{100, 250}}, 150},
      {"2048 over 32 inside", {{1000, 1032}, {0, 2048}}, {{0, 2048}}, 2048},
      {"inside an existing range", {{0, 2048}, {1000, 1032}}, {{0, 2048}}, 2048},
      {"bridges several", {{10, 20}, {30, 40}, {50, 60}, {70, 80}, {15, 55}},
       {{10, 60}, {70, 80}}, 60},
      {"empty and inverted add nothing", {{5, 5}, {9, 3}}, {}, 0},
      {"the ends of the address space", {{kMax - 0xFF, kMax}, {0, 0x10}, {0x10, 0x20}},
       {{0, 0x20}, {kMax - 0xFF, kMax}}, 0x11F},
      {"all of it", {{0, 0x80000000}, {0x7FFFFFFF, kMax}}, {{0, kMax}}, kMax},
  };
  // Ranges of a 64-bit process: across 4 GiB, and more than 4 GiB of them.
  const TargetAddress k4G = static_cast<TargetAddress>(0x100000000ull);
  const RangeCase wideCases[] = {
      {"across 4 GiB", {{k4G, k4G + 0x100}, {0xFFFFFF00, k4G}}, {{0xFFFFFF00, k4G + 0x100}}, 0x200},
      {"more than 4 GiB", {{0x1000, 3 * k4G}, {0, 0x1000}}, {{0, 3 * k4G}}, 0x300000000ull},
  };
  // clang-format on
  std::vector<RangeCase> all(std::begin(cases), std::end(cases));
  if (kTargetArchitecture == Architecture::kX8664) {
    all.insert(all.end(), std::begin(wideCases), std::end(wideCases));
  }
  for (const RangeCase& test : all) {
    SCOPED_TRACE(test.name);
    MemoryRangeSet set;
    for (const auto& range : test.added) EXPECT_TRUE(set.add(range.first, range.second));
    EXPECT_EQ(test.ranges, rangesOf(set));
    EXPECT_EQ(test.total, set.total());
  }

  // The growth from a 32-byte range to the 2048 bytes around it.
  MemoryRangeSet set;
  set.add(1000, 1032);
  const uint64_t before = set.total();
  set.add(0, 2048);
  EXPECT_EQ(2016u, set.total() - before);
}

TEST_F(MemoryRangeSetTest, RangeLeftOutWhenMemoryRunsOut) {
  MemoryRangeSet set;
  ASSERT_TRUE(set.add(100, 200));
  rangeAllocationSeam.replaceForTesting(&noMemory);
  // Merging needs no memory; room for the 65th range does.
  EXPECT_TRUE(set.add(150, 300));
  for (uint32_t i = 1; i < 64; ++i) EXPECT_TRUE(set.add(i * 1000, i * 1000 + 10));
  EXPECT_FALSE(set.add(100000, 100010));
  EXPECT_EQ(64u, set.size());
  EXPECT_EQ(200u + 63 * 10, set.total());
}

TEST_F(MemoryRangeSetTest, TheArrayDoublesAndAClearedSetKeepsIt) {
  rangeAllocationSeam.replaceForTesting(&recordedAllocation);
  MemoryRangeSet set;
  for (uint32_t i = 0; i < 200; ++i) ASSERT_TRUE(set.add(i * 10, i * 10 + 5));
  EXPECT_EQ((std::vector<size_t>{64 * sizeof(MemoryRange), 128 * sizeof(MemoryRange),
                                 256 * sizeof(MemoryRange)}),
            allocations);
  set.clear();
  EXPECT_EQ(Ranges{}, rangesOf(set));
  EXPECT_EQ(0u, set.total());
  for (uint32_t i = 0; i < 200; ++i) ASSERT_TRUE(set.add(i * 10, i * 10 + 5));
  EXPECT_EQ(3u, allocations.size());

  // A new array of exactly the size asked for, the old one gone; none for 0.
  // That many ranges then need no more memory.
  for (size_t capacity : {size_t{0}, size_t{7}}) {
    SCOPED_TRACE(capacity);
    allocations.clear();
    rangeAllocationSeam.replaceForTesting(&recordedAllocation);
    ASSERT_TRUE(set.clearWithCapacity(capacity));
    EXPECT_EQ(0u, set.size());
    EXPECT_EQ(0u, set.total());
    EXPECT_EQ(capacity == 0 ? std::vector<size_t>{} : std::vector<size_t>{7 * sizeof(MemoryRange)},
              allocations);
    rangeAllocationSeam.replaceForTesting(&noMemory);
    for (uint32_t i = 0; i < capacity; ++i) EXPECT_TRUE(set.add(i * 10, i * 10 + 5));
    EXPECT_FALSE(set.add(1000, 1001));
    EXPECT_EQ(capacity, set.size());
  }
  EXPECT_FALSE(set.clearWithCapacity(1));
  EXPECT_EQ(0u, set.size());
  EXPECT_FALSE(set.add(1000, 1001));
}

// Code ranges in any order, nested, overlapping, one wrapping past the top
// and one ending at 0 (both inverted, so empty).
TEST_F(MemoryRangeSetTest, ContainsAndCoversAnswerForTheUnion) {
  MemoryRangeSet set;
  const Ranges added = {{0x00700000, 0x00701000}, {0x00400000, 0x00401000},
                        {0x00300000, 0x00500000}, {0x00800000, 0x00890000},
                        {0x00850000, 0x00890000}, {kMax - 0x7FFF, 0x00008000},
                        {0x20000000, 0x00000000}};
  for (const auto& range : added) EXPECT_TRUE(set.add(range.first, range.second));
  EXPECT_EQ((Ranges{{0x00300000, 0x00500000}, {0x00700000, 0x00701000}, {0x00800000, 0x00890000}}),
            rangesOf(set));
  struct Case {
    const char* name;
    TargetAddress address;
    bool contained;
  };
  const Case cases[] = {
      {"inside the outer of two nested ranges only", 0x004F0000, true},
      {"inside both nested ranges", 0x00400800, true},
      {"the first byte of a range", 0x00300000, true},
      {"the last byte of a range", 0x004FFFFF, true},
      {"just past the outer range", 0x00500000, false},
      {"in a range added before a lower one", 0x00700010, true},
      {"in the second of two overlapping ranges", 0x00880000, true},
      {"between ranges", 0x00600000, false},
      {"below every range", 0x00100000, false},
      {"in the range that wraps", kMax - 0x6FFF, false},
      {"in the range that ends at 0", 0x20000800, false},
  };
  for (const Case& test : cases) {
    EXPECT_EQ(test.contained, set.contains(test.address)) << test.name;
  }

  struct CoverCase {
    const char* name;
    TargetAddress start;
    TargetAddress end;
    bool covered;
  };
  const CoverCase covers[] = {
      {"inside one range", 0x00400000, 0x00400100, true},
      {"the whole range", 0x00700000, 0x00701000, true},
      {"one byte past its end", 0x00700F00, 0x00701001, false},
      {"across two ranges", 0x004FFF00, 0x00700100, false},
      {"starting before the first", 0x002FFFFF, 0x00300010, false},
      {"after the last", 0x00900000, 0x00900010, false},
  };
  for (const CoverCase& test : covers) {
    EXPECT_EQ(test.covered, set.covers(test.start, test.end)) << test.name;
  }
  EXPECT_FALSE(MemoryRangeSet().contains(0x00400000));
  EXPECT_FALSE(MemoryRangeSet().covers(0x00400000, 0x00400010));
}

}  // namespace
}  // namespace tavra
