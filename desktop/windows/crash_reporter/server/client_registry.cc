#include "desktop/windows/crash_reporter/server/client_registry.h"

#include <new>
#include <utility>

#include "desktop/windows/crash_reporter/server/handle_placement.h"

namespace tavra {
namespace {

// A crash may take seconds to handle. Run in the wait thread, it would hold up
// every other wait that the thread serves: the pipe's conversation, other
// clients' exits and crashes. Each callback runs on a worker thread instead.
constexpr DWORD kDumpRequestWaitFlags = WT_EXECUTELONGFUNCTION;  // 0x10
constexpr DWORD kProcessExitWaitFlags = WT_EXECUTEONLYONCE;      // 8
constexpr DWORD kRecordPollIntervalMs = 10;

}  // namespace

Seam<RegisterWaitFunction> registerWaitSeam(&RegisterWaitForSingleObject);

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
}

void ClientRegistry::destroyAll() {
  // No callback changes the list any more. Records outside it (being
  // retired, or destroyed by their exit callback) go on their own threads;
  // they still call into the registry until the last one is released.
  std::vector<std::unique_ptr<ReporterClient>> remaining;
  {
    ScopedCriticalSection hold(&lock_);
    remaining.swap(clients_);
  }
  for (std::unique_ptr<ReporterClient>& client : remaining) destroy(std::move(client));
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

std::unique_ptr<ReporterClient> ClientRegistry::admit(const PipeMessage& registration,
                                                      PipeMessage* reply) {
  const size_t copySize = ReporterClient::annotationCopySize(registration.annotationCount);
  if (!reserve(copySize)) return nullptr;
  std::unique_ptr<ReporterClient> client(new (std::nothrow) ReporterClient(this, registration));
  if (!client) {
    releaseReservation(copySize);
    return nullptr;
  }
  if (!client->open() || !placeHandlesInClient(*client, serverAliveMutex_.get(), reply)) {
    retire(std::move(client));
    return nullptr;
  }
  return client;
}

void ClientRegistry::withdraw(std::unique_ptr<ReporterClient> client, PipeMessage* reply) {
  closeHandlesPlacedInClient(*client, reply);
  retire(std::move(client));
}

ReporterClient* ClientRegistry::enlist(std::unique_ptr<ReporterClient> client,
                                       const PipeMessage& reply) {
  ReporterClient* registered = client.get();
  std::unique_ptr<ReporterClient> replaced;
  if (!join(&client, &replaced)) {
    // The reply may be on its way, but the client will not be served: what
    // it was given is taken back. The words are copied, as the reply must
    // stay as it is while its write may be pending; the hang-up discards it.
    PipeMessage placed = reply;
    closeHandlesPlacedInClient(*client, &placed);
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

bool ClientRegistry::reserve(size_t copySize) {
  ScopedCriticalSection hold(&lock_);
  if (closed_ || liveRecords_ >= maxClients_ ||
      copySize > maxAnnotationBytes_ - reservedAnnotationBytes_) {
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

bool ClientRegistry::join(std::unique_ptr<ReporterClient>* client,
                          std::unique_ptr<ReporterClient>* replaced) {
  ReporterClient* record = client->get();
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
  if (closed_) return false;
  if (!registerWaitSeam(record->processExitWait_.receive(), record->process(),
                        &ClientRegistry::clientExitCallback, record, INFINITE,
                        kProcessExitWaitFlags)) {
    record->processExitWait_.release();
    return false;
  }
  // One record per process: the newest registration is the one that the
  // client answers to. An older record of the same id is also that of a dead
  // process whose exit has not been seen yet, and goes the same way.
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if ((*it)->processId() == record->processId()) {
      *replaced = std::move(*it);
      clients_.erase(it);
      break;
    }
  }
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

// A record with waits may have a dump request running, which may take as long
// as a crash takes to handle; its own worker thread waits for that, not the
// caller.
void ClientRegistry::retire(std::unique_ptr<ReporterClient> client) {
  if (client->dumpRequestWait_.isValid() || client->processExitWait_.isValid()) {
    if (QueueUserWorkItem(&ClientRegistry::retireCallback, client.get(), WT_EXECUTELONGFUNCTION)) {
      client.release();  // The work item owns it now.
      return;
    }
  }
  destroy(std::move(client));
}

DWORD WINAPI ClientRegistry::retireCallback(void* context) {
  std::unique_ptr<ReporterClient> client(static_cast<ReporterClient*>(context));
  ClientRegistry* registry = client->registry();
  registry->destroy(std::move(client));
  return 0;
}

// Exit wait first: a running exit callback of a record outside the list only
// looks at the list and returns, and must be done before the record goes.
void ClientRegistry::destroy(std::unique_ptr<ReporterClient> client) {
  client->unregisterProcessExitWait(true);
  client->unregisterDumpRequestWait();
  // The event resets itself when its wait takes it: still set now that the
  // wait is gone, it was a request that nobody will serve.
  if (onUnservedRequest_ != nullptr && client->dumpRequestEvent() != nullptr &&
      WaitForSingleObject(client->dumpRequestEvent(), 0) == WAIT_OBJECT_0) {
    onUnservedRequest_(unservedRequestContext_, client.get());
  }
  const size_t copySize = client->annotationCopySize();
  client.reset();
  releaseReservation(copySize);
}

void CALLBACK ClientRegistry::dumpRequestCallback(void* context, BOOLEAN /*timedOut*/) {
  ReporterClient* client = static_cast<ReporterClient*>(context);
  client->registry()->handleDumpRequest(client);
}

void ClientRegistry::handleDumpRequest(ReporterClient* client) {
  // Callbacks of one client's wait may run at once on different worker
  // threads. Only the first one handles requests; a signal that comes while it
  // runs only raises the count, and the running one goes round once more for
  // all such signals together, so none is lost and the record's table copy
  // has one user at a time.
  if (InterlockedIncrement(&client->pendingDumpRequests_) != 1) return;
  for (;;) {
    InterlockedExchange(&client->pendingDumpRequests_, 1);
    // A failed copy still gets the request handled, with whatever it holds.
    client->readAnnotations();
    if (onDumpRequest_ != nullptr) onDumpRequest_(dumpRequestContext_, client);
    // Dump-done releases every thread of the client that waits for it. One
    // that signalled during this run stored its words after the run had read
    // them: it is answered only by the run that takes its crash.
    if (InterlockedCompareExchange(&client->pendingDumpRequests_, 1, 1) != 1) continue;
    SetEvent(client->dumpDoneEvent());
    if (InterlockedDecrement(&client->pendingDumpRequests_) == 0) return;
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
  // Waits for a dump request of this client that is still being handled.
  owned->unregisterDumpRequestWait();
  if (onClientExited_ != nullptr) onClientExited_(exitedContext_, owned.get());
  destroy(std::move(owned));
}

}  // namespace tavra
