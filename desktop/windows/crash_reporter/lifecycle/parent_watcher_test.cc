#include "desktop/windows/crash_reporter/lifecycle/parent_watcher.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "runtime/file_util.h"
#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

// A real process that stands for the parent: this test program, started
// suspended so that it does nothing until the test ends it.
class StandInParent {
 public:
  StandInParent() {
    std::wstring self;
    getExecutablePath(&self);
    std::wstring commandLine = L"\"" + self + L"\" --gtest_list_tests";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(self.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                       nullptr, nullptr, &startup, &info)) {
      process_.reset(info.hProcess);
      CloseHandle(info.hThread);
      id_ = info.dwProcessId;
    }
  }
  ~StandInParent() { end(); }

  DWORD id() const { return id_; }
  void end() {
    if (process_.isValid()) {
      TerminateProcess(process_.get(), 0);
      WaitForSingleObject(process_.get(), INFINITE);
    }
  }

 private:
  ScopedHandle process_;
  DWORD id_ = 0;
};

TEST(ParentWatcherTest, ParentExitTakesItsItemOffAndSetsTheDoneEvent) {
  StandInParent parent;
  ASSERT_NE(0u, parent.id());
  PendingWork work;
  ASSERT_TRUE(work.createDoneEvent());
  ParentWatcher watcher(&work);
  ASSERT_TRUE(watcher.watch(parent.id()));
  EXPECT_EQ(1, work.count());
  EXPECT_TRUE(watcher.isArmed());

  parent.end();
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(work.doneEvent(), 10000));
  EXPECT_EQ(0, work.count());
  EXPECT_FALSE(watcher.isArmed());
  // Cleaning up afterwards does not count the exit a second time.
  watcher.cleanUp();
  EXPECT_EQ(0, work.count());
}

TEST(ParentWatcherTest, ExitIsCountedOnceWhenDisarmedFirst) {
  StandInParent parent;
  PendingWork work;
  ASSERT_TRUE(work.createDoneEvent());
  work.enter();  // Other work that keeps the count above the parent's item.
  ParentWatcher watcher(&work);
  ASSERT_TRUE(watcher.watch(parent.id()));
  EXPECT_EQ(2, work.count());
  watcher.disarm();
  watcher.disarm();
  EXPECT_EQ(1, work.count());
  parent.end();
  Sleep(200);  // Give the exit callback its chance to (wrongly) count again.
  EXPECT_EQ(1, work.count());
  watcher.cleanUp();
  EXPECT_EQ(1, work.count());
}

TEST(ParentWatcherTest, ParentThatDoesNotExistIsNotWatched) {
  PendingWork work;
  ParentWatcher watcher(&work);
  // No process has this id; an ended process's id is no good here, since the
  // system may give it to a new process at once.
  EXPECT_FALSE(watcher.watch(0xFFFFFFFCu));
  EXPECT_EQ(0, work.count());
  EXPECT_FALSE(watcher.isArmed());
  watcher.cleanUp();
  EXPECT_EQ(0, work.count());
}

TEST(ParentWatcherTest, DestructionUnregistersTheWait) {
  StandInParent parent;
  PendingWork work;
  ASSERT_TRUE(work.createDoneEvent());
  {
    ParentWatcher watcher(&work);
    ASSERT_TRUE(watcher.watch(parent.id()));
  }
  EXPECT_EQ(0, work.count());
  // The wait is gone: the parent's exit must not touch the dead watcher.
  parent.end();
  Sleep(100);
  EXPECT_EQ(0, work.count());
}

}  // namespace
}  // namespace tavra
