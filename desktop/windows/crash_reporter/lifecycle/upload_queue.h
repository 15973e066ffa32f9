// The queue of upload jobs: a few run at once, the rest wait their turn.
//
// Each crash whose report goes up gives the queue one upload job
// (upload_job.h). At most kMaxUploadsInFlight jobs run at once, each on a
// worker: a long-running work item of the system thread pool that runs jobs
// one after another, the oldest first, until none waits. Up to
// kMaxWaitingUploads more wait in the order they came, their crash logs on
// disk: a waiting job holds only its form fields and names. A job that finds
// the queue full is dropped, and so is one for which no worker can be
// started while none runs; its crash log is deleted unless the settings keep
// crash logs, and the caller tells the reporter log (the crash's thread is
// inside its log capture here).
//
// A job counts as pending work from its creation to its destruction
// (upload_job.h), whether it waits or runs, so the reporter stays until the
// queue has drained. A worker lets its last job go only after it has last
// touched the queue: the count cannot fall to zero, and start-up cannot
// destroy the queue, while a worker still uses it.
//
// Threads: `submit` runs on the threads that handle crashes, the workers on
// work-queue threads. `lock_` guards the waiting jobs and the counts of jobs
// and workers; a worker is started under it, so that a job waits only while
// a worker runs, but no job runs or is destroyed under it. Start-up makes the
// queue before the server starts and destroys it once no work is pending. The
// test seam is process-wide and is set only while no crash is handled.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UPLOAD_QUEUE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UPLOAD_QUEUE_H_

#include <windows.h>

#include <stddef.h>

#include <memory>

#include "desktop/windows/crash_reporter/lifecycle/upload_job.h"
#include "runtime/scoped_lock.h"
#include "runtime/seam.h"

namespace tavra {

enum class UploadQueueResult {
  // The job runs now, or waits for its turn.
  kQueued,
  // kMaxUploadsInFlight run and kMaxWaitingUploads wait: the job is dropped.
  kFull,
  // No worker runs and none could be started: the job is dropped, and the
  // thread's last error is the starting's.
  kNotStarted,
};

class UploadQueue {
 public:
  // Uploads that run at once. Two keep the crash server busy while one of
  // them waits for its answer, and bound what uploads hold at once: an
  // archive in memory and a connection each. Sixteen renderers crashing
  // together are uploaded in eight rounds, after their processes have gone on.
  static constexpr size_t kMaxUploadsInFlight = 2;
  // Jobs that wait beyond those. A waiting job costs its crash log on disk
  // and a few hundred bytes of fields: two storms of sixteen crashes fit, and
  // at the upload's own bound of 10 minutes a job the queue takes still
  // leaves within hours, not never.
  static constexpr size_t kMaxWaitingUploads = 32;

  // How a worker runs one job; runUploadJob in the reporter.
  using JobRunner = void (*)(UploadJob* job);

  explicit UploadQueue(JobRunner runJob = &runUploadJob);
  // No job may be waiting or running any more: the pending-work count that
  // they are in has fallen to zero.
  ~UploadQueue() = default;
  UploadQueue(const UploadQueue&) = delete;
  UploadQueue& operator=(const UploadQueue&) = delete;

  // Queues `job`, which must not be null, or drops it (see
  // UploadQueueResult) after deleting its crash log unless the job keeps it.
  UploadQueueResult submit(std::unique_ptr<UploadJob> job);

  // Jobs waiting or running, and workers; for tests.
  size_t jobCount() const;
  size_t workerCount() const;

 private:
  static constexpr size_t kCapacity = kMaxUploadsInFlight + kMaxWaitingUploads;

  static DWORD WINAPI runWorker(void* context);
  // Under `lock_`: the oldest waiting job, or null when none waits.
  std::unique_ptr<UploadJob> takeOldest();

  const JobRunner runJob_;
  mutable SrwLock lock_;
  // A ring of the waiting jobs, the oldest at `oldest_`.
  std::unique_ptr<UploadJob> waiting_[kCapacity];
  size_t oldest_ = 0;
  size_t waitingCount_ = 0;
  // Jobs waiting or running, at most kCapacity.
  size_t jobs_ = 0;
  size_t workers_ = 0;
};

// Test seam: the QueueUserWorkItem that starts a worker; null restores the
// real one.
using QueueUserWorkItemFunction = BOOL(WINAPI*)(LPTHREAD_START_ROUTINE function, void* context,
                                                ULONG flags);
extern Seam<QueueUserWorkItemFunction> queueUserWorkItemSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_UPLOAD_QUEUE_H_
