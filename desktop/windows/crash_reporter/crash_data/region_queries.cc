#include "desktop/windows/crash_reporter/crash_data/region_queries.h"

#include <cstring>
#include <new>
#include <utility>

#include "runtime/logging.h"

namespace tavra {
namespace {

// The query runs in the system, not on this stack.
constexpr SIZE_T kWorkerStackReserve = 64 * 1024;

// Which of the worker and the capture settled the worker's fate first: it
// runs, then either it ended (it was told to stop, or could not wait) or the
// capture abandoned it in a query.
constexpr LONG kRunning = 0;
constexpr LONG kEnded = 1;
constexpr LONG kAbandoned = 2;

// Workers abandoned at a deadline and still stuck, process-wide.
volatile LONG abandonedCount = 0;

}  // namespace

Seam<VirtualQueryExFunction> virtualQueryExSeam(&VirtualQueryEx);
Seam<uint32_t> regionQueryDeadlineSeam(kRegionQueryDeadlineMs);
Seam<uint32_t> abandonedRegionWorkerBoundSeam(kMaxAbandonedRegionWorkers);

struct RegionQueries::Shared {
  // Two references: the capture's and the worker's.
  volatile LONG references = 2;
  volatile LONG state = kRunning;
  // Set, then `request` set, when the worker is to end.
  volatile LONG stop = 0;
  // The worker's own copy of the process handle, so that the capture may
  // close its own whenever it ends.
  ScopedHandle process;
  // Auto-reset: a query, or the stop, is waiting for the worker.
  ScopedHandle request;
  // Auto-reset: the worker's answer is written.
  ScopedHandle answer;
  // Written by the capture before it sets `request`.
  TargetAddress address = 0;
  // Written by the worker before it sets `answer`.
  MEMORY_BASIC_INFORMATION region;
  SIZE_T result = 0;
  DWORD error = 0;
};

void RegionQueries::SharedReferenceTraits::close(Value value) {
  if (InterlockedDecrement(&value->references) == 0) delete value;
}

RegionQueries::RegionQueries(HANDLE process) : process_(process) {}

RegionQueries::~RegionQueries() {
  if (!shared_.isValid() || abandoned_) return;
  InterlockedExchange(&shared_.get()->stop, 1);
  SetEvent(shared_.get()->request.get());
  // An idle worker ends at once; one that does not is left to end alone, and
  // frees what it shares when it does.
  if (WaitForSingleObject(worker_.get(), regionQueryDeadlineSeam.get()) != WAIT_OBJECT_0) {
    TAVRA_LOG(ERROR) << "The region query worker did not end within "
                     << regionQueryDeadlineSeam.get() << " ms";
  }
}

bool RegionQueries::query(TargetAddress address, MEMORY_BASIC_INFORMATION* region, SIZE_T* result) {
  if (givenUp_) return false;
  const uint32_t bound = abandonedRegionWorkerBoundSeam.get();
  const uint32_t stuck = abandonedWorkers();
  if (stuck >= bound) {
    TAVRA_LOG(ERROR) << "VirtualQueryEx not made: " << stuck
                     << " region query workers are stuck in earlier queries (at most " << bound
                     << "); no region of this process is queried";
    givenUp_ = true;
    return false;
  }
  if (!shared_.isValid() && !startWorker()) {
    givenUp_ = true;
    return false;
  }
  Shared* const shared = shared_.get();
  shared->address = address;
  const uint32_t deadline = regionQueryDeadlineSeam.get();
  // One call to set the request and wait for the answer: under Wine each is
  // a round trip to its server.
  if (SignalObjectAndWait(shared->request.get(), shared->answer.get(), deadline, FALSE) !=
      WAIT_OBJECT_0) {
    abandonWorker();
    TAVRA_LOG(ERROR) << "VirtualQueryEx did not return within " << deadline
                     << " ms: the process is taken as ending, and no more of its regions are "
                        "queried";
    givenUp_ = true;
    return false;
  }
  *region = shared->region;
  *result = shared->result;
  SetLastError(shared->error);
  return true;
}

uint32_t RegionQueries::abandonedWorkers() {
  return static_cast<uint32_t>(InterlockedCompareExchange(&abandonedCount, 0, 0));
}

bool RegionQueries::startWorker() {
  SharedReference shared(new (std::nothrow) Shared());
  if (!shared.isValid()) {
    TAVRA_LOG(ERROR) << "No memory for the region query worker";
    return false;
  }
  // The worker's reference, the capture's to release until the worker runs.
  SharedReference workerReference(shared.get());
  Shared* const state = shared.get();
  std::memset(&state->region, 0, sizeof(state->region));
  if (!DuplicateHandle(GetCurrentProcess(), process_, GetCurrentProcess(), state->process.receive(),
                       0, FALSE, DUPLICATE_SAME_ACCESS)) {
    TAVRA_PLOG(ERROR) << "DuplicateHandle failed for the region query worker";
    return false;
  }
  state->request.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  state->answer.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!state->request.isValid() || !state->answer.isValid()) {
    TAVRA_PLOG(ERROR) << "CreateEvent failed for the region query worker";
    return false;
  }
  worker_.reset(CreateThread(nullptr, kWorkerStackReserve, &RegionQueries::workerMain, state,
                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
  if (!worker_.isValid()) {
    TAVRA_PLOG(ERROR) << "CreateThread failed for the region query worker";
    return false;
  }
  workerReference.release();  // Now the worker's.
  shared_ = std::move(shared);
  return true;
}

void RegionQueries::abandonWorker() {
  Shared* const shared = shared_.get();
  // Counted first, so that a worker that ends right after it was marked
  // abandoned never takes the count below zero.
  InterlockedIncrement(&abandonedCount);
  if (InterlockedCompareExchange(&shared->state, kAbandoned, kRunning) != kRunning) {
    // It has ended already: nothing is stuck.
    InterlockedDecrement(&abandonedCount);
  }
  abandoned_ = true;
  // Should its query ever return, it ends rather than wait for another.
  InterlockedExchange(&shared->stop, 1);
  SetEvent(shared->request.get());
  worker_.reset();
}

DWORD WINAPI RegionQueries::workerMain(void* parameter) {
  SharedReference reference(static_cast<Shared*>(parameter));
  Shared* const shared = reference.get();
  DWORD wait = WaitForSingleObject(shared->request.get(), INFINITE);
  while (wait == WAIT_OBJECT_0 && InterlockedCompareExchange(&shared->stop, 0, 0) == 0) {
    MEMORY_BASIC_INFORMATION region;
    std::memset(&region, 0, sizeof(region));
    const SIZE_T result =
        virtualQueryExSeam(shared->process.get(),
                           reinterpret_cast<const void*>(static_cast<uintptr_t>(shared->address)),
                           &region, sizeof(region));
    shared->error = GetLastError();
    shared->region = region;
    shared->result = result;
    // The answer and the wait for the next request, in one call.
    wait = SignalObjectAndWait(shared->answer.get(), shared->request.get(), INFINITE, FALSE);
  }
  // A capture that gave up on this worker counted it; it is gone now.
  if (InterlockedExchange(&shared->state, kEnded) == kAbandoned) {
    InterlockedDecrement(&abandonedCount);
  }
  return 0;
}

}  // namespace tavra
