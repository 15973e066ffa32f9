// The reporter's named pipe and the conversation on it with one client at a
// time: connect, read a request, reply, read the acknowledgement, hang up.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_PIPE_CONVERSATION_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_PIPE_CONVERSATION_H_

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "desktop/windows/crash_reporter/server/client_registration.h"
#include "desktop/windows/crash_reporter/server/client_registry.h"
#include "desktop/windows/crash_reporter/server/pipe_message.h"
#include "desktop/windows/crash_reporter/server/registration_refusal.h"
#include "desktop/windows/crash_reporter/server/reporter_client.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_lock.h"
#include "runtime/seam.h"

namespace tavra {

// Called with the value of a hook request. A null hook is skipped.
using HookRequestHook = void (*)(void* context, uint32_t value);

// States of the pipe conversation; the values are fixed.
enum class PipeState : int32_t {
  NotStarted = 0,
  Failed = 1,
  StartListen = 2,
  AwaitClient = 3,
  ReadRequest = 4,
  AwaitRequest = 5,
  HandleRequest = 6,
  AwaitReply = 7,
  ReadAck = 8,
  AwaitAck = 9,
  Hangup = 10,
};

// One pipe instance, one conversation at a time, each step run by a wait on
// the pipe's event. A client writes a Register message, reads the reply that
// carries three handles duplicated into it, writes an acknowledgement and
// closes. A hook request's value goes to `onHookRequest`, and the client is
// hung up on.
//
// The pipe refuses remote clients. A registration is checked here before it
// goes to the registry: its tag, its length and its addresses
// (client_registration.h: a registration in the other width's layout is
// refused with a reason of its own), that it does not name the
// reporter (a record of it would never see its process end), and that it
// names the process at the other end of the pipe; otherwise the registry
// would open any process that the writer names with full access and place
// handles in it. Where the system cannot say which process that is (no
// answer, or 0), the registration is refused. The registry admits it and
// builds the reply, and the record joins the registry's list; then the reply
// is written. Any refusal hangs up on the client, and goes to the refusal
// hook. Handles placed in the client are closed there again only while its
// reply has not reached it: when the registry refuses the record, or the
// reply's write fails.
//
// Threads:
// - `start`, `markFailed`, `stop` and `closeEvent` run on the thread that
//   starts and stops the server.
// - Every step runs in a wait thread of the system thread pool, one at a
//   time, holding `conversationLock_`; only the steps touch the pipe's
//   OVERLAPPED, the message buffers and the pending client. `onHookRequest`
//   and the refusal hook run there with `conversationLock_` held, as do the
//   registry's calls, among them `onClientRegistered`.
// - The conversation timer runs on a timer-queue thread. Holding
//   `conversationLock_`, it cancels the pending operation of a conversation
//   past its bound, and the waiting state's own step then hangs up.
// Locks: `conversationLock_` orders the steps with the timer; the registry's
// lock and `stopLock_` are taken inside it, never the other way. `stopLock_`
// guards `stopping_` and, outside `stop`, the closing of the pipe, so that
// `stop` either finds the pipe closed or closes it itself; nothing is taken
// inside it.
class PipeConversation {
 public:
  // How long one conversation may take, from the client's connection to the
  // end of its acknowledgement, before the server hangs up on it. Without a
  // bound, a client that connects and never writes would hold the pipe's only
  // instance for good.
  static constexpr DWORD kDefaultTimeoutMs = 5000;

  // Only stores the values; cannot fail. `securityAttributes` may be null and
  // must outlive `start`; `registry` must outlive the conversation.
  PipeConversation(const std::wstring& pipeName, SECURITY_ATTRIBUTES* securityAttributes,
                   HookRequestHook onHookRequest, void* hookRequestContext,
                   ClientRegistry* registry);
  PipeConversation(const PipeConversation&) = delete;
  PipeConversation& operator=(const PipeConversation&) = delete;

  // Before `start` only. Zero means no bound.
  void setTimeout(DWORD milliseconds) { timeoutMs_ = milliseconds; }
  // Before `start` only: called once for each refused registration
  // (registration_refusal.h), on the pipe's wait thread with
  // `conversationLock_` held.
  void setRefusalHook(RefusalHook hook, void* context) {
    onRefusal_ = hook;
    refusalContext_ = context;
  }

