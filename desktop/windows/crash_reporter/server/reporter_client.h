// What the reporter knows about one registered browser process.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_REPORTER_CLIENT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_REPORTER_CLIENT_H_

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "desktop/windows/crash_reporter/server/client_annotation.h"
#include "desktop/windows/crash_reporter/server/client_registration.h"
#include "desktop/windows/crash_reporter/server/pipe_message.h"
#include "runtime/scoped_holder.h"
#include "runtime/target_width.h"

namespace tavra {

class ClientRegistry;

// How a record left the registry's list, for whoever destroys it once a run
// of its dump request that is still going has ended.
enum class RecordDeparture : uint8_t {
  // Still in the list.
  None,
  // Replaced by a newer record of its process, or failed: a request that it
  // has taken is still served while the server runs.
  Retired,
  // Its process ended: the exit hook is called before it is destroyed.
  Exited,
  // The server stopped.
  Stopped,
};

// The values of a client's registration message, the handles opened or made
// for it, its two registered waits and a private copy of its annotation table.
// The record owns every handle, wait and buffer in it and releases them only
// when it is destroyed, after its waits are gone. It has no lock of its own:
// its table copy is written and read only by the run that handles the
// client's dump request, and the schedule (dump_request_schedule.h) lets one
// such run go at a time per process; the schedule's fields below are guarded
// by the schedule's lock.
class ReporterClient {
 public:
  // Stores the registry and the registration's values; every handle, wait
  // and the table copy start out null. Takes the registration time. The
  // registration is in the layout of the reporter's own width, so its
  // addresses are addresses of that width.
  ReporterClient(ClientRegistry* registry, const ClientRegistration& registration);
  // Unregisters the dump-request wait and then the process-exit wait, both
  // blocking, then closes the process and both events and frees the table:
  // the members are declared in the reverse of that order.
  ~ReporterClient() = default;
  ReporterClient(const ReporterClient&) = delete;
  ReporterClient& operator=(const ReporterClient&) = delete;

  // Opens the client's process and creates its two events, both
  // manual-reset: the dump request (the client sets it; the schedule resets
  // it when it takes the signal, so that a request not yet taken shows as
  // the event's state) and dump-done. False at the first failure; what was
  // made is released on destruction.
  bool open();

  // Copies the client's table out of its process into the record's buffer,
  // which is allocated at the first call and re-used afterwards, and writes
  // the "ptime" entry behind the copied entries. False when the count is
  // above the limit (nothing is read, for good), when the buffer cannot be
  // allocated, when the read fails or when it copied less than the whole
  // table.
  bool readAnnotations();

  // The copied entries followed by "ptime"; empty while the table has never
  // been read.
  AnnotationView annotationView() const;

  // The most memory that the table copy of a client with `annotationCount`
  // entries can take: its entries and "ptime", or nothing for a count above
  // the limit, whose table is never read. The registry reserves it for each
  // record before the record is made.
  static size_t annotationCopySize(uint32_t annotationCount);
  size_t annotationCopySize() const { return annotationCopySize(annotationCount_); }

  // Blocking: waits for a dump request of this client that is still running.
  void unregisterDumpRequestWait();
  // Blocking, or not when called from the wait's own callback.
  void unregisterProcessExitWait(bool blocking);

  ClientRegistry* registry() const { return registry_; }
  uint32_t processId() const { return processId_; }
  uint32_t dumpType() const { return dumpType_; }
  TargetAddress exceptionPointersAddress() const { return exceptionPointersAddress_; }
  TargetAddress assertionAddress() const { return assertionAddress_; }
  TargetAddress annotationsAddress() const { return annotationsAddress_; }
  uint32_t annotationCount() const { return annotationCount_; }
  TargetAddress threadIdAddress() const { return threadIdAddress_; }
  HANDLE process() const { return process_.get(); }
  HANDLE dumpRequestEvent() const { return dumpRequestEvent_.get(); }
  HANDLE dumpDoneEvent() const { return dumpDoneEvent_.get(); }
  // System time of the registration, in 100-nanosecond units.
  uint64_t registeredAt() const { return registeredAt_; }

 private:
  // The registry registers the two waits into the record, which then owns
  // them; the schedule keeps the state of its dump request.
  friend class ClientRegistry;
  friend class DumpRequestSchedule;

  // Where the client's dump request stands in the schedule.
  enum class DumpState : uint8_t { Idle, Waiting, Running };

  void writeProcessTime();

  ClientRegistry* registry_;
  uint32_t processId_;
  uint32_t dumpType_;
  TargetAddress exceptionPointersAddress_;
  TargetAddress assertionAddress_;
  TargetAddress annotationsAddress_;
  uint32_t annotationCount_;
  TargetAddress threadIdAddress_;
  uint64_t registeredAt_;
  // Guarded by the schedule's lock. A record is in at most one of the
  // schedule's two lists (waiting or running), linked through `scheduled*`.
  DumpState dumpState_ = DumpState::Idle;
  bool signalledDuringRun_ = false;
  RecordDeparture departure_ = RecordDeparture::None;
  ReporterClient* scheduledPrevious_ = nullptr;
  ReporterClient* scheduledNext_ = nullptr;
  // Released in the reverse order: the waits first (the dump-request wait's
  // callback takes the event's signals; the exit wait waits on the
  // process), then the process, the dump-request event and the dump-done
  // event, last the table.
  std::unique_ptr<ClientAnnotation[]> annotations_;
  ScopedHandle dumpDoneEvent_;
  ScopedHandle dumpRequestEvent_;
  ScopedHandle process_;
  ScopedWait processExitWait_;
  ScopedWait dumpRequestWait_;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_REPORTER_CLIENT_H_
