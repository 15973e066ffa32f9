#include "desktop/windows/crash_reporter/upload/deadline_task.h"

#include <windows.h>

#include <memory>

#include "gtest/gtest.h"
#include "runtime/scoped_holder.h"

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
  ASSERT_TRUE(DeadlineTask::runWithin(task, 10000));
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
    EXPECT_FALSE(DeadlineTask::runWithin(task, 100));
    EXPECT_LT(GetTickCount() - start, 10000u);
  }
  // The thread still holds the task.
  EXPECT_EQ(WaitForSingleObject(destroyed.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  SetEvent(release.get());
  EXPECT_EQ(WaitForSingleObject(destroyed.get(), 10000), WAIT_OBJECT_0);
}

}  // namespace
}  // namespace tavra
