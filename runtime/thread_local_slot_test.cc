#include "runtime/thread_local_slot.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

namespace tavra {
namespace {

TEST(ThreadLocalSlotTest, EachThreadHasItsOwnValue) {
  ThreadLocalSlot slot;
  EXPECT_FALSE(slot.isInitialized());
  EXPECT_EQ(nullptr, slot.get());
  EXPECT_FALSE(slot.set(&slot));
  ASSERT_TRUE(slot.initialize());
  ASSERT_TRUE(slot.initialize());  // Idempotent.

  int mine = 0;
  int theirs = 0;
  ASSERT_TRUE(slot.set(&mine));
  void* seenByOther = &mine;
  void* otherAfterSet = nullptr;
  std::thread other([&] {
    seenByOther = slot.get();
    slot.set(&theirs);
    otherAfterSet = slot.get();
  });
  other.join();
  EXPECT_EQ(nullptr, seenByOther);
  EXPECT_EQ(&theirs, otherAfterSet);
  EXPECT_EQ(&mine, slot.get());

  slot.free();
  EXPECT_FALSE(slot.isInitialized());
  EXPECT_EQ(nullptr, slot.get());
  ASSERT_TRUE(slot.initialize());
  EXPECT_EQ(nullptr, slot.get());  // A new index starts empty.
}

}  // namespace
}  // namespace tavra
