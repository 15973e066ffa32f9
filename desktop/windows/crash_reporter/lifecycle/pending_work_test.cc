#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "runtime/at_exit.h"

namespace tavra {
namespace {

bool isSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

TEST(PendingWorkTest, DoneEventIsSetWhenTheCountFallsToZeroAndStaysSet) {
  PendingWork work;
  ASSERT_TRUE(work.createDoneEvent());
  work.enter();
  work.enter();
  work.leave();
  EXPECT_FALSE(isSet(work.doneEvent()));
  work.leave();
  EXPECT_TRUE(isSet(work.doneEvent()));
  // Work that begins afterwards does not reset the event.
  work.enter();
  EXPECT_TRUE(isSet(work.doneEvent()));
  EXPECT_TRUE(work.waitUntilIdle());
}

TEST(PendingWorkTest, WithoutEventNothingIsSignalledAndWaitReturnsAtOnce) {
  PendingWork work;
  work.enter();
  work.leave();
  EXPECT_EQ(0, work.count());
  EXPECT_FALSE(work.waitUntilIdle());
}

DWORD WINAPI enterAndLeave(void* context) {
  PendingWork* work = static_cast<PendingWork*>(context);
  for (int i = 0; i < 10000; ++i) {
    work->enter();
    work->leave();
  }
  return 0;
}

TEST(PendingWorkTest, ConcurrentItemsBalanceOut) {
  PendingWork work;
  ASSERT_TRUE(work.createDoneEvent());
  work.enter();  // Held until every thread is done.
  HANDLE threads[4];
  for (HANDLE& thread : threads) {
    thread = CreateThread(nullptr, 0, &enterAndLeave, &work, 0, nullptr);
    ASSERT_NE(nullptr, thread);
  }
  WaitForMultipleObjects(4, threads, TRUE, INFINITE);
  for (HANDLE thread : threads) CloseHandle(thread);
  EXPECT_EQ(1, work.count());
  EXPECT_FALSE(isSet(work.doneEvent()));
  work.leave();
  EXPECT_TRUE(isSet(work.doneEvent()));
}

TEST(PendingWorkTest, ProcessWideInstanceBelongsToTheInnermostScope) {
  PendingWork* first;
  {
    AtExitScope scope;
    first = PendingWork::get();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, PendingWork::get());
    {
      ScopedPendingWork item;
      EXPECT_EQ(1, first->count());
    }
    EXPECT_EQ(0, first->count());
  }
  // The scope destroyed it; a later scope gets a fresh, empty instance.
  AtExitScope scope;
  PendingWork* second = PendingWork::get();
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(0, second->count());
  EXPECT_EQ(nullptr, second->doneEvent());
}

}  // namespace
}  // namespace tavra
