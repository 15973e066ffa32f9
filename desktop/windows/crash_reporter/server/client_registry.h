// The records of the browser processes that registered with the reporter:
// which are kept, how a record joins, is replaced, retired and destroyed, and
// the dump requests and exits of its client.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_CLIENT_REGISTRY_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_CLIENT_REGISTRY_H_

#include <windows.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "desktop/windows/crash_reporter/server/client_registration.h"
#include "desktop/windows/crash_reporter/server/dump_request_schedule.h"
#include "desktop/windows/crash_reporter/server/pipe_message.h"
#include "desktop/windows/crash_reporter/server/registration_refusal.h"
#include "desktop/windows/crash_reporter/server/reporter_client.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_lock.h"
#include "runtime/seam.h"

namespace tavra {

// A hook must not keep the record beyond its return. A null hook is skipped.
using ClientHook = void (*)(void* context, ReporterClient* client);

// The registry is handed a registration that the pipe conversation has
// checked, and keeps a record of it:
// - There are at most `maxClients` records, and at most `maxAnnotationBytes`
//   reserved for their table copies, each record reserving what its copy can
//   take (`ReporterClient::annotationCopySize`) from before it is made until
//   it is destroyed. Replaced records still being retired count too, so the
//   bounds hold for everything that is kept. A registration past either
//   bound is refused, and nothing is opened for it.
// - A process has at most one record. A new registration of a process that
//   has one replaces it: the new record joins the list in the old one's
//   place, and the old one is retired. The handles placed in the client for
//   the old registration are the client's own business.
// - A process has at most one crash handled at a time, and a bounded number
//   of crashes are handled at once (dump_request_schedule.h). A registration
//   of a process that has a crash running, waiting for its turn, or
//   signalled and not yet taken, is refused, not held: the pipe has one
//   instance, which a registration that waited for a crash would hold from
//   every other process for as long as the crash takes; the process's
//   current record goes on serving it.
// A refused or failed registration leaves nothing behind; handles that it had
// already placed in the client are closed there, as its reply is never
// written: the record joins the list before the reply goes out. Once the
// reply has reached the client, the handles are the client's, whatever
// happens to the record.
//
// Retiring a record means unregistering its waits blocking, then destroying
// it, unless its dump request runs, waits for its turn, or was signalled and
// not yet taken: the request is still served, and the run ends the record.
// The pipe's wait thread must not block on a wait, so a replaced record, or
// one that failed after its waits were registered, is retired on a worker
// thread of its own; `destroyAll` waits until every record is gone.
//
// Threads:
// - `open`, `close` and `destroyAll` run on the thread that starts and stops
//   the server: the server-alive mutex that `open` creates owned can only be
//   released by its owner.
// - `admit`, `enlist`, `forgetUnanswered` and `acknowledged` run on the
//   pipe's wait thread, one at a time, under the conversation's lock.
//   `onClientRegistered` runs in `acknowledged`, with `lock_` held too.
// - A signal of a client's dump-request event is taken on the wait thread
//   (the callback only updates the schedule); a crash runs on a worker
//   thread of the pool (queued as long-running), never in a wait thread, so a
//   crash being handled holds up neither the conversation nor other clients'
//   exits and crashes. `onDumpRequest` runs there, with no lock held. A run
//   that ends takes up the next waiting request on the same thread.
// - A client's exit runs once on a worker thread: it takes the record out of
//   the list and ends it; when its crash still runs, the run ends it
//   afterwards, on its own thread. Ending an exited record calls
//   `onClientExited` with no lock held, then destroys the record. The exit of
//   a record that is no longer in the list (replaced, or failed) does
//   nothing: whoever took it out ends it, after this callback has returned.
// - Replaced and failed records are retired on worker threads; a failed one
//   whose waits were never registered is destroyed at once, on the pipe's
//   wait thread, as is one whose retirement could not be queued.
// `lock_` guards `clients_`, `closed_` and the record and reservation counts.
// It is taken inside the conversation's lock, never the other way, and the
// schedule's lock is taken inside it. No wait is unregistered blocking while
// either is held, since the callbacks take them.
class ClientRegistry {
 public:
  // A browser runs dozens of processes; a thousand records leave room for
  // that many times over while bounding the handles, waits and wait threads
  // that a flood of registrations could make the server hold.
  static constexpr size_t kDefaultMaxClients = 1024;
  // Sixty-four clients with the largest table that is read (1 MiB each), or
  // thousands with ordinary ones; a small share of the address space.
  static constexpr size_t kDefaultMaxAnnotationBytes = 64 * 1024 * 1024;

