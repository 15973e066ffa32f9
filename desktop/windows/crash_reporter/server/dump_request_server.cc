#include "desktop/windows/crash_reporter/server/dump_request_server.h"

#include <cstring>
#include <new>
#include <utility>

#include "runtime/scoped_holder.h"
#include "runtime/scoped_lock.h"

namespace tavra {
namespace {

constexpr DWORD kPipeOpenMode =
    PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;      // 0x40080003
constexpr DWORD kPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;  // 6
constexpr DWORD kPipeBufferSize = 64;
constexpr DWORD kMessageSize = sizeof(PipeMessage);
// A crash may take seconds to handle. Run in the wait thread, it would hold up
// every other wait that the thread serves: the pipe's conversation, other
// clients' exits and crashes. Each callback runs on a worker thread instead.
constexpr DWORD kDumpRequestWaitFlags = WT_EXECUTELONGFUNCTION;  // 0x10
constexpr DWORD kProcessExitWaitFlags = WT_EXECUTEONLYONCE;      // 8
constexpr int kStopPolls = 100;
constexpr DWORD kStopPollIntervalMs = 10;

// How often the conversation timer looks at the running conversation: often
// enough to end an overdue one soon after its bound.
DWORD conversationCheckPeriod(DWORD conversationTimeoutMs) {
  DWORD period = conversationTimeoutMs / 4;
  if (period < 10) period = 10;
  if (period > 1000) period = 1000;
  return period;
}

uint32_t handleWord(HANDLE handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

HANDLE wordHandle(uint32_t word) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(word)); }

}  // namespace

Seam<PipeWriteFunction> pipeWriteSeam(&WriteFile);

Seam<PipeClientProcessIdFunction> pipeClientProcessIdSeam(&GetNamedPipeClientProcessId);

Seam<RegisterWaitFunction> registerWaitSeam(&RegisterWaitForSingleObject);

Seam<DuplicateHandleFunction> duplicateHandleSeam(&DuplicateHandle);

DumpRequestServer::DumpRequestServer(const std::wstring& pipeName,
                                     SECURITY_ATTRIBUTES* securityAttributes,
                                     ClientHook onClientRegistered, void* registeredContext,
                                     ClientHook onDumpRequest, void* dumpRequestContext,
                                     ClientHook onClientExited, void* exitedContext,
                                     HookRequestHook onHookRequest, void* hookRequestContext)
    : pipeName_(pipeName),
      securityAttributes_(securityAttributes),
      onClientRegistered_(onClientRegistered),
      registeredContext_(registeredContext),
      onDumpRequest_(onDumpRequest),
      dumpRequestContext_(dumpRequestContext),
      onClientExited_(onClientExited),
      exitedContext_(exitedContext),
      onHookRequest_(onHookRequest),
      hookRequestContext_(hookRequestContext),
      state_(static_cast<int32_t>(PipeState::NotStarted)) {
  std::memset(&overlapped_, 0, sizeof(overlapped_));
  std::memset(&message_, 0, sizeof(message_));
  std::memset(&reply_, 0, sizeof(reply_));
}

DumpRequestServer::~DumpRequestServer() {
  if (started_) stop();
}

