#include "desktop/windows/crash_reporter/lifecycle/upload_queue.h"

#include <utility>

namespace tavra {

Seam<QueueUserWorkItemFunction> queueUserWorkItemSeam(&QueueUserWorkItem);

UploadQueue::UploadQueue(JobRunner runJob) : runJob_(runJob) {}

UploadQueueResult UploadQueue::submit(std::unique_ptr<UploadJob> job) {
  UploadQueueResult result = UploadQueueResult::kQueued;
  DWORD error = ERROR_SUCCESS;
  {
    ScopedSrwLock hold(&lock_);
    if (jobs_ == kCapacity) {
      result = UploadQueueResult::kFull;
    } else {
      waiting_[(oldest_ + waitingCount_) % kCapacity] = std::move(job);
      ++waitingCount_;
      ++jobs_;
      if (workers_ < kMaxUploadsInFlight) {
        // The upload may take minutes: a long function gets a thread of its
        // own rather than holding one that short work items wait for.
        if (queueUserWorkItemSeam(&runWorker, this, WT_EXECUTELONGFUNCTION)) {
          ++workers_;
        } else if (workers_ == 0) {
          // Nothing would ever take it up. No job came after it: the lock
          // has been held since it went in.
          error = GetLastError();
          --waitingCount_;
          --jobs_;
          job = std::move(waiting_[(oldest_ + waitingCount_) % kCapacity]);
          result = UploadQueueResult::kNotStarted;
        }
        // Otherwise a running worker takes it up in its turn.
      }
    }
  }
  if (result == UploadQueueResult::kQueued) return result;
  if (job->deleteLog()) DeleteFileA(job->logName().c_str());
  job.reset();
  // The caller tells why the report was dropped.
  SetLastError(error);
  return result;
}

std::unique_ptr<UploadJob> UploadQueue::takeOldest() {
  if (waitingCount_ == 0) return nullptr;
  std::unique_ptr<UploadJob> job = std::move(waiting_[oldest_]);
  oldest_ = (oldest_ + 1) % kCapacity;
  --waitingCount_;
  return job;
}

DWORD WINAPI UploadQueue::runWorker(void* context) {
  UploadQueue* const queue = static_cast<UploadQueue*>(context);
  // The job that ran last keeps the pending-work count above zero, and with
  // it the queue alive, until the worker is done with the queue.
  std::unique_ptr<UploadJob> finished;
  for (;;) {
    std::unique_ptr<UploadJob> next;
    {
      ScopedSrwLock hold(&queue->lock_);
      if (finished) --queue->jobs_;
      next = queue->takeOldest();
      if (!next) --queue->workers_;
    }
    // May end the reporter's pending work: nothing of the queue is touched
    // after it when no job is left.
    finished.reset();
    if (!next) return 0;
    queue->runJob_(next.get());
    finished = std::move(next);
  }
}

size_t UploadQueue::jobCount() const {
  ScopedSrwLock hold(&lock_);
  return jobs_;
}

size_t UploadQueue::workerCount() const {
  ScopedSrwLock hold(&lock_);
  return workers_;
}

}  // namespace tavra
