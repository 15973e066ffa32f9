#include "desktop/windows/crash_reporter/server/dump_request_server.h"

namespace tavra {

DumpRequestServer::DumpRequestServer(const std::wstring& pipeName,
                                     SECURITY_ATTRIBUTES* securityAttributes,
                                     ClientHook onClientRegistered, void* registeredContext,
                                     ClientHook onDumpRequest, void* dumpRequestContext,
                                     ClientHook onClientExited, void* exitedContext,
                                     HookRequestHook onHookRequest, void* hookRequestContext)
    : registry_(onClientRegistered, registeredContext, onDumpRequest, dumpRequestContext,
                onClientExited, exitedContext),
      conversation_(pipeName, securityAttributes, onHookRequest, hookRequestContext, &registry_) {}

DumpRequestServer::~DumpRequestServer() {
  if (started_) stop();
}

bool DumpRequestServer::start() {
  if (started_) return false;
  started_ = true;
  // What was made before a failure stays for `stop`.
  if (!registry_.open()) {
    conversation_.markFailed();
    return false;
  }
  return conversation_.start();
}

// The registry closes first, at once: from then on client exits leave their
// records in the list, for `destroyAll`, and the exit hook is not called.
// The records go only after the conversation has stopped, so that no step
// hands one over any more, and the mutex that every client holds a handle of
// is let go only after the last record.
void DumpRequestServer::stop() {
  if (!started_ || stopped_) return;
  stopped_ = true;
  registry_.close();
  conversation_.stop();
  registry_.destroyAll();
  conversation_.closeEvent();
}

}  // namespace tavra
