#include "desktop/windows/crash_reporter/server/pipe_conversation.h"

#include <cstring>
#include <memory>
#include <utility>

namespace tavra {
namespace {

constexpr DWORD kPipeOpenMode =
    PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;  // 0x40080003
// Only processes of this machine are clients: a remote one could not be
// opened, and has no business on the pipe.
constexpr DWORD kPipeMode =
    PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;  // 0xE
// Requests are read up to the pipe's buffer size, so that either width's
// registration arrives whole; each is then taken only at its own length.
constexpr DWORD kReadSize = static_cast<DWORD>(kPipeBufferSize);
constexpr DWORD kReplySize = sizeof(PipeMessage);
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

// The reporter is never its own client: a record of it would never see its
// process end, and the handles placed "in the client" would pile up here.
bool isWellFormedRegistration(const IncomingMessage& request) {
  return request.kind == IncomingKind::Registration &&
         request.registration.processId != GetCurrentProcessId();
}

}  // namespace

Seam<PipeWriteFunction> pipeWriteSeam(&WriteFile);

Seam<PipeClientProcessIdFunction> pipeClientProcessIdSeam(&GetNamedPipeClientProcessId);

Seam<CreateNamedPipeFunction> createNamedPipeSeam(&CreateNamedPipeW);

PipeConversation::PipeConversation(const std::wstring& pipeName,
                                   SECURITY_ATTRIBUTES* securityAttributes,
                                   HookRequestHook onHookRequest, void* hookRequestContext,
                                   ClientRegistry* registry)
    : pipeName_(pipeName),
      securityAttributes_(securityAttributes),
      onHookRequest_(onHookRequest),
      hookRequestContext_(hookRequestContext),
      registry_(registry),
      state_(static_cast<int32_t>(PipeState::NotStarted)) {
  std::memset(&overlapped_, 0, sizeof(overlapped_));
  std::memset(incoming_, 0, sizeof(incoming_));
  std::memset(&reply_, 0, sizeof(reply_));
}

bool PipeConversation::start() {
  setState(PipeState::StartListen);
  // Creation failures leave what was made for `stop`. `Failed` tells `stop`
  // that no callback will move the machine any more.
  pipeEvent_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!pipeEvent_.isValid()) {
    setState(PipeState::Failed);
    return false;
  }
  overlapped_.hEvent = pipeEvent_.get();
  if (!RegisterWaitForSingleObject(pipeWait_.receive(), pipeEvent_.get(),
                                   &PipeConversation::pipeCallback, this, INFINITE,
                                   WT_EXECUTEINWAITTHREAD)) {
    pipeWait_.release();
    setState(PipeState::Failed);
    return false;
  }
  HANDLE pipe = createNamedPipeSeam(pipeName_.c_str(), kPipeOpenMode, kPipeMode, 1, kPipeBufferSize,
                                    kPipeBufferSize, 0, securityAttributes_);
  if (pipe == INVALID_HANDLE_VALUE) {
    setState(PipeState::Failed);
    return false;
  }
  pipe_.reset(pipe);
  // Without its bound the server still serves: the timer is a safeguard.
  if (timeoutMs_ != 0) {
    const DWORD period = conversationCheckPeriod(timeoutMs_);
    if (!CreateTimerQueueTimer(timer_.receive(), nullptr, &PipeConversation::timerCallback, this,
                               period, period, WT_EXECUTEDEFAULT)) {
      timer_.release();
    }
  }
  if (!SetEvent(pipeEvent_.get())) {
    setState(PipeState::Failed);
    return false;
  }
  return true;
}

void PipeConversation::stop() {
  {
    ScopedCriticalSection hold(&stopLock_);
    stopping_ = true;
  }
  // From here on the pipe callback touches neither the pipe, nor its event,
  // nor its wait.
  timer_.reset();
  if (pipe_.isValid()) DisconnectNamedPipe(pipe_.get());
  // Disconnecting a pipe that waits for a client completes nothing; the
  // signal lets the callback see the shutdown at once instead.
  if (pipeEvent_.isValid()) SetEvent(pipeEvent_.get());
  for (int i = 0; i < kStopPolls && state() != PipeState::Failed; ++i) {
    Sleep(kStopPollIntervalMs);
  }
  pipeWait_.reset();
  if (pipe_.isValid()) {
    cancelPipeIo();
    pipe_.reset();
    waitForPipeIo();
  }
  pendingClient_ = nullptr;
}

void PipeConversation::closeEvent() {
  overlapped_.hEvent = nullptr;
  pipeEvent_.reset();
}

// A pending operation must be over before the pipe is closed and the
// conversation goes: its completion writes into `overlapped_`. Cancelling it,
// or closing the pipe, completes it at once; the wait is bounded all the same.
void PipeConversation::cancelPipeIo() {
  if (HasOverlappedIoCompleted(&overlapped_)) return;
  CancelIoEx(pipe_.get(), &overlapped_);
}