  // Only stores the hooks; cannot fail.
  ClientRegistry(ClientHook onClientRegistered, void* registeredContext, ClientHook onDumpRequest,
                 void* dumpRequestContext, ClientHook onClientExited, void* exitedContext);
  ClientRegistry(const ClientRegistry&) = delete;
  ClientRegistry& operator=(const ClientRegistry&) = delete;

  static constexpr size_t kDefaultMaxRunningCrashes = DumpRequestSchedule::kDefaultMaxRunning;

  // Before `open` only.
  void setLimits(size_t maxClients, size_t maxAnnotationBytes) {
    maxClients_ = maxClients;
    maxAnnotationBytes_ = maxAnnotationBytes;
  }
  // Before `open` only: the crashes handled at once; at least 1.
  void setRunningCrashLimit(size_t maxRunning) { schedule_.setLimit(maxRunning); }
  // Before `open` only: `hook` is called once for each record that goes away
  // with a dump request that was never taken up (signalled and not taken, or
  // waiting for its turn), after the record's dump-request wait is gone and
  // before the record is destroyed, on the thread that destroys it. No lock
  // of the registry is held.
  void setUnservedRequestHook(ClientHook hook, void* context) {
    onUnservedRequest_ = hook;
    unservedRequestContext_ = context;
  }

  // Creates the server-alive mutex, owned, which every client gets a handle
  // of, and the event by which `destroyAll` learns of destroyed records.
  // False when the mutex cannot be made.
  bool open();
  // From here on no registration is admitted, and client callbacks leave the
  // list alone: it is `destroyAll`'s.
  void close();
  // After `close`, once the pipe conversation has stopped: destroys every
  // record in the list, waits for those being destroyed on other threads,
  // then lets the server-alive mutex go.
  void destroyAll();

  // Admits a checked registration: reserves its place, makes its record,
  // opens it and places its handles in the client, building `reply`. Null,
  // with `*why`, when it is refused or fails; nothing of it is left then.
  // A process whose width is not the reporter's own is refused once opened,
  // before anything is placed in it.
  std::unique_ptr<ReporterClient> admit(const ClientRegistration& registration, PipeMessage* reply,
                                        RefusalReason* why);
  // Registers the client's two waits and lets the record join the list,
  // replacing the process's previous record, before the reply is written.
  // Null, with `*why`, when that fails or the process has a crash being
  // handled: the reply is then never written, and the handles that `reply`
  // names are closed in the client.
  ReporterClient* enlist(std::unique_ptr<ReporterClient> client, PipeMessage* reply,
                         RefusalReason* why);
  // The reply to `client`, which `enlist` returned, never reached it: its
  // record is taken out of the list, the handles named in `reply` are closed
  // in the client, and the record is retired. Nothing happens when its exit
  // took the record already or the registry is closed.
  void forgetUnanswered(const ReporterClient* client, PipeMessage* reply);
  // The client acknowledged its reply: calls `onClientRegistered` if the
  // record is still in the list.
  void acknowledged(const ReporterClient* client);

  // Clients registered and not yet forgotten.
  size_t registeredCount() const;
  // Records in existence: the registered ones, and those being registered,
  // retired or destroyed.
  size_t recordCount() const;
  // Crashes being handled, and requests waiting for their turn.
  size_t runningCrashCount() { return schedule_.runningCount(); }
  size_t waitingCrashCount() { return schedule_.waitingCount(); }