bool DumpRequestServer::start() {
  if (state() != PipeState::NotStarted) return false;
  started_ = true;
  setState(PipeState::StartListen);
  // Without it `stop` polls for the last record instead.
  recordReleased_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  // Creation failures leave what was made for `stop`. `Failed` tells `stop`
  // that no callback will move the machine any more.
  serverAliveMutex_ = CreateMutexW(nullptr, TRUE, nullptr);
  if (serverAliveMutex_ == nullptr) {
    setState(PipeState::Failed);
    return false;
  }
  HANDLE pipeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (pipeEvent == nullptr) {
    setState(PipeState::Failed);
    return false;
  }
  overlapped_.hEvent = pipeEvent;
  if (!RegisterWaitForSingleObject(&pipeWait_, pipeEvent, &DumpRequestServer::pipeCallback, this,
                                   INFINITE, WT_EXECUTEINWAITTHREAD)) {
    pipeWait_ = nullptr;
    setState(PipeState::Failed);
    return false;
  }
  HANDLE pipe = CreateNamedPipeW(pipeName_.c_str(), kPipeOpenMode, kPipeMode, 1, kPipeBufferSize,
                                 kPipeBufferSize, 0, securityAttributes_);
  if (pipe == INVALID_HANDLE_VALUE) {
    setState(PipeState::Failed);
    return false;
  }
  pipe_ = pipe;
  // Without its bound the server still serves: the timer is a safeguard.
  if (conversationTimeoutMs_ != 0) {
    const DWORD period = conversationCheckPeriod(conversationTimeoutMs_);
    if (!CreateTimerQueueTimer(&conversationTimer_, nullptr,
                               &DumpRequestServer::conversationTimerCallback, this, period, period,
                               WT_EXECUTEDEFAULT)) {
      conversationTimer_ = nullptr;
    }
  }
  if (!SetEvent(pipeEvent)) {
    setState(PipeState::Failed);
    return false;
  }
  return true;
}

void DumpRequestServer::stop() {
  if (!started_ || stopped_) return;
  stopped_ = true;
  HANDLE pipeEvent = nullptr;
  {
    ScopedCriticalSection hold(&lock_);
    shuttingDown_ = 1;
    pipeEvent = overlapped_.hEvent;
  }
  // From here on the pipe callback touches neither the pipe, nor its event,
  // nor its wait, and client callbacks leave `clients_` alone.
  if (conversationTimer_ != nullptr) {
    DeleteTimerQueueTimer(nullptr, conversationTimer_, INVALID_HANDLE_VALUE);
    conversationTimer_ = nullptr;
  }
  if (pipe_ != nullptr) DisconnectNamedPipe(pipe_);
  // Disconnecting a pipe that waits for a client completes nothing; the
  // signal lets the callback see the shutdown at once instead.
  if (pipeEvent != nullptr) SetEvent(pipeEvent);
  for (int i = 0; i < kStopPolls && state() != PipeState::Failed; ++i) {
    Sleep(kStopPollIntervalMs);
  }
  if (pipeWait_ != nullptr) {
    UnregisterWaitEx(pipeWait_, INVALID_HANDLE_VALUE);
    pipeWait_ = nullptr;
  }
  if (pipe_ != nullptr) {
    cancelPipeIo();
    CloseHandle(pipe_);
    pipe_ = nullptr;
    waitForPipeIo();
  }
  // No callback changes the list any more. Records outside it (being
  // retired, or destroyed by their exit callback) go on their own threads;
  // they still call into the server until the last one is released.
  std::vector<std::unique_ptr<ReporterClient>> remaining;
  {
    ScopedCriticalSection hold(&lock_);
    remaining.swap(clients_);
  }
  pendingClient_ = nullptr;
  for (std::unique_ptr<ReporterClient>& client : remaining) destroyClient(std::move(client));
  for (;;) {
    {
      ScopedCriticalSection hold(&lock_);
      if (liveRecords_ == 0) break;
    }
    if (recordReleased_ != nullptr) {
      WaitForSingleObject(recordReleased_, INFINITE);
    } else {
      Sleep(kStopPollIntervalMs);
    }
  }
  if (recordReleased_ != nullptr) {
    CloseHandle(recordReleased_);
    recordReleased_ = nullptr;
  }
  if (serverAliveMutex_ != nullptr) {
    ReleaseMutex(serverAliveMutex_);
    CloseHandle(serverAliveMutex_);
    serverAliveMutex_ = nullptr;
  }
  if (overlapped_.hEvent != nullptr) {
    CloseHandle(overlapped_.hEvent);
    overlapped_.hEvent = nullptr;
  }
}

// A pending operation must be over before the pipe is closed and the server
// goes: its completion writes into `overlapped_`. Cancelling it, or closing the
// pipe, completes it at once; the wait is bounded all the same.
void DumpRequestServer::cancelPipeIo() {
  if (HasOverlappedIoCompleted(&overlapped_)) return;
  CancelIoEx(pipe_, &overlapped_);
}

