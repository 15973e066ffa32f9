#include "desktop/windows/crash_reporter/crash_data/page_readability.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "testing/browser_client/child_process.h"
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

constexpr uint32_t kPage = 4096;

TargetAddress addressOf(const void* pointer) {
  return static_cast<TargetAddress>(reinterpret_cast<uintptr_t>(pointer));
}

// The first byte of the last page of the address space.
constexpr TargetAddress kLastPage = kTargetAddressMax & ~TargetAddress{kPage - 1};

// What one byte read at `address` says, asked directly.
bool readsOneByte(HANDLE process, TargetAddress address) {
  uint8_t byte = 0;
  SIZE_T count = 0;
  return ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                           &byte, 1, &count) &&
         count == 1;
}

// Sixteen pages reserved together: 0 to 3 read-write, 4 and 5 without access,
// 6 read-only, the rest only reserved. Released at the end.
class RegionFixture {
 public:
  RegionFixture() {
    base_ = static_cast<uint8_t*>(VirtualAlloc(nullptr, 16 * kPage, MEM_RESERVE, PAGE_NOACCESS));
    if (base_ == nullptr) return;
    ok_ = VirtualAlloc(base_, 4 * kPage, MEM_COMMIT, PAGE_READWRITE) != nullptr &&
          VirtualAlloc(base_ + 4 * kPage, 2 * kPage, MEM_COMMIT, PAGE_NOACCESS) != nullptr &&
          VirtualAlloc(base_ + 6 * kPage, kPage, MEM_COMMIT, PAGE_READWRITE) != nullptr;
    DWORD old = 0;
    ok_ = ok_ && VirtualProtect(base_ + 6 * kPage, kPage, PAGE_READONLY, &old);
  }
  ~RegionFixture() {
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
  }
  bool ok() const { return ok_; }
  TargetAddress page(uint32_t index) const { return addressOf(base_) + index * kPage; }

 private:
  uint8_t* base_ = nullptr;
  bool ok_ = false;
};

// Whatever the system makes of each kind of memory (some systems read
// reserved and no-access pages as zeros), the answer is the one of a
// one-byte read.
TEST(PageReadabilityTest, AnswersAsAOneByteReadForEveryKindOfMemory) {
  RegionFixture regions;
  ASSERT_TRUE(regions.ok());
  // A region that was given back: free again.
  void* released = VirtualAlloc(nullptr, kPage, MEM_COMMIT, PAGE_READWRITE);
  ASSERT_NE(nullptr, released);
  ASSERT_TRUE(VirtualFree(released, 0, MEM_RELEASE));
  struct Case {
    const char* name;
    TargetAddress address;
  };
  const Case cases[] = {
      {"read-write, first byte", regions.page(0)},
      {"read-write, last byte of the region", regions.page(4) - 1},
      {"no access, first byte", regions.page(4)},
      {"no access, second page", regions.page(5) + 100},
      {"read-only", regions.page(6) + 4095},
      {"reserved only", regions.page(7)},
      {"reserved only, last byte", regions.page(16) - 1},
      {"given back", addressOf(released)},
      {"zero", 0},
      {"a small number", 0x1F},
      {"this test's code", addressOf(reinterpret_cast<const void*>(&readsOneByte))},
      {"the top of the address space", kTargetAddressMax},
  };
  const size_t count = sizeof(cases) / sizeof(cases[0]);
  // Asked in order and again backwards: an answer does not depend on what
  // was asked before.
  PageReadability readability(GetCurrentProcess());
  for (int pass = 0; pass < 2; ++pass) {
    for (size_t i = 0; i < count; ++i) {
      const Case& test = cases[pass == 0 ? i : count - 1 - i];
      SCOPED_TRACE(std::string(test.name) + (pass == 0 ? "" : ", asked again"));
      EXPECT_EQ(readsOneByte(GetCurrentProcess(), test.address),
                readability.isReadable(test.address));
    }
  }
  // Where every system agrees.
  EXPECT_TRUE(readability.isReadable(regions.page(0)));
  EXPECT_TRUE(readability.isReadable(regions.page(6)));
  EXPECT_FALSE(readability.isReadable(0));
  EXPECT_FALSE(readability.isReadable(kTargetAddressMax));
}

TEST(PageReadabilityTest, EachPageIsAskedAboutOnce) {
  RegionFixture regions;
  ASSERT_TRUE(regions.ok());
  struct Step {
    const char* name;
    TargetAddress address;
    uint32_t newCalls;  // reads that this question adds
  };
  const Step steps[] = {
      {"a readable page: one read", regions.page(1) + 8, 1},
      {"the same page again", regions.page(1) + 4000, 0},
      {"its first and last byte", regions.page(1), 0},
      {"the last byte of that page", regions.page(2) - 1, 0},
      {"the next page: one read", regions.page(2), 1},
      {"an unreadable page: one read", 0x10, 1},
      {"the same page again", 0xFF0, 0},
      {"the page after it: one read", 0x1000, 1},
      {"the last page of the address space", kLastPage, 1},
      {"its last byte", kTargetAddressMax, 0},
  };
  PageReadability readability(GetCurrentProcess());
  uint32_t calls = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    readability.isReadable(step.address);
    EXPECT_EQ(step.newCalls, readability.systemCalls() - calls);
    calls = readability.systemCalls();
  }
}

