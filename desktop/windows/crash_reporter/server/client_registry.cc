#include "desktop/windows/crash_reporter/server/client_registry.h"

#include <new>
#include <utility>

#include "desktop/windows/crash_reporter/server/handle_placement.h"

namespace tavra {
namespace {

// The dump-request callback only takes the signal into the schedule, under
// its lock: in the wait thread, before the wait looks at the event again, as
// the event is manual-reset. The exit callback unregisters the dump-request
// wait blocking: on a worker thread.
constexpr DWORD kDumpRequestWaitFlags = WT_EXECUTEINWAITTHREAD;  // 4
constexpr DWORD kProcessExitWaitFlags = WT_EXECUTEONLYONCE;      // 8
constexpr DWORD kRecordPollIntervalMs = 10;

}  // namespace

Seam<RegisterWaitFunction> registerWaitSeam(&RegisterWaitForSingleObject);

Seam<IsWow64ProcessFunction> isWow64ProcessSeam(&IsWow64Process);

// Both run under the same system: a 32-bit process there runs under WoW64
// exactly when this 32-bit reporter does, and a 64-bit one never. A process
// that the system cannot place is not served.
bool isProcessOfOwnWidth(HANDLE process) {
  BOOL clientIsWow64 = FALSE;
  BOOL selfIsWow64 = FALSE;
  if (!isWow64ProcessSeam(process, &clientIsWow64) ||
      !isWow64ProcessSeam(GetCurrentProcess(), &selfIsWow64)) {
    return false;
  }
  return (clientIsWow64 != FALSE) == (selfIsWow64 != FALSE);
}

ClientRegistry::ClientRegistry(ClientHook onClientRegistered, void* registeredContext,
                               ClientHook onDumpRequest, void* dumpRequestContext,
                               ClientHook onClientExited, void* exitedContext)
    : onClientRegistered_(onClientRegistered),
      registeredContext_(registeredContext),
      onDumpRequest_(onDumpRequest),
      dumpRequestContext_(dumpRequestContext),
      onClientExited_(onClientExited),
      exitedContext_(exitedContext) {}

bool ClientRegistry::open() {
  recordReleased_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  serverAliveMutex_.reset(CreateMutexW(nullptr, TRUE, nullptr));
  return serverAliveMutex_.isValid();
}

void ClientRegistry::close() {
  ScopedCriticalSection hold(&lock_);
  closed_ = true;
  schedule_.close();
}

void ClientRegistry::destroyAll() {
  // No callback changes the list any more. Records outside it (being
  // retired, destroyed by their exit callback, or ended by the run of their
  // crash) go on their own threads; they still call into the registry until
  // the last one is released.
  std::vector<std::unique_ptr<ReporterClient>> remaining;
  {
    ScopedCriticalSection hold(&lock_);
    remaining.swap(clients_);
  }
  for (std::unique_ptr<ReporterClient>& client : remaining) {
    release(std::move(client), RecordDeparture::Stopped);
  }
  // Records whose requests run or wait for their turn belong to the
  // schedule, and the runs end them: the wait below lasts until the last
  // request that was taken has been served.
  for (;;) {
    {
      ScopedCriticalSection hold(&lock_);
      if (liveRecords_ == 0) break;
    }
    if (recordReleased_.isValid()) {
      WaitForSingleObject(recordReleased_.get(), INFINITE);
    } else {
      Sleep(kRecordPollIntervalMs);
    }
  }
  recordReleased_.reset();
  if (serverAliveMutex_.isValid()) {
    ReleaseMutex(serverAliveMutex_.get());
    serverAliveMutex_.reset();
  }
}

size_t ClientRegistry::registeredCount() const {
  ScopedCriticalSection hold(&lock_);
  return clients_.size();
}

size_t ClientRegistry::recordCount() const {
  ScopedCriticalSection hold(&lock_);
  return liveRecords_;
}

std::unique_ptr<ReporterClient> ClientRegistry::admit(const ClientRegistration& registration,
                                                      PipeMessage* reply, RefusalReason* why) {
  // Nothing is opened for a process whose crash is being handled. `enlist`
  // looks again, as a crash may begin meanwhile.
  {
    ScopedCriticalSection hold(&lock_);
    if (schedule_.isBusy(registration.processId, listedRecordOf(registration.processId))) {
      *why = RefusalReason::CrashBeingHandled;
      return nullptr;
    }
  }
  const size_t copySize = ReporterClient::annotationCopySize(registration.annotationCount);
  if (!reserve(copySize, why)) return nullptr;
  std::unique_ptr<ReporterClient> client(new (std::nothrow) ReporterClient(this, registration));
  *why = RefusalReason::ProcessNotOpened;
  if (!client) {
    releaseReservation(copySize);
    return nullptr;
  }
  if (!client->open()) {
    retire(std::move(client));
    return nullptr;
  }
  // Nothing is placed in a process of the other width: its registered words
  // and its context are not what this reporter reads.
  if (!isProcessOfOwnWidth(client->process())) {
    *why = RefusalReason::OtherWidthProcess;
    retire(std::move(client));
    return nullptr;
  }
  if (!placeHandlesInClient(*client, serverAliveMutex_.get(), reply)) {
    retire(std::move(client));
    return nullptr;
  }
  return client;
}

ReporterClient* ClientRegistry::enlist(std::unique_ptr<ReporterClient> client, PipeMessage* reply,
                                       RefusalReason* why) {
  ReporterClient* registered = client.get();
  std::unique_ptr<ReporterClient> replaced;
  if (!join(&client, &replaced, why)) {
    // The reply is never written: the client cannot know these handles.
    closeHandlesPlacedInClient(*client, reply);
    retire(std::move(client));
    return nullptr;
  }
  if (replaced) retire(std::move(replaced));
  return registered;
}

// A record that the client does not know of would only hold a place until its
// process ends. A record that its exit callback took already is gone with its
// process.
void ClientRegistry::forgetUnanswered(const ReporterClient* client, PipeMessage* reply) {
  std::unique_ptr<ReporterClient> unanswered;
  {
    ScopedCriticalSection hold(&lock_);
    if (!closed_) unanswered = take(client);
  }
  if (!unanswered) return;
  closeHandlesPlacedInClient(*unanswered, reply);
  retire(std::move(unanswered));
}

void ClientRegistry::acknowledged(const ReporterClient* client) {
  if (onClientRegistered_ == nullptr) return;
  ScopedCriticalSection hold(&lock_);
  for (const std::unique_ptr<ReporterClient>& each : clients_) {
    if (each.get() == client) {
      onClientRegistered_(registeredContext_, each.get());
      break;
    }
  }
}

bool ClientRegistry::reserve(size_t copySize, RefusalReason* why) {
  ScopedCriticalSection hold(&lock_);
  if (closed_) {
    *why = RefusalReason::Stopping;
    return false;
  }
  if (liveRecords_ >= maxClients_) {
    *why = RefusalReason::TooManyRecords;
    return false;
  }
  if (copySize > maxAnnotationBytes_ - reservedAnnotationBytes_) {
    *why = RefusalReason::AnnotationBytesExhausted;
    return false;
  }
  ++liveRecords_;
  reservedAnnotationBytes_ += copySize;
  return true;
}

void ClientRegistry::releaseReservation(size_t copySize) {
  ScopedCriticalSection hold(&lock_);
  --liveRecords_;
  reservedAnnotationBytes_ -= copySize;
  // Under the lock: once `destroyAll` has seen the last record go, it closes
  // the event and the registry may be destroyed.
  if (recordReleased_.isValid()) SetEvent(recordReleased_.get());
}

ReporterClient* ClientRegistry::listedRecordOf(uint32_t processId) const {
  for (const std::unique_ptr<ReporterClient>& each : clients_) {
    if (each->processId() == processId) return each.get();
  }
  return nullptr;
}

bool ClientRegistry::join(std::unique_ptr<ReporterClient>* client,
                          std::unique_ptr<ReporterClient>* replaced, RefusalReason* why) {
  ReporterClient* record = client->get();
  *why = RefusalReason::NotEnlisted;
  // In the wait thread: the callback only takes the signal into the schedule.
  if (!registerWaitSeam(record->dumpRequestWait_.receive(), record->dumpRequestEvent(),
                        &ClientRegistry::dumpRequestCallback, record, INFINITE,
                        kDumpRequestWaitFlags)) {
    record->dumpRequestWait_.release();
    return false;
  }
  // The exit wait is registered under the lock: the exit callback of a process
  // that is already gone may run at once, and it must find the record in the
  // list, not before it is there.
  ScopedCriticalSection hold(&lock_);
  if (closed_) {
    *why = RefusalReason::Stopping;
    return false;
  }
  // One record per process: the newest registration is the one that the
  // client answers to. An older record of the same id is also that of a dead
  // process whose exit has not been seen yet, and goes the same way; but a
  // process whose crash is being handled keeps the record that serves it.
  ReporterClient* listed = listedRecordOf(record->processId());
  if (schedule_.isBusy(record->processId(), listed)) {
    *why = RefusalReason::CrashBeingHandled;
    return false;
  }
  if (!registerWaitSeam(record->processExitWait_.receive(), record->process(),
                        &ClientRegistry::clientExitCallback, record, INFINITE,
                        kProcessExitWaitFlags)) {
    record->processExitWait_.release();
    return false;
  }
  if (listed != nullptr) *replaced = take(listed);
  clients_.push_back(std::move(*client));
  return true;
}

std::unique_ptr<ReporterClient> ClientRegistry::take(const ReporterClient* client) {
  std::unique_ptr<ReporterClient> taken;
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if (it->get() == client) {
      taken = std::move(*it);
      clients_.erase(it);
      break;
    }
  }
  return taken;
}