void DumpRequestServer::waitForPipeIo() {
  for (int i = 0; i < kStopPolls && !HasOverlappedIoCompleted(&overlapped_); ++i) {
    Sleep(kStopPollIntervalMs);
  }
}

size_t DumpRequestServer::registeredClientCount() const {
  ScopedCriticalSection hold(&lock_);
  return clients_.size();
}

size_t DumpRequestServer::recordCount() const {
  ScopedCriticalSection hold(&lock_);
  return liveRecords_;
}

bool DumpRequestServer::isShuttingDown() const {
  ScopedCriticalSection hold(&lock_);
  return shuttingDown_ != 0;
}

void CALLBACK DumpRequestServer::pipeCallback(void* context, BOOLEAN /*timedOut*/) {
  static_cast<DumpRequestServer*>(context)->onPipeEvent();
}

void DumpRequestServer::onPipeEvent() {
  if (isShuttingDown()) {
    setState(PipeState::Failed);
    if (overlapped_.hEvent != nullptr) ResetEvent(overlapped_.hEvent);
    return;
  }
  // The conversation timer sees a state and the operation that belongs to it.
  ScopedCriticalSection hold(&conversationLock_);
  runStep();
}

void CALLBACK DumpRequestServer::conversationTimerCallback(void* context, BOOLEAN /*timedOut*/) {
  static_cast<DumpRequestServer*>(context)->cancelOverdueConversation();
}

void DumpRequestServer::cancelOverdueConversation() {
  ScopedCriticalSection hold(&conversationLock_);
  const PipeState current = state();
  if (current != PipeState::AwaitRequest && current != PipeState::AwaitReply &&
      current != PipeState::AwaitAck) {
    return;
  }
  if (GetTickCount() - conversationStart_ < conversationTimeoutMs_) return;
  // The cancelled operation completes with an error, which signals the pipe
  // event; the waiting state's own step then hangs up.
  CancelIoEx(pipe_, &overlapped_);
}

void DumpRequestServer::runStep() {
  switch (state()) {
    case PipeState::Failed:
      releasePipeAfterFailure();
      return;
    case PipeState::StartListen:
      startListen();
      return;
    case PipeState::AwaitClient:
      awaitClient();
      return;
    case PipeState::ReadRequest:
      readRequest();
      return;
    case PipeState::AwaitRequest:
      awaitRequest();
      return;
    case PipeState::HandleRequest:
      handleRequest();
      return;
    case PipeState::AwaitReply:
      awaitReply();
      return;
    case PipeState::ReadAck:
      readAck();
      return;
    case PipeState::AwaitAck:
      awaitAck();
      return;
    case PipeState::Hangup:
      hangup();
      return;
    case PipeState::NotStarted:
      break;
  }
  setState(PipeState::Failed);
}

void DumpRequestServer::goTo(PipeState next) {
  setState(next);
  if (!SetEvent(overlapped_.hEvent)) setState(PipeState::Failed);
}

void DumpRequestServer::fail() {
  SetEvent(overlapped_.hEvent);
  setState(PipeState::Failed);
}

// The server listens no more; registered clients keep their waits and are
// still served. Only the pipe goes here: the pipe's wait and event stay, reset,
// for `stop`, whose blocking unregistration is the only way to know that this
// callback has returned before the server is destroyed.
void DumpRequestServer::releasePipeAfterFailure() {
  // Under the lock, so that `stop` either finds the pipe closed or closes it
  // itself, never both.
  ScopedCriticalSection hold(&lock_);
  if (shuttingDown_) return;
  if (overlapped_.hEvent != nullptr) ResetEvent(overlapped_.hEvent);
  if (pipe_ != nullptr) {
    cancelPipeIo();
    CloseHandle(pipe_);
    pipe_ = nullptr;
    waitForPipeIo();
  }
}

void DumpRequestServer::startListen() {
  if (!ResetEvent(overlapped_.hEvent)) {
    fail();
    return;
  }
  if (ConnectNamedPipe(pipe_, &overlapped_)) {
    fail();
    return;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) {
    setState(PipeState::AwaitClient);
  } else if (error == ERROR_PIPE_CONNECTED) {
    conversationStart_ = GetTickCount();
    goTo(PipeState::ReadRequest);
  } else {
    fail();
  }
}

