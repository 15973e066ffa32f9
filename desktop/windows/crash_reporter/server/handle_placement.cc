#include "desktop/windows/crash_reporter/server/handle_placement.h"

#include <cstdint>
#include <cstring>

#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

uint32_t handleWord(HANDLE handle) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
}

HANDLE wordHandle(uint32_t word) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(word)); }

}  // namespace

Seam<DuplicateHandleFunction> duplicateHandleSeam(&DuplicateHandle);

bool placeHandlesInClient(const ReporterClient& client, HANDLE serverAliveMutex,
                          PipeMessage* reply) {
  std::memset(reply, 0, sizeof(*reply));
  reply->tag = static_cast<uint32_t>(PipeMessageTag::RegisterReply);
  reply->processId = GetCurrentProcessId();
  struct Duplication {
    HANDLE source;
    uint32_t* target;
    DWORD access;
  };
  const Duplication duplications[] = {
      {client.dumpRequestEvent(), &reply->dumpRequestEvent, kDumpRequestEventAccess},
      {client.dumpDoneEvent(), &reply->dumpDoneEvent, kDumpDoneEventAccess},
      {serverAliveMutex, &reply->serverAliveMutex, kServerAliveMutexAccess},
  };
  for (const Duplication& duplication : duplications) {
    HANDLE target = nullptr;
    if (!duplicateHandleSeam(GetCurrentProcess(), duplication.source, client.process(), &target,
                             duplication.access, FALSE, 0)) {
      closeHandlesPlacedInClient(client, reply);
      return false;
    }
    *duplication.target = handleWord(target);
  }
  return true;
}

void closeHandlesPlacedInClient(const ReporterClient& client, PipeMessage* placed) {
  uint32_t* words[] = {&placed->dumpRequestEvent, &placed->dumpDoneEvent,
                       &placed->serverAliveMutex};
  for (uint32_t* word : words) {
    if (*word == 0) continue;
    // The copy comes back here and is closed: with no target process at all,
    // some systems refuse to close a handle of another process.
    ScopedHandle copy;
    duplicateHandleSeam(client.process(), wordHandle(*word), GetCurrentProcess(), copy.receive(), 0,
                        FALSE, DUPLICATE_CLOSE_SOURCE);
    *word = 0;
  }
}

}  // namespace tavra