// Unregistering a wait blocks until its callback has returned: not on the
// pipe's wait thread, which may be the one that runs it.
void ClientRegistry::retire(std::unique_ptr<ReporterClient> client) {
  if (client->dumpRequestWait_.isValid() || client->processExitWait_.isValid()) {
    if (QueueUserWorkItem(&ClientRegistry::retireCallback, client.get(), WT_EXECUTELONGFUNCTION)) {
      client.release();  // The work item owns it now.
      return;
    }
  }
  release(std::move(client), RecordDeparture::Retired);
}

DWORD WINAPI ClientRegistry::retireCallback(void* context) {
  std::unique_ptr<ReporterClient> client(static_cast<ReporterClient*>(context));
  ClientRegistry* registry = client->registry();
  registry->release(std::move(client), RecordDeparture::Retired);
  return 0;
}

// Exit wait first: a running exit callback of a record outside the list only
// looks at the list and returns, and must be done before the record goes.
void ClientRegistry::release(std::unique_ptr<ReporterClient> client, RecordDeparture departure) {
  client->unregisterProcessExitWait(true);
  client->unregisterDumpRequestWait();
  switch (schedule_.leave(client.get(), departure)) {
    case DumpRequestSchedule::Leave::Destroy:
      end(std::move(client), departure, false);
      return;
    case DumpRequestSchedule::Leave::DestroyUnserved:
      end(std::move(client), departure, true);
      return;
    case DumpRequestSchedule::Leave::OwnedBySchedule:
      client.release();
      return;
    case DumpRequestSchedule::Leave::Run:
      startRun(client.release());
      return;
  }
}