void DumpRequestServer::awaitClient() {
  DWORD transferred = 0;
  if (GetOverlappedResult(pipe_, &overlapped_, &transferred, FALSE)) {
    conversationStart_ = GetTickCount();
    goTo(PipeState::ReadRequest);
  } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
    goTo(PipeState::Hangup);
  }
}

void DumpRequestServer::readRequest() {
  std::memset(&message_, 0, sizeof(message_));
  DWORD transferred = 0;
  if (ReadFile(pipe_, &message_, kMessageSize, &transferred, &overlapped_) ||
      GetLastError() == ERROR_IO_PENDING) {
    setState(PipeState::AwaitRequest);
  } else {
    goTo(PipeState::Hangup);
  }
}

void DumpRequestServer::awaitRequest() {
  DWORD transferred = 0;
  // A longer message fails the read (more data), a shorter one has the wrong
  // length: either ends the conversation.
  if (GetOverlappedResult(pipe_, &overlapped_, &transferred, FALSE) &&
      transferred == kMessageSize) {
    goTo(PipeState::HandleRequest);
  } else {
    goTo(PipeState::Hangup);
  }
}

void DumpRequestServer::handleRequest() {
  const PipeMessage& request = message_;
  if (request.tag == static_cast<uint32_t>(PipeMessageTag::HookRequest)) {
    if (onHookRequest_ != nullptr) onHookRequest_(hookRequestContext_, request.processId);
    goTo(PipeState::Hangup);
    return;
  }
  // The reporter is never its own client: a record of it would never see its
  // process end, and the handles placed "in the client" would pile up here.
  if (request.tag != static_cast<uint32_t>(PipeMessageTag::Register) || request.processId == 0 ||
      request.processId == GetCurrentProcessId() || request.threadIdAddress == 0 ||
      request.exceptionPointersAddress == 0 || request.assertionAddress == 0) {
    goTo(PipeState::Hangup);
    return;
  }

  if (!isFromConnectedProcess(request.processId)) {
    goTo(PipeState::Hangup);
    return;
  }
  const size_t copySize = ReporterClient::annotationCopySize(request.annotationCount);
  if (!admitRecord(copySize)) {
    goTo(PipeState::Hangup);
    return;
  }
  std::unique_ptr<ReporterClient> client(new (std::nothrow) ReporterClient(this, request));
  if (!client) {
    releaseRecord(copySize);
    goTo(PipeState::Hangup);
    return;
  }
  if (!client->open() || !buildReply(client.get())) {
    goTo(PipeState::Hangup);
    retireClient(std::move(client));
    return;
  }
  DWORD transferred = 0;
  if (!pipeWriteSeam(pipe_, &reply_, kMessageSize, &transferred, &overlapped_) &&
      GetLastError() != ERROR_IO_PENDING) {
    // The reply never reached the client, which therefore cannot know the
    // handles that were placed in it.
    closeHandlesPlacedInClient(client.get(), &reply_);
    goTo(PipeState::Hangup);
    retireClient(std::move(client));
    return;
  }
  ReporterClient* registered = client.get();
  std::unique_ptr<ReporterClient> replaced;
  if (!registerClient(&client, &replaced)) {
    // The reply may be on its way, but the client will not be served: what
    // it was given is taken back. The words are copied, as the reply must
    // stay as it is while its write may be pending; the hang-up discards it.
    PipeMessage placed = reply_;
    closeHandlesPlacedInClient(client.get(), &placed);
    goTo(PipeState::Hangup);
    retireClient(std::move(client));
    return;
  }
  if (replaced) retireClient(std::move(replaced));
  pendingClient_ = registered;
  setState(PipeState::AwaitReply);
}

bool DumpRequestServer::isFromConnectedProcess(uint32_t processId) const {
  // Asked only while a client is connected: between connections some systems
  // answer with the previous client, or with nothing in particular.
  ULONG connected = 0;
  if (!pipeClientProcessIdSeam(pipe_, &connected) || connected == 0) return true;
  return connected == processId;
}