void PipeConversation::waitForPipeIo() {
  for (int i = 0; i < kStopPolls && !HasOverlappedIoCompleted(&overlapped_); ++i) {
    Sleep(kStopPollIntervalMs);
  }
}

bool PipeConversation::isStopping() {
  ScopedCriticalSection hold(&stopLock_);
  return stopping_;
}

void CALLBACK PipeConversation::pipeCallback(void* context, BOOLEAN /*timedOut*/) {
  static_cast<PipeConversation*>(context)->onPipeEvent();
}

void PipeConversation::onPipeEvent() {
  if (isStopping()) {
    setState(PipeState::Failed);
    if (overlapped_.hEvent != nullptr) ResetEvent(overlapped_.hEvent);
    return;
  }
  // The conversation timer sees a state and the operation that belongs to it.
  ScopedCriticalSection hold(&conversationLock_);
  runStep();
}

void CALLBACK PipeConversation::timerCallback(void* context, BOOLEAN /*timedOut*/) {
  static_cast<PipeConversation*>(context)->cancelOverdueConversation();
}

void PipeConversation::cancelOverdueConversation() {
  ScopedCriticalSection hold(&conversationLock_);
  const PipeState current = state();
  if (current != PipeState::AwaitRequest && current != PipeState::AwaitReply &&
      current != PipeState::AwaitAck) {
    return;
  }
  if (GetTickCount() - conversationStart_ < timeoutMs_) return;
  // The cancelled operation completes with an error, which signals the pipe
  // event; the waiting state's own step then hangs up.
  CancelIoEx(pipe_.get(), &overlapped_);
}

