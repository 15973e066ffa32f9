#include "runtime/thread_local_slot.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "runtime/scoped_handle.h"

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

TEST(ThreadLocalSlotTest, ThreadsRacingToCreateShareOneIndex) {
  ThreadLocalSlot slot;
  ScopedHandle start(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(start.isValid());
  const int kThreads = 8;
  std::vector<int> values(kThreads);
  std::vector<void*> readBack(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      WaitForSingleObject(start.get(), INFINITE);
      if (!slot.initialize()) return;
      slot.set(&values[i]);
      Sleep(1);  // Let the others publish or give back their indexes.
      readBack[i] = slot.get();
    });
  }
  SetEvent(start.get());
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(&values[i], readBack[i]) << i;
}

}  // namespace
}  // namespace tavra
