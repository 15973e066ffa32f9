#include "desktop/windows/crash_reporter/lifecycle/upload_queue.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/lifecycle/pending_work.h"
#include "runtime/file_util.h"
#include "runtime/scoped_temp_dir.h"
#include "runtime/utf_conversion.h"
#include "testing/test_support/scoped_current_directory.h"
#include "testing/test_support/wait_until.h"

namespace tavra {
namespace {

constexpr size_t kInFlight = UploadQueue::kMaxUploadsInFlight;
constexpr size_t kTaken = UploadQueue::kMaxUploadsInFlight + UploadQueue::kMaxWaitingUploads;
// Generous for a loaded machine; a passing run waits a fraction of it.
constexpr DWORD kWaitMs = 60000;

// A job runner that records which jobs started, in order, and how many ran
// at once, and holds each job until the test lets one go.
class HeldJobs {
 public:
  HeldJobs() : letGo_(CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr)) {}

  static void run(UploadJob* job) {
    HeldJobs* self = current_;
    {
      ScopedSrwLock hold(&self->lock_);
      self->started_.push_back(job->crash().number);
      self->mostAtOnce_ = std::max(self->mostAtOnce_, ++self->running_);
    }
    WaitForSingleObject(self->letGo_.get(), kWaitMs);
    ScopedSrwLock hold(&self->lock_);
    --self->running_;
  }

  void letGo(LONG jobs) { ReleaseSemaphore(letGo_.get(), jobs, nullptr); }
  std::vector<uint32_t> started() {
    ScopedSrwLock hold(&lock_);
    return started_;
  }
  size_t mostAtOnce() {
    ScopedSrwLock hold(&lock_);
    return mostAtOnce_;
  }

  static HeldJobs* current_;

 private:
  ScopedHandle letGo_;
  SrwLock lock_;
  std::vector<uint32_t> started_;
  size_t running_ = 0;
  size_t mostAtOnce_ = 0;
};
HeldJobs* HeldJobs::current_ = nullptr;

BOOL WINAPI refuseWorkItem(LPTHREAD_START_ROUTINE, void*, ULONG) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

// Jobs of crash logs in a fresh current directory, counted in the test's own
// pending work with the living parent in it.
class UploadQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HeldJobs::current_ = &held_;
    ASSERT_TRUE(dir_.isValid());
    ASSERT_TRUE(currentDirectory_.enter(dir_.path()));
    ASSERT_TRUE(work_.createDoneEvent());
    work_.enter();  // The living parent.
  }
  void TearDown() override {
    held_.letGo(1000);
    // No job may outlive the count that it is counted in, nor the queue.
    EXPECT_TRUE(waitUntil([this] { return work_.count() == 1; }, kWaitMs));
    queueUserWorkItemSeam.replaceForTesting(nullptr);
  }

  static std::string logName(uint32_t crash) {
    return "tavra-crashlog-1-" + std::to_string(crash) + ".txt";
  }
  bool logExists(uint32_t crash) const {
    return pathExists(joinPath(dir_.path(), asciiToWide(logName(crash))));
  }
  // A job of crash `crash`, whose crash log is there.
  std::unique_ptr<UploadJob> job(uint32_t crash, bool keepLog) {
    EXPECT_TRUE(writeFile(joinPath(dir_.path(), asciiToWide(logName(crash))), "log"));
    ReporterSettings settings;
    settings.keepLogs = keepLog;
    CrashIdentity identity;
    identity.number = crash;
    return std::make_unique<UploadJob>(&work_, settings, logName(crash), CrashAnnotations(), L"",
                                       identity);
  }

  HeldJobs held_;
  ScopedTempDir dir_{L"upload_queue"};
  ScopedCurrentDirectory currentDirectory_;
  // Declared before the queue: its jobs are counted here.
  PendingWork work_;
  UploadQueue queue_{&HeldJobs::run};
};