 private:
  static void CALLBACK dumpRequestCallback(void* context, BOOLEAN timedOut);
  static void CALLBACK clientExitCallback(void* context, BOOLEAN timedOut);
  static DWORD WINAPI retireCallback(void* context);
  static DWORD WINAPI runCallback(void* context);

  // Counts a record and reserves `copySize` bytes for it, unless either
  // bound would be passed or the registry is closed; `*why` says which.
  bool reserve(size_t copySize, RefusalReason* why);
  // Gives back what `reserve` took. The last touch of the registry by the
  // thread that destroyed a record.
  void releaseReservation(size_t copySize);
  // The record of process `processId` in the list, or null. Under `lock_`.
  ReporterClient* listedRecordOf(uint32_t processId) const;
  bool join(std::unique_ptr<ReporterClient>* client, std::unique_ptr<ReporterClient>* replaced,
            RefusalReason* why);
  // Takes `client` out of the list; null when it is not there. Under `lock_`.
  std::unique_ptr<ReporterClient> take(const ReporterClient* client);
  void retire(std::unique_ptr<ReporterClient> client);
  // Unregisters the record's waits, blocking, and ends it for `departure`,
  // unless its request is still to be served: then the run does.
  void release(std::unique_ptr<ReporterClient> client, RecordDeparture departure);
  // The last of a record whose waits are gone and whose request is over:
  // the exit hook for an exited one, the unserved-request hook for a request
  // that nobody will serve, then its destruction.
  void end(std::unique_ptr<ReporterClient> client, RecordDeparture departure, bool unserved);

  // Runs `client`'s request on a worker thread, or here when none can be had.
  void startRun(ReporterClient* client);
  // Runs `client`'s request, and then each request that the schedule hands
  // on, until it hands on none.
  void runRequests(ReporterClient* client);
  void handleClientExit(ReporterClient* client);

  const ClientHook onClientRegistered_;
  void* const registeredContext_;
  const ClientHook onDumpRequest_;
  void* const dumpRequestContext_;
  const ClientHook onClientExited_;
  void* const exitedContext_;
  ClientHook onUnservedRequest_ = nullptr;
  void* unservedRequestContext_ = nullptr;
  size_t maxClients_ = kDefaultMaxClients;
  size_t maxAnnotationBytes_ = kDefaultMaxAnnotationBytes;

  DumpRequestSchedule schedule_;
  mutable CriticalSection lock_;
  std::vector<std::unique_ptr<ReporterClient>> clients_;
  bool closed_ = false;
  // Records admitted and not yet destroyed, and the bytes reserved for them.
  size_t liveRecords_ = 0;
  size_t reservedAnnotationBytes_ = 0;
  // Auto-reset; signalled under `lock_` each time a record is destroyed, for
  // `destroyAll`, which waits for the last one. Without it, it polls.
  ScopedHandle recordReleased_;
  ScopedHandle serverAliveMutex_;
};

// Test seam: the registration of a client's two waits; null restores the
// real RegisterWaitForSingleObject. It is read at each call.
using RegisterWaitFunction = BOOL(WINAPI*)(HANDLE* wait, HANDLE object,
                                           WAITORTIMERCALLBACK callback, void* context,
                                           ULONG milliseconds, ULONG flags);
extern Seam<RegisterWaitFunction> registerWaitSeam;

// Whether `process` has the reporter's own width, asked of the system through
// `isWow64ProcessSeam` for it and for the reporter; false when it cannot tell.
bool isProcessOfOwnWidth(HANDLE process);
// Test seam: null restores the real IsWow64Process. It is read at each call.
using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE process, BOOL* isWow64);
extern Seam<IsWow64ProcessFunction> isWow64ProcessSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_CLIENT_REGISTRY_H_