void PipeConversation::runStep() {
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

void PipeConversation::goTo(PipeState next) {
  setState(next);
  if (!SetEvent(overlapped_.hEvent)) setState(PipeState::Failed);
}

void PipeConversation::fail() {
  SetEvent(overlapped_.hEvent);
  setState(PipeState::Failed);
}

// The server listens no more; registered clients keep their waits and are
// still served. Only the pipe goes here: the pipe's wait and event stay, reset,
// for `stop`, whose blocking unregistration is the only way to know that this
// callback has returned before the conversation is destroyed.
void PipeConversation::releasePipeAfterFailure() {
  ScopedCriticalSection hold(&stopLock_);
  if (stopping_) return;
  if (overlapped_.hEvent != nullptr) ResetEvent(overlapped_.hEvent);
  if (pipe_.isValid()) {
    cancelPipeIo();
    pipe_.reset();
    waitForPipeIo();
  }
}

void PipeConversation::startListen() {
  if (!ResetEvent(overlapped_.hEvent)) {
    fail();
    return;
  }
  if (ConnectNamedPipe(pipe_.get(), &overlapped_)) {
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

void PipeConversation::awaitClient() {
  DWORD transferred = 0;
  if (GetOverlappedResult(pipe_.get(), &overlapped_, &transferred, FALSE)) {
    conversationStart_ = GetTickCount();
    goTo(PipeState::ReadRequest);
  } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
    goTo(PipeState::Hangup);
  }
}

void PipeConversation::readRequest() {
  std::memset(incoming_, 0, sizeof(incoming_));
  incomingLength_ = 0;
  connectedProcessId_ = 0;
  DWORD transferred = 0;
  if (ReadFile(pipe_.get(), incoming_, kReadSize, &transferred, &overlapped_) ||
      GetLastError() == ERROR_IO_PENDING) {
    setState(PipeState::AwaitRequest);
    return;
  }
  // A message longer than any request may fail the read at once.
  if (GetLastError() == ERROR_MORE_DATA) {
    identifyClient();
    refuse(RefusalReason::Malformed, 0);
  }
  goTo(PipeState::Hangup);
}

// Asked only while a client is connected: between connections some systems
// answer with the previous client, or with nothing in particular.
void PipeConversation::identifyClient() {
  ULONG connected = 0;
  if (pipeClientProcessIdSeam(pipe_.get(), &connected)) connectedProcessId_ = connected;
}

void PipeConversation::awaitRequest() {
  DWORD transferred = 0;
  // A message longer than the buffer fails the read (more data) and ends the
  // conversation, and is told; the length of one that was read whole is
  // judged with its tag. A client that went away or said nothing in time is
  // no refusal.
  const bool read = GetOverlappedResult(pipe_.get(), &overlapped_, &transferred, FALSE) != FALSE;
  const bool tooLong = !read && GetLastError() == ERROR_MORE_DATA;
  identifyClient();
  if (read && transferred <= kReadSize) {
    incomingLength_ = transferred;
    goTo(PipeState::HandleRequest);
    return;
  }
  if (read || tooLong) refuse(RefusalReason::Malformed, 0);
  goTo(PipeState::Hangup);
}

void PipeConversation::handleRequest() {
  const IncomingMessage request =
      decodeIncomingMessage(incoming_, incomingLength_, kTargetArchitecture);
  if (request.kind == IncomingKind::HookRequest) {
    if (onHookRequest_ != nullptr) onHookRequest_(hookRequestContext_, request.hookValue);
    goTo(PipeState::Hangup);
    return;
  }
  const uint32_t processId = request.registration.processId;
  RefusalReason why = request.kind == IncomingKind::OtherWidthRegistration
                          ? RefusalReason::OtherWidthRegistration
                          : RefusalReason::Malformed;
  if (!isWellFormedRegistration(request) || !isFromConnectedProcess(processId, &why)) {
    refuse(why, processId);
    goTo(PipeState::Hangup);
    return;
  }
  std::unique_ptr<ReporterClient> client = registry_->admit(request.registration, &reply_, &why);
  if (!client) {
    refuse(why, processId);
    goTo(PipeState::Hangup);
    return;
  }
  // The record joins the list before the reply goes out: a registration that
  // fails after the reply has reached the client would leave it handles that
  // are no longer its own to trust, and closing them there could close
  // another handle of the client that took the same value meanwhile.
  const ReporterClient* registered = registry_->enlist(std::move(client), &reply_, &why);
  if (registered == nullptr) {
    refuse(why, processId);
    goTo(PipeState::Hangup);
    return;
  }
  DWORD transferred = 0;
  if (!pipeWriteSeam(pipe_.get(), &reply_, kReplySize, &transferred, &overlapped_) &&
      GetLastError() != ERROR_IO_PENDING) {
    forgetUnanswered(registered, processId);
    goTo(PipeState::Hangup);
    return;
  }
  pendingClient_ = registered;
  pendingProcessId_ = processId;
  setState(PipeState::AwaitReply);
}

// A client that the system cannot name is not trusted to be the one it names.
bool PipeConversation::isFromConnectedProcess(uint32_t processId, RefusalReason* why) const {
  if (connectedProcessId_ == 0) {
    *why = RefusalReason::ClientProcessUnknown;
    return false;
  }
  *why = RefusalReason::NotTheConnectedProcess;
  return connectedProcessId_ == processId;
}

// The reply never reached the client, which therefore cannot know the handles
// that were placed in it: they are closed there.
void PipeConversation::forgetUnanswered(const ReporterClient* client, uint32_t processId) {
  registry_->forgetUnanswered(client, &reply_);
  refuse(RefusalReason::ReplyNotDelivered, processId);
}

void PipeConversation::refuse(RefusalReason reason, uint32_t processId) {
  if (onRefusal_ == nullptr) return;
  RegistrationRefusal refusal;
  refusal.reason = reason;
  refusal.processId = processId;
  refusal.connectedProcessId = connectedProcessId_;
  onRefusal_(refusalContext_, refusal);
}

void PipeConversation::awaitReply() {
  DWORD transferred = 0;
  if (GetOverlappedResult(pipe_.get(), &overlapped_, &transferred, FALSE)) {
    goTo(PipeState::ReadAck);
    return;
  }
  forgetUnanswered(pendingClient_, pendingProcessId_);
  pendingClient_ = nullptr;
  goTo(PipeState::Hangup);
}

void PipeConversation::readAck() {
  DWORD transferred = 0;
  // The acknowledgement's contents are not examined; a 64-bit client may
  // send its own registration back, so it is read up to the buffer's size.
  if (ReadFile(pipe_.get(), incoming_, kReadSize, &transferred, &overlapped_)) {
    goTo(PipeState::AwaitAck);
  } else if (GetLastError() == ERROR_IO_PENDING) {
    setState(PipeState::AwaitAck);
  } else {
    goTo(PipeState::Hangup);
  }
}

void PipeConversation::awaitAck() {
  DWORD transferred = 0;
  if (GetOverlappedResult(pipe_.get(), &overlapped_, &transferred, FALSE)) {
    registry_->acknowledged(pendingClient_);
  }
  goTo(PipeState::Hangup);
}

void PipeConversation::hangup() {
  pendingClient_ = nullptr;
  overlapped_.Internal = 0;
  overlapped_.InternalHigh = 0;
  overlapped_.Offset = 0;
  overlapped_.OffsetHigh = 0;
  if (!ResetEvent(overlapped_.hEvent) || !DisconnectNamedPipe(pipe_.get())) {
    fail();
    return;
  }
  if (isStopping()) return;
  goTo(PipeState::StartListen);
}

}  // namespace tavra
