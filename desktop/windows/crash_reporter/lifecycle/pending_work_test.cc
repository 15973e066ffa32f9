#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

bool isSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

TEST(PendingWorkTest, DoneEventIsSetExactlyWhileTheCountIsZero) {
  PendingWork work;
  ASSERT_TRUE(work.createDoneEvent());
  EXPECT_FALSE(isSet(work.doneEvent()));
  // Each step and whether the event is set after it.
  const struct {
    bool enter;
    bool setAfter;
  } steps[] = {{true, false},
               {true, false},
               {false, false},
               {false, true},
               // Work that begins after the count fell to zero resets it.
               {true, false},
               {false, true}};
  for (size_t i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
    if (steps[i].enter) {
      work.enter();
    } else {
      work.leave();
    }
    EXPECT_EQ(steps[i].setAfter, isSet(work.doneEvent())) << "step " << i;
  }
  EXPECT_TRUE(work.waitUntilIdle());
}

struct Waiter {
  PendingWork* work = nullptr;
  std::atomic<bool> returned{false};
  std::atomic<LONG> countAtReturn{-1};

  static DWORD WINAPI run(void* context) {
    Waiter* self = static_cast<Waiter*>(context);
    self->work->waitUntilIdle();
    self->countAtReturn = self->work->count();
    self->returned = true;
    return 0;
  }
};

TEST(PendingWorkTest, WaitingAfterLateWorkBeganLastsUntilItEnds) {
  PendingWork work;
  ASSERT_TRUE(work.createDoneEvent());
  work.enter();
  work.leave();
  // Late work: it begins after the event was set for the first time.
  work.enter();
  Waiter waiter;
  waiter.work = &work;
  ScopedHandle thread(CreateThread(nullptr, 0, &Waiter::run, &waiter, 0, nullptr));
  ASSERT_TRUE(thread.isValid());
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(thread.get(), 300));
  EXPECT_FALSE(waiter.returned);
  work.leave();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.get(), 5000));
  EXPECT_EQ(0, waiter.countAtReturn);
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

// Runs enterAndLeave on four threads at once and waits until all are done.
void enterAndLeaveOnFourThreads(PendingWork* work) {
  ScopedHandle threads[4];
  HANDLE handles[4];
  for (int i = 0; i < 4; ++i) {
    threads[i].reset(CreateThread(nullptr, 0, &enterAndLeave, work, 0, nullptr));
    ASSERT_TRUE(threads[i].isValid());
    handles[i] = threads[i].get();
  }
  ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(4, handles, TRUE, INFINITE));
}

struct RepeatedWaiter {
  PendingWork* work = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<int> waits{0};

  static DWORD WINAPI run(void* context) {
    RepeatedWaiter* self = static_cast<RepeatedWaiter*>(context);
    while (!self->stop) {
      self->work->waitUntilIdle();
      ++self->waits;
    }
    return 0;
  }
};

TEST(PendingWorkTest, CountCrossingZeroFromManyThreadsEndsIdleAndWakesTheWaiter) {
  // The count goes between zero and one all the time while a waiter waits
  // again and again: at the end the event is set, and a waiter that waits
  // then returns.
  PendingWork work;
  ASSERT_TRUE(work.createDoneEvent());
  RepeatedWaiter waiter;
  waiter.work = &work;
  ScopedHandle waiterThread(CreateThread(nullptr, 0, &RepeatedWaiter::run, &waiter, 0, nullptr));
  ASSERT_TRUE(waiterThread.isValid());
  ASSERT_NO_FATAL_FAILURE(enterAndLeaveOnFourThreads(&work));
  EXPECT_EQ(0, work.count());
  EXPECT_TRUE(isSet(work.doneEvent()));
  waiter.stop = true;
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiterThread.get(), 5000));
  EXPECT_GT(waiter.waits, 0);
}

TEST(PendingWorkTest, ConcurrentItemsBalanceOut) {
  PendingWork work;
  ASSERT_TRUE(work.createDoneEvent());
  work.enter();  // Held until every thread is done.
  ASSERT_NO_FATAL_FAILURE(enterAndLeaveOnFourThreads(&work));
  EXPECT_EQ(1, work.count());
  EXPECT_FALSE(isSet(work.doneEvent()));
  work.leave();
  EXPECT_TRUE(isSet(work.doneEvent()));
}

TEST(PendingWorkTest, AScopedItemCountsForItsLifetime) {
  PendingWork work;
  ASSERT_TRUE(work.createDoneEvent());
  {
    ScopedPendingWork item(&work);
    EXPECT_EQ(1, work.count());
    EXPECT_FALSE(isSet(work.doneEvent()));
  }
  EXPECT_EQ(0, work.count());
  EXPECT_TRUE(isSet(work.doneEvent()));
}

}  // namespace
}  // namespace tavra