  // Creates the pipe's event and its wait, and the pipe, and sets the
  // conversation going. False when any of them cannot be made (a pipe of that
  // name exists already, say); what was made stays for `stop`.
  bool start();
  // For a server that could not start before the conversation did: `stop`
  // then knows that no step will move the conversation any more.
  void markFailed() { setState(PipeState::Failed); }
  // Hangs up and releases the pipe: from its first act on, no step touches
  // the pipe, its event or its wait; once it returns, no step runs any more.
  // Takes about one second at most when no client is connected.
  void stop();
  // After `stop`: the pipe's event, the last thing that the conversation
  // holds.
  void closeEvent();

  PipeState state() const { return static_cast<PipeState>(state_.load()); }

 private:
  static void CALLBACK pipeCallback(void* context, BOOLEAN timedOut);
  static void CALLBACK timerCallback(void* context, BOOLEAN timedOut);

  bool isStopping();
  void onPipeEvent();
  void cancelOverdueConversation();
  void runStep();
  void releasePipeAfterFailure();
  void startListen();
  void awaitClient();
  void readRequest();
  void awaitRequest();
  void handleRequest();
  void awaitReply();
  void readAck();
  void awaitAck();
  void hangup();
  // Set `state`, then signal so that its step runs next.
  void goTo(PipeState next);
  // Signal, then set `Failed`.
  void fail();
  void setState(PipeState next) { state_.store(static_cast<int32_t>(next)); }

  // Asks the system which process is at the other end of the pipe, for the
  // checks and the refusal hook.
  void identifyClient();
  // Whether the system named `processId` as the process at the other end of
  // the pipe; `*why` says why not.
  bool isFromConnectedProcess(uint32_t processId, RefusalReason* why) const;
  // The record of process `processId` whose reply never reached it is
  // forgotten, and the refusal told.
  void forgetUnanswered(const ReporterClient* client, uint32_t processId);
  void refuse(RefusalReason reason, uint32_t processId);
  void cancelPipeIo();
  void waitForPipeIo();

  const std::wstring pipeName_;
  SECURITY_ATTRIBUTES* const securityAttributes_;
  const HookRequestHook onHookRequest_;
  void* const hookRequestContext_;
  RefusalHook onRefusal_ = nullptr;
  void* refusalContext_ = nullptr;
  ClientRegistry* const registry_;
  std::atomic<int32_t> state_;
  DWORD timeoutMs_ = kDefaultTimeoutMs;

  CriticalSection conversationLock_;
  CriticalSection stopLock_;
  bool stopping_ = false;

  // Released in the reverse order, as `stop` does: the timer (it cancels I/O
  // on the pipe), the wait on the event, the pipe, last the event.
  ScopedHandle pipeEvent_;
  ScopedHandle pipe_;
  ScopedWait pipeWait_;
  ScopedTimerQueueTimer timer_;
  // Its event is `pipeEvent_`.
  OVERLAPPED overlapped_;
  // The request as read, up to the pipe's buffer size, and its length; the
  // acknowledgement is read into it too.
  uint8_t incoming_[kPipeBufferSize];
  DWORD incomingLength_ = 0;
  PipeMessage reply_;
  // The record of the registration whose reply is on its way, and the process
  // it names (the record may be gone by the time the reply fails).
  const ReporterClient* pendingClient_ = nullptr;
  uint32_t pendingProcessId_ = 0;
  // The process at the other end of the pipe, as the system named it in this
  // conversation; 0 before it was asked or when it cannot tell.
  uint32_t connectedProcessId_ = 0;
  DWORD conversationStart_ = 0;
};

// Test seams: the creation of the pipe, the write of the reply, and the
// question which process is at the other end of the pipe
// (GetNamedPipeClientProcessId). Null restores the real function; each is
// read at each call.
using CreateNamedPipeFunction = HANDLE(WINAPI*)(const wchar_t* name, DWORD openMode, DWORD pipeMode,
                                                DWORD maxInstances, DWORD outBufferSize,
                                                DWORD inBufferSize, DWORD defaultTimeoutMs,
                                                SECURITY_ATTRIBUTES* securityAttributes);
extern Seam<CreateNamedPipeFunction> createNamedPipeSeam;
using PipeWriteFunction = BOOL(WINAPI*)(HANDLE pipe, const void* data, DWORD size, DWORD* written,
                                        OVERLAPPED* overlapped);
extern Seam<PipeWriteFunction> pipeWriteSeam;
using PipeClientProcessIdFunction = BOOL(WINAPI*)(HANDLE pipe, ULONG* processId);
extern Seam<PipeClientProcessIdFunction> pipeClientProcessIdSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_PIPE_CONVERSATION_H_
