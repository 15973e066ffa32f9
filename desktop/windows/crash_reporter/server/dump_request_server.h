// The reporter's named-pipe server: browser processes register over the pipe
// and then ask for crash reports through the events that it hands them.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_DUMP_REQUEST_SERVER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_DUMP_REQUEST_SERVER_H_

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/server/pipe_message.h"
#include "desktop/windows/crash_reporter/server/reporter_client.h"

namespace tavra {

// Hooks are called on thread-pool threads and must not keep the client pointer
// beyond their return. A null hook is skipped.
using ClientHook = void (*)(void* context, ReporterClient* client);
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

// Serves one pipe connection at a time, all of it on wait callbacks of the
// system thread pool. A client writes a Register message, reads the reply that
// carries three handles duplicated into it, writes an acknowledgement and
// closes; from then on it asks for reports by signalling its dump-request
// event, and the server answers with its dump-done event after the
// dump-request hook has run. The server forgets a client when its process
// ends.
//
// Threads:
// - `start` and `stop` run on the same thread: the server-alive mutex that
//   `start` creates owned can only be released by its owner.
// - The pipe conversation runs in a wait thread of the system thread pool, one
//   step at a time; only it touches the pipe, its OVERLAPPED, the message
//   buffers and the pending client. `onClientRegistered` runs there.
// - Each dump request runs on a worker thread of the pool (the callback is
//   flagged long-running), never in a wait thread, so a crash being handled
//   holds up neither the conversation nor other clients' exits and crashes.
//   Crashes of different clients are handled at the same time; requests of
//   one client run one at a time, and a signal that comes while one runs is
//   answered by one more run. `onDumpRequest` runs there, with no lock held.
// - A client's exit runs once on a worker thread; it waits for the client's
//   running dump request before it calls `onClientExited` and forgets the
//   client.
// `lock_` guards `clients_` and `shuttingDown_`; `conversationLock_` orders the
// conversation's steps with its timer.
class DumpRequestServer {
 public:
  // How long one conversation may take, from the client's connection to the
  // end of its acknowledgement, before the server hangs up on it. Without a
  // bound, a client that connects and never writes would hold the pipe's only
  // instance for good.
  static constexpr DWORD kDefaultConversationTimeoutMs = 5000;

  // Only stores the values; cannot fail. `securityAttributes` may be null and
  // must outlive the server's `start`.
  DumpRequestServer(const std::wstring& pipeName, SECURITY_ATTRIBUTES* securityAttributes,
                    ClientHook onClientRegistered, void* registeredContext,
                    ClientHook onDumpRequest, void* dumpRequestContext, ClientHook onClientExited,
                    void* exitedContext, HookRequestHook onHookRequest, void* hookRequestContext);
  // Stops the server if it was started and not stopped yet.
  ~DumpRequestServer();
  DumpRequestServer(const DumpRequestServer&) = delete;
  DumpRequestServer& operator=(const DumpRequestServer&) = delete;

  // Before `start` only. Zero means no bound.
  void setConversationTimeout(DWORD milliseconds) { conversationTimeoutMs_ = milliseconds; }

  // Creates the server-alive mutex, the pipe event and its wait, and the pipe,
  // and sets the conversation going. False when called a second time or when
  // any of them cannot be made (a pipe of that name exists already, say); the
  // caller then calls `stop`.
  bool start();

  // Hangs up, waits for running callbacks, and destroys every remaining client
  // record; dump requests still running are waited for. Takes about one
  // second at most when no client is connected. Only the first call acts.
  void stop();

  PipeState state() const { return static_cast<PipeState>(state_.load()); }
  // Clients registered and not yet forgotten.
  size_t registeredClientCount() const;

 private:
  static void CALLBACK pipeCallback(void* context, BOOLEAN timedOut);
  static void CALLBACK conversationTimerCallback(void* context, BOOLEAN timedOut);
  static void CALLBACK dumpRequestCallback(void* context, BOOLEAN timedOut);
  static void CALLBACK clientExitCallback(void* context, BOOLEAN timedOut);

  bool isShuttingDown() const;
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

  bool buildReply(ReporterClient* client);
  void closeHandlesPlacedInClient(ReporterClient* client);
  bool registerClient(std::unique_ptr<ReporterClient>* client);
  void discardClient(std::unique_ptr<ReporterClient> client);
  void cancelPipeIo();
  void waitForPipeIo();

  void handleDumpRequest(ReporterClient* client);
  void handleClientExit(ReporterClient* client);

  mutable CRITICAL_SECTION lock_;
  std::vector<std::unique_ptr<ReporterClient>> clients_;
  const std::wstring pipeName_;
  SECURITY_ATTRIBUTES* const securityAttributes_;
  HANDLE pipe_ = nullptr;
  HANDLE pipeWait_ = nullptr;
  HANDLE serverAliveMutex_ = nullptr;
  const ClientHook onClientRegistered_;
  void* const registeredContext_;
  const ClientHook onDumpRequest_;
  void* const dumpRequestContext_;
  const ClientHook onClientExited_;
  void* const exitedContext_;
  const HookRequestHook onHookRequest_;
  void* const hookRequestContext_;
  std::atomic<int32_t> state_;
  uint8_t shuttingDown_ = 0;
  OVERLAPPED overlapped_;
  PipeMessage message_;
  ReporterClient* pendingClient_ = nullptr;
  PipeMessage reply_;

  // Held by each step of the pipe callback and by the conversation timer,
  // which cancels the pending operation of a conversation past its bound.
  CRITICAL_SECTION conversationLock_;
  HANDLE conversationTimer_ = nullptr;
  DWORD conversationTimeoutMs_ = kDefaultConversationTimeoutMs;
  DWORD conversationStart_ = 0;
  bool started_ = false;
  bool stopped_ = false;
};

// Test seam: the DuplicateHandle that servers call; null restores the real
// one. It is read at each call, so tests may change it between conversations.
using DuplicateHandleFunction = BOOL(WINAPI*)(HANDLE sourceProcess, HANDLE source,
                                              HANDLE targetProcess, HANDLE* target, DWORD access,
                                              BOOL inherit, DWORD options);
void setDuplicateHandleFunctionForTesting(DuplicateHandleFunction function);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_DUMP_REQUEST_SERVER_H_