void ClientRegistry::end(std::unique_ptr<ReporterClient> client, RecordDeparture departure,
                         bool unserved) {
  if (departure == RecordDeparture::Exited && onClientExited_ != nullptr) {
    onClientExited_(exitedContext_, client.get());
  }
  if (unserved && onUnservedRequest_ != nullptr) {
    onUnservedRequest_(unservedRequestContext_, client.get());
  }
  const size_t copySize = client->annotationCopySize();
  client.reset();
  releaseReservation(copySize);
}

void CALLBACK ClientRegistry::dumpRequestCallback(void* context, BOOLEAN /*timedOut*/) {
  ReporterClient* client = static_cast<ReporterClient*>(context);
  ClientRegistry* registry = client->registry();
  if (registry->schedule_.takeSignal(client)) registry->startRun(client);
}

// A crash may take seconds to handle. Run in the wait thread, it would hold up
// every other wait that the thread serves: the pipe's conversation, other
// clients' exits and crashes.
void ClientRegistry::startRun(ReporterClient* client) {
  if (QueueUserWorkItem(&ClientRegistry::runCallback, client, WT_EXECUTELONGFUNCTION)) return;
  runRequests(client);
}

DWORD WINAPI ClientRegistry::runCallback(void* context) {
  ReporterClient* client = static_cast<ReporterClient*>(context);
  client->registry()->runRequests(client);
  return 0;
}

void ClientRegistry::runRequests(ReporterClient* client) {
  while (client != nullptr) {
    // A failed copy still gets the request handled, with whatever it holds.
    client->readAnnotations();
    if (onDumpRequest_ != nullptr) onDumpRequest_(dumpRequestContext_, client);
    ReporterClient* next = nullptr;
    RecordDeparture departure = RecordDeparture::None;
    if (schedule_.endRun(client, &next, &departure)) continue;
    // A record that left the list during its run is this thread's to end.
    if (departure != RecordDeparture::None) {
      end(std::unique_ptr<ReporterClient>(client), departure, false);
    }
    client = next;
  }
}

void CALLBACK ClientRegistry::clientExitCallback(void* context, BOOLEAN /*timedOut*/) {
  ReporterClient* client = static_cast<ReporterClient*>(context);
  client->registry()->handleClientExit(client);
}

void ClientRegistry::handleClientExit(ReporterClient* client) {
  std::unique_ptr<ReporterClient> owned;
  {
    ScopedCriticalSection hold(&lock_);
    // Once closed, `destroyAll` destroys what is in the list. A record that
    // is not in it was replaced or failed, and whoever took it out destroys
    // it once this callback has returned.
    if (closed_) return;
    owned = take(client);
  }
  if (!owned) return;
  owned->unregisterProcessExitWait(false);  // This is the wait's own callback.
  release(std::move(owned), RecordDeparture::Exited);
}

}  // namespace tavra