bool DumpRequestServer::admitRecord(size_t copySize) {
  ScopedCriticalSection hold(&lock_);
  if (shuttingDown_ || liveRecords_ >= maxClients_ ||
      copySize > maxAnnotationBytes_ - reservedAnnotationBytes_) {
    return false;
  }
  ++liveRecords_;
  reservedAnnotationBytes_ += copySize;
  return true;
}

void DumpRequestServer::releaseRecord(size_t copySize) {
  ScopedCriticalSection hold(&lock_);
  --liveRecords_;
  reservedAnnotationBytes_ -= copySize;
  // Under the lock: once `stop` has seen the last record go, it closes the
  // event and the server may be destroyed.
  if (recordReleased_ != nullptr) SetEvent(recordReleased_);
}

bool DumpRequestServer::buildReply(ReporterClient* client) {
  std::memset(&reply_, 0, sizeof(reply_));
  reply_.tag = static_cast<uint32_t>(PipeMessageTag::RegisterReply);
  reply_.processId = GetCurrentProcessId();
  struct Duplication {
    HANDLE source;
    uint32_t* target;
    DWORD access;
  };
  const Duplication duplications[] = {
      {client->dumpRequestEvent(), &reply_.dumpRequestEvent, kDumpRequestEventAccess},
      {client->dumpDoneEvent(), &reply_.dumpDoneEvent, kDumpDoneEventAccess},
      {serverAliveMutex_, &reply_.serverAliveMutex, kServerAliveMutexAccess},
  };
  for (const Duplication& duplication : duplications) {
    HANDLE target = nullptr;
    if (!duplicateHandleSeam(GetCurrentProcess(), duplication.source, client->process(), &target,
                             duplication.access, FALSE, 0)) {
      closeHandlesPlacedInClient(client, &reply_);
      return false;
    }
    *duplication.target = handleWord(target);
  }
  return true;
}

void DumpRequestServer::closeHandlesPlacedInClient(ReporterClient* client, PipeMessage* placed) {
  uint32_t* words[] = {&placed->dumpRequestEvent, &placed->dumpDoneEvent,
                       &placed->serverAliveMutex};
  for (uint32_t* word : words) {
    if (*word == 0) continue;
    // The copy comes back here and is closed: with no target process at all,
    // some systems refuse to close a handle of another process.
    HANDLE copy = nullptr;
    if (duplicateHandleSeam(client->process(), wordHandle(*word), GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_CLOSE_SOURCE) &&
        copy != nullptr) {
      CloseHandle(copy);
    }
    *word = 0;
  }
}

