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
#include "runtime/scoped_lock.h"
#include "runtime/seam.h"

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
// Whoever can open the pipe can register, so a registration is checked before
// anything is opened for it:
// - It must name the process at the other end of the pipe, where the system
//   says which that is; otherwise the server would open any process that the
//   writer names with full access and place handles in it. Where the system
//   cannot say (no answer, or 0), only the bounds below hold.
// - A process has at most one record. A new registration of a process that
//   has one replaces it: the new record joins the list in the old one's
//   place, and the old one is retired (below). The handles placed in the
//   client for the old registration are the client's own business.
// - There are at most `maxClients` records, and at most `maxAnnotationBytes`
//   reserved for their table copies, each record reserving what its copy can
//   take (`ReporterClient::annotationCopySize`) from before it is made until
//   it is destroyed. Replaced records still being retired count too, so the
//   bounds hold for everything that the server keeps. A registration past
//   either bound is refused: hang-up, no record, nothing opened.
// A refused or failed registration leaves nothing behind; handles that it had
// already placed in the client are closed there, also when the reply had
// been written.
//
// Retiring a record means unregistering its waits blocking (a dump request of
// it that is still running finishes first), then destroying it. The pipe's
// wait thread must not block for the length of a crash, so a replaced record,
// or one that failed after its waits were registered, is retired on a worker
// thread of its own; `stop` waits until every record is gone.
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
//   one client run one at a time, and any number of signals that come while
//   one runs are answered by one more run, so a client that signals in a
//   tight loop gets one run after another on one thread and queues nothing
//   up. Dump-done is signalled only after a run that no signal came during:
//   a thread that signalled mid-run goes on only once its crash was taken.
//   `onDumpRequest` runs there, with no lock held.
// - A client's exit runs once on a worker thread: it takes the record out of
//   the list, waits for the client's running dump request, calls
//   `onClientExited` and destroys the record. The exit of a record that is no
//   longer in the list (replaced, or failed) does nothing: whoever took it out
//   destroys it, after this callback has returned.
// - Replaced and failed records are retired on worker threads.
// `lock_` guards `clients_`, `shuttingDown_` and the record and reservation
// counts; no wait is unregistered blocking while it is held, since the
// callbacks take it. `conversationLock_` orders the conversation's steps with
// its timer; the conversation takes `lock_` inside it, never the other way.
class DumpRequestServer {
 public:
  // How long one conversation may take, from the client's connection to the
  // end of its acknowledgement, before the server hangs up on it. Without a
  // bound, a client that connects and never writes would hold the pipe's only
  // instance for good.
  static constexpr DWORD kDefaultConversationTimeoutMs = 5000;
  // A browser runs dozens of processes; a thousand records leave room for
  // that many times over while bounding the handles, waits and wait threads
  // that a flood of registrations could make the server hold.
  static constexpr size_t kDefaultMaxClients = 1024;
  // Sixty-four clients with the largest table that is read (1 MiB each), or
  // thousands with ordinary ones; a small share of the address space.
  static constexpr size_t kDefaultMaxAnnotationBytes = 64 * 1024 * 1024;

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
  // Before `start` only: the most records, and the most bytes reserved for
  // their table copies, that the server keeps at once.
  void setClientLimits(size_t maxClients, size_t maxAnnotationBytes) {
    maxClients_ = maxClients;
    maxAnnotationBytes_ = maxAnnotationBytes;
  }

  // Before `start` only: `hook` is called once for each record that goes
  // away with a dump request that was never taken up (its client signalled,
  // then ended, was replaced or was dropped by `stop` before the request's
  // wait fired), after the record's dump-request wait is gone and before the
  // record is destroyed, on the thread that destroys it. Such a request can
  // no longer be served; the hook may say so. No lock is held.
  void setUnservedRequestHook(ClientHook hook, void* context) {
    onUnservedRequest_ = hook;
    unservedRequestContext_ = context;
  }

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
  // Records in existence: the registered ones, and those being registered,
  // retired or destroyed.
  size_t recordCount() const;

 private:
  static void CALLBACK pipeCallback(void* context, BOOLEAN timedOut);
  static void CALLBACK conversationTimerCallback(void* context, BOOLEAN timedOut);
  static void CALLBACK dumpRequestCallback(void* context, BOOLEAN timedOut);
  static void CALLBACK clientExitCallback(void* context, BOOLEAN timedOut);
  static DWORD WINAPI retireCallback(void* context);

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

  bool isFromConnectedProcess(uint32_t processId) const;
  // Counts a record and reserves `copySize` bytes for it, unless either
  // bound would be passed or the server is shutting down.
  bool admitRecord(size_t copySize);
  // Gives back what `admitRecord` took. The last touch of the server by the
  // thread that destroyed a record.
  void releaseRecord(size_t copySize);
  bool buildReply(ReporterClient* client);
  // Closes in the client each handle named in `placed` and zeroes its word.
  void closeHandlesPlacedInClient(ReporterClient* client, PipeMessage* placed);
  bool registerClient(std::unique_ptr<ReporterClient>* client,
                      std::unique_ptr<ReporterClient>* replaced);
  // Takes `client` out of the list; null when it is not there.
  std::unique_ptr<ReporterClient> takeClient(const ReporterClient* client);
  void retireClient(std::unique_ptr<ReporterClient> client);
  void destroyClient(std::unique_ptr<ReporterClient> client);
  void forgetUnansweredClient();
  void cancelPipeIo();
  void waitForPipeIo();

  void handleDumpRequest(ReporterClient* client);
  void handleClientExit(ReporterClient* client);

  mutable CriticalSection lock_;
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
  ClientHook onUnservedRequest_ = nullptr;
  void* unservedRequestContext_ = nullptr;
  std::atomic<int32_t> state_;
  uint8_t shuttingDown_ = 0;
  size_t maxClients_ = kDefaultMaxClients;
  size_t maxAnnotationBytes_ = kDefaultMaxAnnotationBytes;
  // Records admitted and not yet destroyed, and the bytes reserved for them.
  size_t liveRecords_ = 0;
  size_t reservedAnnotationBytes_ = 0;
  // Auto-reset; signalled under `lock_` each time a record is destroyed, for
  // `stop`, which waits for the last one.
  HANDLE recordReleased_ = nullptr;
  OVERLAPPED overlapped_;
  PipeMessage message_;
  ReporterClient* pendingClient_ = nullptr;
  PipeMessage reply_;

  // Held by each step of the pipe callback and by the conversation timer,
  // which cancels the pending operation of a conversation past its bound.
  CriticalSection conversationLock_;
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
extern Seam<DuplicateHandleFunction> duplicateHandleSeam;

// Test seams in the same manner: the registration of a client's two waits, the
// write of the reply, and the question which process is at the other end of
// the pipe (GetNamedPipeClientProcessId).
using RegisterWaitFunction = BOOL(WINAPI*)(HANDLE* wait, HANDLE object,
                                           WAITORTIMERCALLBACK callback, void* context,
                                           ULONG milliseconds, ULONG flags);
extern Seam<RegisterWaitFunction> registerWaitSeam;
using PipeWriteFunction = BOOL(WINAPI*)(HANDLE pipe, const void* data, DWORD size, DWORD* written,
                                        OVERLAPPED* overlapped);
extern Seam<PipeWriteFunction> pipeWriteSeam;
using PipeClientProcessIdFunction = BOOL(WINAPI*)(HANDLE pipe, ULONG* processId);
extern Seam<PipeClientProcessIdFunction> pipeClientProcessIdSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_DUMP_REQUEST_SERVER_H_
