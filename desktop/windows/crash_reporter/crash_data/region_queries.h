// The region queries (VirtualQueryEx) of one capture of a crashed process,
// each bounded by a deadline.
//
// A region query of another process may never return: some systems carry it
// out in the target process itself, on one of its threads, and when that
// process ends itself while the query runs there, nothing ever answers the
// caller. A crashed process that ends mid-capture must not hold the reporter
// for good, so the queries run on a worker thread of the capture's own, made
// at its first query, and the capture waits for each answer at most
// kRegionQueryDeadlineMs (a query takes well under a millisecond; the rest is
// room for a loaded machine).
//
// When the deadline passes, the query fails, one ERROR line says so, the
// process is taken as ending and every later query of the capture fails at
// once without a line of its own. The stuck worker is abandoned: it keeps the
// state it shares with the capture (its copy of the process handle and its
// two events) and frees it if its query ever returns. While
// kMaxAbandonedRegionWorkers abandoned workers are still stuck, process-wide,
// no query is made at all (logged once per capture): the system is then one
// whose queries hang, and each new one could cost another thread.
//
// Threads: an object belongs to the capture that made it and is used by the
// one thread that handles that crash; query() waits there. The worker runs
// only the query: it reads the request and writes the answer in the shared
// state, and the two threads hand it over through the request and answer
// events (auto-reset), so that nothing is read while the other side writes
// it; once abandoned, the capture reads nothing of it any more. The stop and
// abandoned flags, and the process-wide count of abandoned workers, are
// interlocked; any thread may read the count. No lock.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_REGION_QUERIES_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_REGION_QUERIES_H_

#include <windows.h>

#include <cstdint>

#include "runtime/scoped_holder.h"
#include "runtime/seam.h"
#include "runtime/target_width.h"

namespace tavra {

constexpr uint32_t kRegionQueryDeadlineMs = 5000;
// Each abandoned worker holds a thread with 64 KiB of reserved stack, three
// handles and the ended process's object until its query returns, which may
// be never.
constexpr uint32_t kMaxAbandonedRegionWorkers = 8;

class RegionQueries {
 public:
  // `process` is not owned, needs PROCESS_QUERY_INFORMATION and must stay
  // open until the first query; the worker holds a copy of its own.
  explicit RegionQueries(HANDLE process);
  // Ends a worker that answered every query and waits for it at most the
  // deadline; an abandoned one is left as it is.
  ~RegionQueries();
  RegionQueries(const RegionQueries&) = delete;
  RegionQueries& operator=(const RegionQueries&) = delete;

  // VirtualQueryEx of the process at `address`, into `region`. True when the
  // call returned: `*result` is what it returned, and the last error is its
  // own. False when no answer came, the reason already logged: its deadline
  // passed now or for an earlier query, the bound of abandoned workers is
  // reached, or no worker could be made.
  bool query(TargetAddress address, MEMORY_BASIC_INFORMATION* region, SIZE_T* result);

  // Workers that passed a deadline and are still stuck in their query.
  static uint32_t abandonedWorkers();

 private:
  // What the capture and its worker share, freed by the later of the two to
  // let go of it.
  struct Shared;
  struct SharedReferenceTraits {
    using Value = Shared*;
    static Value invalid() { return nullptr; }
    static bool isValid(Value value) { return value != nullptr; }
    static void close(Value value);
  };
  using SharedReference = ScopedHolder<SharedReferenceTraits>;

  // False (logged) when the worker or what it shares cannot be made.
  bool startWorker();
  // Leaves the worker stuck in its query and counts it.
  void abandonWorker();
  static DWORD WINAPI workerMain(void* parameter);

  HANDLE process_;
  // Set once the process is taken as ending or no worker can be had: every
  // later query fails at once.
  bool givenUp_ = false;
  bool abandoned_ = false;
  SharedReference shared_;
  // The worker, waited for at the end when it was not abandoned.
  ScopedHandle worker_;
};

// Test seams: the query that the worker makes (null restores
// VirtualQueryEx), the deadline and the bound (0 restores the default).
using VirtualQueryExFunction = SIZE_T(WINAPI*)(HANDLE process, const void* address,
                                               MEMORY_BASIC_INFORMATION* region, SIZE_T size);
extern Seam<VirtualQueryExFunction> virtualQueryExSeam;
extern Seam<uint32_t> regionQueryDeadlineSeam;
extern Seam<uint32_t> abandonedRegionWorkerBoundSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_REGION_QUERIES_H_