bool DumpRequestServer::registerClient(std::unique_ptr<ReporterClient>* client,
                                       std::unique_ptr<ReporterClient>* replaced) {
  ReporterClient* record = client->get();
  if (!registerWaitSeam(&record->dumpRequestWait_, record->dumpRequestEvent(),
                        &DumpRequestServer::dumpRequestCallback, record, INFINITE,
                        kDumpRequestWaitFlags)) {
    record->dumpRequestWait_ = nullptr;
    return false;
  }
  // The exit wait is registered under the lock: the exit callback of a process
  // that is already gone may run at once, and it must find the record in the
  // list, not before it is there.
  ScopedCriticalSection hold(&lock_);
  if (shuttingDown_) return false;
  if (!registerWaitSeam(&record->processExitWait_, record->process(),
                        &DumpRequestServer::clientExitCallback, record, INFINITE,
                        kProcessExitWaitFlags)) {
    record->processExitWait_ = nullptr;
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

std::unique_ptr<ReporterClient> DumpRequestServer::takeClient(const ReporterClient* client) {
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
void DumpRequestServer::retireClient(std::unique_ptr<ReporterClient> client) {
  if (client->dumpRequestWait_ != nullptr || client->processExitWait_ != nullptr) {
    if (QueueUserWorkItem(&DumpRequestServer::retireCallback, client.get(),
                          WT_EXECUTELONGFUNCTION)) {
      client.release();  // The work item owns it now.
      return;
    }
  }
  destroyClient(std::move(client));
}

DWORD WINAPI DumpRequestServer::retireCallback(void* context) {
  std::unique_ptr<ReporterClient> client(static_cast<ReporterClient*>(context));
  DumpRequestServer* server = client->server();
  server->destroyClient(std::move(client));
  return 0;
}

// Exit wait first: a running exit callback of a record outside the list only
// looks at the list and returns, and must be done before the record goes.
void DumpRequestServer::destroyClient(std::unique_ptr<ReporterClient> client) {
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
  releaseRecord(copySize);
}

void DumpRequestServer::awaitReply() {
  DWORD transferred = 0;
  if (GetOverlappedResult(pipe_, &overlapped_, &transferred, FALSE)) {
    goTo(PipeState::ReadAck);
    return;
  }
  forgetUnansweredClient();
  goTo(PipeState::Hangup);
}

// The reply never reached the client: it cannot know the handles placed in
// it, and a record that it does not know of would only hold a place until its
// process ends. A record that its exit callback took already is gone with its
// process.
void DumpRequestServer::forgetUnansweredClient() {
  std::unique_ptr<ReporterClient> unanswered;
  {
    ScopedCriticalSection hold(&lock_);
    if (!shuttingDown_) unanswered = takeClient(pendingClient_);
  }
  pendingClient_ = nullptr;
  if (!unanswered) return;
  closeHandlesPlacedInClient(unanswered.get(), &reply_);
  retireClient(std::move(unanswered));
}

void DumpRequestServer::readAck() {
  DWORD transferred = 0;
  if (ReadFile(pipe_, &message_, kMessageSize, &transferred, &overlapped_)) {
    goTo(PipeState::AwaitAck);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    setState(PipeState::AwaitAck);
  } else {
    goTo(PipeState::Hangup);
  }
}

void DumpRequestServer::awaitAck() {
  DWORD transferred = 0;
  if (GetOverlappedResult(pipe_, &overlapped_, &transferred, FALSE) &&
      onClientRegistered_ != nullptr) {
    ScopedCriticalSection hold(&lock_);
    for (const std::unique_ptr<ReporterClient>& client : clients_) {
      if (client.get() == pendingClient_) {
        onClientRegistered_(registeredContext_, pendingClient_);
        break;
      }
    }
  }
  goTo(PipeState::Hangup);
}

void DumpRequestServer::hangup() {
  pendingClient_ = nullptr;
  overlapped_.Internal = 0;
  overlapped_.InternalHigh = 0;
  overlapped_.Offset = 0;
  overlapped_.OffsetHigh = 0;
  if (!ResetEvent(overlapped_.hEvent) || !DisconnectNamedPipe(pipe_)) {
    fail();
    return;
  }
  if (isShuttingDown()) return;
  goTo(PipeState::StartListen);
}

void CALLBACK DumpRequestServer::dumpRequestCallback(void* context, BOOLEAN /*timedOut*/) {
  ReporterClient* client = static_cast<ReporterClient*>(context);
  client->server()->handleDumpRequest(client);
}

void DumpRequestServer::handleDumpRequest(ReporterClient* client) {
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

void CALLBACK DumpRequestServer::clientExitCallback(void* context, BOOLEAN /*timedOut*/) {
  ReporterClient* client = static_cast<ReporterClient*>(context);
  client->server()->handleClientExit(client);
}

void DumpRequestServer::handleClientExit(ReporterClient* client) {
  std::unique_ptr<ReporterClient> owned;
  {
    ScopedCriticalSection hold(&lock_);
    // While shutting down, `stop` destroys what is in the list. A record that
    // is not in it was replaced or failed, and whoever took it out destroys
    // it once this callback has returned.
    if (shuttingDown_) return;
    owned = takeClient(client);
  }
  if (!owned) return;
  owned->unregisterProcessExitWait(false);  // This is the wait's own callback.
  // Waits for a dump request of this client that is still being handled.
  owned->unregisterDumpRequestWait();
  if (onClientExited_ != nullptr) onClientExited_(exitedContext_, owned.get());
  destroyClient(std::move(owned));
}

}  // namespace tavra
