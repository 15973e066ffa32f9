// The reporter's named-pipe server: browser processes register over the pipe
// and then ask for crash reports through the events that it hands them.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_DUMP_REQUEST_SERVER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_DUMP_REQUEST_SERVER_H_

#include <windows.h>

#include <cstddef>
#include <string>

#include "desktop/windows/crash_reporter/server/client_registry.h"
#include "desktop/windows/crash_reporter/server/pipe_conversation.h"
#include "desktop/windows/crash_reporter/server/reporter_client.h"

namespace tavra {

// The server puts together two parts that run on their own threads:
// - the pipe conversation (pipe_conversation.h), one client at a time on the
//   pipe's wait thread: a client writes a Register message, reads the reply
//   that carries three handles duplicated into it, writes an acknowledgement
//   and closes; a hook request's value goes to its hook;
// - the client registry (client_registry.h), which keeps a record of each
//   registered client within its bounds, answers the client's dump requests
//   on worker threads (signalled through its dump-request event, answered
//   with its dump-done event after the dump-request hook has run), one crash
//   per process and a bounded number overall at a time, the rest waiting
//   for their turn (dump_request_schedule.h), and forgets the client when
//   its process ends.
// Their headers say how a registration is checked, bounded and replaced.
//
// The hooks, on which thread each runs and which locks are held meanwhile
// (the conversation lock orders the conversation's steps; the registry lock
// guards the list of records and their counts). A hook must not keep the
// record beyond its return; a null hook is skipped.
// - `onHookRequest`: on the pipe's wait thread, with the conversation lock
//   held. The pipe serves nobody else until it returns, and `stop` waits for
//   it.
// - `onClientRegistered`: on the pipe's wait thread once the client has
//   acknowledged its reply and its record is still in the list, with the
//   conversation lock and the registry lock held. Meanwhile no registration,
//   exit or count of the registry goes on: a hook that waits for another
//   thread that asks the server for its counts, or for a client's exit to
//   be seen, waits for good.
// - The refusal hook: on the pipe's wait thread, with the conversation lock
//   held, once per refused registration (registration_refusal.h).
// - `onDumpRequest`: on a worker thread of the pool, with no lock held; one
//   at a time per process, at the same time for different processes up to
//   the bound on running crashes.
// - `onClientExited`: on a worker thread of the pool, once per record that
//   is still in the list when its process ends, after the client's running
//   dump request has returned and before the record is destroyed; no lock
//   held. Not for a replaced record, nor for records that `stop` destroys.
// - The unserved-request hook: on the thread that destroys the record (a
//   worker thread for exits and retired records, the thread that calls
//   `stop` for the records left then, and, rarely, the pipe's wait thread
//   with the conversation lock held, for a failed registration whose waits
//   were never registered or whose retirement could not be queued); no lock
//   of the registry is held.
//
// `start` and `stop` run on the same thread: the server-alive mutex that
// `start` creates owned can only be released by its owner. The order of the
// locks: the conversation lock before the registry lock, never the other way.
class DumpRequestServer {
 public:
  static constexpr DWORD kDefaultConversationTimeoutMs = PipeConversation::kDefaultTimeoutMs;
  static constexpr size_t kDefaultMaxClients = ClientRegistry::kDefaultMaxClients;
  static constexpr size_t kDefaultMaxAnnotationBytes = ClientRegistry::kDefaultMaxAnnotationBytes;
  static constexpr size_t kDefaultMaxRunningCrashes = ClientRegistry::kDefaultMaxRunningCrashes;

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

  // Before `start` only: how long one conversation may take before the
  // server hangs up on it. Zero means no bound.
  void setConversationTimeout(DWORD milliseconds) { conversation_.setTimeout(milliseconds); }
  // Before `start` only: the most records, and the most bytes reserved for
  // their table copies, that the server keeps at once.
  void setClientLimits(size_t maxClients, size_t maxAnnotationBytes) {
    registry_.setLimits(maxClients, maxAnnotationBytes);
  }
  // Before `start` only: the most crashes handled at once (at least 1).
  void setRunningCrashLimit(size_t maxRunning) { registry_.setRunningCrashLimit(maxRunning); }
  // Before `start` only: `hook` is told each refused registration.
  void setRefusalHook(RefusalHook hook, void* context) {
    conversation_.setRefusalHook(hook, context);
  }

  // Before `start` only: `hook` is called once for each record that goes
  // away with a dump request that was never taken up (its client signalled,
  // then ended or was dropped by `stop` before the request was taken, or
  // ended while it waited for its turn), after the record's dump-request wait is
  // gone and before the record is destroyed. Such a request can no longer be
  // served; the hook may say so.
  void setUnservedRequestHook(ClientHook hook, void* context) {
    registry_.setUnservedRequestHook(hook, context);
  }

  // Creates the server-alive mutex, the pipe event and its wait, and the pipe,
  // and sets the conversation going. False when called a second time or when
  // any of them cannot be made (a pipe of that name exists already, say); the
  // caller then calls `stop`.
  bool start();

  // Hangs up, waits for running callbacks, and destroys every remaining client
  // record; dump requests still running are waited for, and those that wait
  // for their turn are served first. Takes about one second at most when no
  // client is connected. Only the first call acts.
  void stop();

  PipeState state() const { return conversation_.state(); }
  // Clients registered and not yet forgotten.
  size_t registeredClientCount() const { return registry_.registeredCount(); }
  // Records in existence: the registered ones, and those being registered,
  // retired or destroyed.
  size_t recordCount() const { return registry_.recordCount(); }
  // Crashes being handled, and dump requests waiting for their turn.
  size_t runningCrashCount() { return registry_.runningCrashCount(); }
  size_t waitingCrashCount() { return registry_.waitingCrashCount(); }

 private:
  // The conversation hands registrations to the registry: it goes first.
  ClientRegistry registry_;
  PipeConversation conversation_;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_SERVER_DUMP_REQUEST_SERVER_H_