// Another process, as the snapshot sees a crashed one: its answers agree
// with a one-byte read at every address asked, across the whole address
// space, around each module's ends, and in and around its threads' stacks.
TEST(PageReadabilityTest, AgreesWithOneByteReadsOfAnotherProcess) {
  ChildProcess client;
  ASSERT_TRUE(client.start(siblingProgramPath(L"tavra_test_client.exe"), L"--reporter-pid=1"));
  ASSERT_EQ(0u, client.command("threads 4").find("threads "));
  std::vector<TargetAddress> addresses;
  const std::string listed = client.command("list-modules");
  ASSERT_EQ(0u, listed.find("modules "));
  const int modules = std::atoi(listed.c_str() + 8);
  for (int i = 0; i < modules; ++i) {
    std::string line;
    ASSERT_TRUE(client.readLine(&line, 10000));
    const std::vector<std::string> parts = tokens(line);
    ASSERT_GE(parts.size(), 3u);
    const TargetAddress base =
        static_cast<TargetAddress>(std::strtoull(parts[1].c_str(), nullptr, 16));
    const uint32_t size = static_cast<uint32_t>(std::strtoul(parts[2].c_str(), nullptr, 16));
    for (uint32_t offset : {0u, 1u, size - 1, size, size + kPage})
      addresses.push_back(base + offset);
  }
  // The whole space in steps: every 4 MB of the 32-bit one; of the 64-bit
  // one, every 4 MB of its first 4 GiB, then every 64 GiB up to the end of
  // what processes can use, and beyond.
  for (uint64_t address = 0; address < 0x100000000ull; address += 0x00400000) {
    addresses.push_back(static_cast<TargetAddress>(address));
  }
#if defined(_WIN64)
  for (uint64_t address = 0x100000000ull; address < 0x1000000000000ull;
       address += 0x1000000000ull) {
    addresses.push_back(address);
  }
  addresses.push_back(0xFFFF800000000000ull);
#endif
  std::mt19937_64 random(7);
  for (int i = 0; i < 1000; ++i) addresses.push_back(static_cast<TargetAddress>(random()));

  const HANDLE process = client.process();
  PageReadability readability(process);
  uint32_t readable = 0;
  for (int pass = 0; pass < 2; ++pass) {
    for (TargetAddress address : addresses) {
      const bool answer = readability.isReadable(address);
      ASSERT_EQ(readsOneByte(process, address), answer) << std::hex << address;
      if (pass == 0 && answer) ++readable;
    }
  }
  // Both kinds were seen, and most questions were answered from what was
  // known already.
  EXPECT_GT(readable, 0u);
  EXPECT_LT(readable, addresses.size());
  EXPECT_LT(readability.systemCalls(), addresses.size());
  client.sendLine("exit 0");
  client.waitForExit(5000);
}

#if defined(_WIN64)
// More pieces of address space than the table keeps answers for (only the
// 64-bit space has that many; the whole 32-bit one fits): the answers past
// the bound are still right, only asked of the process each time, and those
// within it stay known.
TEST(PageReadabilityTest, QuestionsPastTheTableBoundAreAnsweredUncached) {
  constexpr TargetAddress kChunk = TargetAddress{kPage} * PageReadability::kPagesPerChunk;
  RegionFixture regions;
  ASSERT_TRUE(regions.ok());
  PageReadability readability(GetCurrentProcess());
  // The readable page first, so that its piece is in the table.
  EXPECT_TRUE(readability.isReadable(regions.page(0)));
  // Then unreadable pieces far above, one page of each, until the table is
  // full and beyond.
  const TargetAddress farAway = TargetAddress{1} << 46;
  for (uint32_t i = 0; i < PageReadability::kMaxChunks + 10; ++i) {
    ASSERT_EQ(readsOneByte(GetCurrentProcess(), farAway + i * kChunk),
              readability.isReadable(farAway + i * kChunk))
        << i;
  }
  const uint32_t calls = readability.systemCalls();
  EXPECT_EQ(PageReadability::kMaxChunks + 11, calls);
  // A piece within the table: known. One past it: asked again, and right.
  EXPECT_TRUE(readability.isReadable(regions.page(0) + 8));
  EXPECT_EQ(calls, readability.systemCalls());
  const TargetAddress past = farAway + (PageReadability::kMaxChunks + 5) * kChunk;
  EXPECT_EQ(readsOneByte(GetCurrentProcess(), past), readability.isReadable(past));
  EXPECT_EQ(calls + 1, readability.systemCalls());
  // Pages of a piece in the table are still asked about once each.
  EXPECT_TRUE(readability.isReadable(regions.page(1)));
  EXPECT_TRUE(readability.isReadable(regions.page(1) + 100));
  EXPECT_EQ(calls + 2, readability.systemCalls());
}
#else
static_assert((uint64_t{kTargetAddressMax} + 1) /
                      (uint64_t{kPage} * PageReadability::kPagesPerChunk) <=
                  PageReadability::kMaxChunks,
              "the whole 32-bit address space fits the table");
#endif

}  // namespace
}  // namespace tavra