TEST_F(UploadQueueTest, AFewRunAtOnceTheRestWaitInOrderAndBeyondThemAJobIsDropped) {
  // Two more than the queue takes: one whose log is kept, one whose is not.
  const uint32_t jobs = static_cast<uint32_t>(kTaken) + 2;
  for (uint32_t crash = 1; crash <= jobs; ++crash) {
    SCOPED_TRACE(crash);
    const bool dropped = crash > kTaken;
    EXPECT_EQ(queue_.submit(job(crash, crash == jobs)),
              dropped ? UploadQueueResult::kFull : UploadQueueResult::kQueued);
    // A dropped job's log goes unless kept; a taken one's waits on disk.
    EXPECT_EQ(logExists(crash), !dropped || crash == jobs);
  }
  // The first ones run; the rest wait, each still pending work.
  ASSERT_TRUE(waitUntil([&] { return held_.started().size() == kInFlight; }, kWaitMs));
  EXPECT_EQ(queue_.jobCount(), kTaken);
  EXPECT_EQ(queue_.workerCount(), kInFlight);
  EXPECT_EQ(work_.count(), static_cast<LONG>(kTaken) + 1);
  // One job ends at a time: the oldest waiting one starts in its place.
  for (size_t started = kInFlight; started < kTaken; ++started) {
    held_.letGo(1);
    ASSERT_TRUE(waitUntil([&] { return held_.started().size() == started + 1; }, kWaitMs));
  }
  std::vector<uint32_t> order = held_.started();
  // The first two started side by side, in either order.
  std::sort(order.begin(), order.begin() + kInFlight);
  for (uint32_t i = 0; i < kTaken; ++i) EXPECT_EQ(order[i], i + 1) << "position " << i;
  held_.letGo(static_cast<LONG>(kInFlight));
  // Drained: the workers are gone, and once the parent goes the reporter may
  // end.
  ASSERT_TRUE(waitUntil([this] { return work_.count() == 1; }, kWaitMs));
  EXPECT_EQ(queue_.jobCount(), 0u);
  EXPECT_EQ(queue_.workerCount(), 0u);
  EXPECT_EQ(held_.mostAtOnce(), kInFlight);
  work_.leave();
  EXPECT_EQ(WaitForSingleObject(work_.doneEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  work_.enter();
}

TEST_F(UploadQueueTest, AJobWaitsForARunningWorkerWhenNoOtherCanBeStarted) {
  const struct {
    bool aWorkerRuns;
    bool keepLog;
    UploadQueueResult result;
  } cases[] = {
      {false, false, UploadQueueResult::kNotStarted},
      {false, true, UploadQueueResult::kNotStarted},
      {true, false, UploadQueueResult::kQueued},
  };
  uint32_t crash = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "a worker runs " << c.aWorkerRuns << ", keep " << c.keepLog);
    const size_t startedBefore = held_.started().size();
    if (c.aWorkerRuns) {
      ASSERT_EQ(queue_.submit(job(++crash, false)), UploadQueueResult::kQueued);
      ASSERT_TRUE(waitUntil([&] { return held_.started().size() == startedBefore + 1; }));
    }
    queueUserWorkItemSeam.replaceForTesting(&refuseWorkItem);
    ++crash;
    EXPECT_EQ(queue_.submit(job(crash, c.keepLog)), c.result);
    queueUserWorkItemSeam.replaceForTesting(nullptr);
    if (c.result == UploadQueueResult::kNotStarted) {
      // Dropped with the starting's error; its log goes unless kept.
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
      EXPECT_EQ(logExists(crash), c.keepLog);
      EXPECT_EQ(work_.count(), 1);
      continue;
    }
    // The running worker takes it up after its own job.
    held_.letGo(2);
    ASSERT_TRUE(waitUntil([this] { return work_.count() == 1; }, kWaitMs));
    const std::vector<uint32_t> started = held_.started();
    ASSERT_EQ(started.size(), startedBefore + 2);
    EXPECT_EQ(started.back(), crash);
    EXPECT_EQ(queue_.workerCount(), 0u);
  }
}

}  // namespace
}  // namespace tavra
