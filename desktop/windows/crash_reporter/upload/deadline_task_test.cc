#include "desktop/windows/crash_reporter/upload/deadline_task.h"

#include <windows.h>

#include <memory>

#include "gtest/gtest.h"
#include "runtime/scoped_holder.h"
#include "runtime/seam.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

// Waits for `release` before it writes its result, and tells `destroyed`
// when the last reference is gone.
class GatedTask : public DeadlineTask {
 public:
  GatedTask(HANDLE release, HANDLE destroyed) : release_(release), destroyed_(destroyed) {}
  ~GatedTask() override { SetEvent(destroyed_); }
  void run() override {
    if (release_ != nullptr) WaitForSingleObject(release_, INFINITE);
    threadId_ = GetCurrentThreadId();
    result_ = 42;
  }
  int result() const { return result_; }
  bool ran() const { return threadId_ != 0; }
  DWORD threadId() const { return threadId_; }

 private:
  HANDLE release_;
  HANDLE destroyed_;
  DWORD threadId_ = 0;
  int result_ = 0;
};

TEST(DeadlineTaskTest, WorkThatEndsInTimeLeavesItsResultsToTheCaller) {
  ScopedHandle destroyed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  auto task = std::make_shared<GatedTask>(nullptr, destroyed.get());
  ASSERT_EQ(DeadlineTask::runWithin(task, 10000), DeadlineResult::Done);
  EXPECT_EQ(task->result(), 42);
  EXPECT_NE(task->threadId(), GetCurrentThreadId());
  task.reset();
  EXPECT_EQ(WaitForSingleObject(destroyed.get(), 0), WAIT_OBJECT_0);
}

TEST(DeadlineTaskTest, LateWorkIsLeftToFinishAndFreesItself) {
  ScopedHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ScopedHandle destroyed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  {
    auto task = std::make_shared<GatedTask>(release.get(), destroyed.get());
    const DWORD start = GetTickCount();
    EXPECT_EQ(DeadlineTask::runWithin(task, 100), DeadlineResult::DeadlinePassed);
    EXPECT_LT(GetTickCount() - start, 10000u);
  }
  // The thread still holds the task.
  EXPECT_EQ(WaitForSingleObject(destroyed.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(release.get());
  EXPECT_EQ(WaitForSingleObject(destroyed.get(), 10000), WAIT_OBJECT_0);
}

TEST(DeadlineTaskTest, NoWorkStartsWhileTheBoundOfAbandonedThreadsIsReached) {
  ScopedSeamReplacement<uint32_t> bound(&abandonedDeadlineThreadBoundSeam, 2);
  ScopedHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ScopedHandle destroyed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_EQ(DeadlineTask::abandonedThreads(), 0u);
  for (uint32_t i = 1; i <= 2; ++i) {
    auto late = std::make_shared<GatedTask>(release.get(), destroyed.get());
    EXPECT_EQ(DeadlineTask::runWithin(late, 50), DeadlineResult::DeadlinePassed);
    EXPECT_EQ(DeadlineTask::abandonedThreads(), i);
  }
  auto refused = std::make_shared<GatedTask>(nullptr, destroyed.get());
  EXPECT_EQ(DeadlineTask::runWithin(refused, 10000), DeadlineResult::BoundReached);
  EXPECT_FALSE(refused->ran());
  // Abandoned threads that end count no more.
  SetEvent(release.get());
  ASSERT_TRUE(waitUntil([] { return DeadlineTask::abandonedThreads() == 0; }, 10000));
  auto next = std::make_shared<GatedTask>(nullptr, destroyed.get());
  EXPECT_EQ(DeadlineTask::runWithin(next, 10000), DeadlineResult::Done);
  EXPECT_TRUE(next->ran());
}

}  // namespace
}  // namespace tavra
