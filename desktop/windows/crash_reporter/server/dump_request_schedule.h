// Which dump requests run and which wait for their turn: at most one crash of
// a process is handled at a time, whatever it registered, and at most a
// bounded number of crashes overall; the rest wait in the order they came.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_DUMP_REQUEST_SCHEDULE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_DUMP_REQUEST_SCHEDULE_H_

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "desktop/windows/crash_reporter/server/reporter_client.h"
#include "runtime/scoped_lock.h"

namespace tavra {

// A record's dump request is idle, waiting or running. A signal of its
// dump-request event (manual-reset) is taken by `takeSignal`, which resets the
// event: an idle request then runs when its process has no crash running and
// there is room, and waits otherwise; a signal of a running one is answered
// by one more run once this one is over (any number of them by one run, so a
// client that signals in a tight loop queues nothing up); a signal of a
// waiting one is folded into it. A request that waits costs no thread: it is
// one entry in the waiting list, and the run that ends takes up the next one
// that may run, on its own thread. Dump-done is set only at the end of a run
// that no signal came during.
//
// A record that leaves the registry's list (`leave`) while its request runs
// or waits belongs to the schedule from then on, and the run of its request
// ends it: a request that waits its turn has been taken, and is served also
// while the server stops (the reporter, which stops its server once no work
// is pending, then waits for the work that these runs begin). Only the
// waiting request of a record whose process ended is dropped. A retired
// record's request that was signalled and not yet taken is still served
// while the schedule is open; once it is closed such a request is dropped:
// nobody will serve it, and the caller says so.
//
// Threads: `takeSignal` runs on the wait thread of the record's dump-request
// wait; `endRun` on the worker thread that ran the request; `isBusy` on the
// pipe's wait thread, under the registry's lock; `leave` and `close` on
// whichever thread retires, forgets or destroys a record. `lock_` guards the two lists, their
// bound, `closed_` and the schedule's fields of every record; it is taken inside the registry's
// lock, never the other way, and nothing blocks while it is held.
class DumpRequestSchedule {
 public:
  // The crashes handled at once across all processes. A crash storm of the
  // browser's renderers, sixteen at once, must all be handled at the same
  // time, as they are without a bound; each running crash holds a pool
  // thread, a snapshot of its process and a request to the crash server, so
  // a flood of processes that all crash is held to what sixteen cost. The
  // seventeenth waits only for the first crash to end (a few seconds), its
  // process blocked in its crash handler until then.
  static constexpr size_t kDefaultMaxRunning = 16;

  // What the caller does with a record that leaves.
  enum class Leave {
    // Destroy it now.
    Destroy,
    // Destroy it now; it had a request that nobody will serve.
    DestroyUnserved,
    // It belongs to the run of its request, or to the waiting list, now.
    OwnedBySchedule,
    // Its request, signalled and not yet taken, is to run now: start a run
    // of it, which then owns it.
    Run,
  };

  DumpRequestSchedule() = default;
  DumpRequestSchedule(const DumpRequestSchedule&) = delete;
  DumpRequestSchedule& operator=(const DumpRequestSchedule&) = delete;

  // Before any record is scheduled; at least 1.
  void setLimit(size_t maxRunning) { maxRunning_ = maxRunning == 0 ? 1 : maxRunning; }

  // A signal of `client`'s dump-request event: takes it (resets the event).
  // True when the caller must now start a run of `client`, which is marked
  // running.
  bool takeSignal(ReporterClient* client);

  // A run of `client` has returned. True when a signal came during it: the
  // caller runs it once more. Otherwise dump-done is set and the request is
  // idle; `*next` is the request to run next, marked running (or null), and
  // `*departure` tells whether `client` left the list meanwhile: the caller
  // then owns it and ends it; else it must not touch it any more.
  bool endRun(ReporterClient* client, ReporterClient** next, RecordDeparture* departure);

  // Whether a registration of process `processId` must be refused: a record
  // of it has a request running or waiting, or, for `listed` (the process's
  // record in the registry's list, if any), signalled and not yet taken.
  bool isBusy(uint32_t processId, const ReporterClient* listed);

  // `client`, whose waits are gone, leaves for `departure` (not None).
  Leave leave(ReporterClient* client, RecordDeparture departure);

  // From here on `leave` takes up no request that was signalled and not yet
  // taken any more; the requests that wait are still taken up in turn.
  void close();

  size_t runningCount();
  size_t waitingCount();

 private:
  // A list of records linked through their `scheduled*` fields.
  struct RecordList {
    ReporterClient* first = nullptr;
    ReporterClient* last = nullptr;
    size_t size = 0;

    void append(ReporterClient* client);
    void remove(ReporterClient* client);
  };

  bool isRunning(uint32_t processId) const;
  // Marks an idle request running when it may run, else waiting. True when
  // it runs.
  bool runOrWait(ReporterClient* client);
  // The first waiting request that may run now, marked running; null when
  // none may.
  ReporterClient* takeNextToRun();

  SrwLock lock_;
  RecordList running_;
  RecordList waiting_;
  size_t maxRunning_ = kDefaultMaxRunning;
  bool closed_ = false;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_DUMP_REQUEST_SCHEDULE_H_
