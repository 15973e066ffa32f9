#include "testing/browser_client/process_figures.h"

#include <psapi.h>
#include <tlhelp32.h>

#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

// Handle values are multiples of four; far more than any process here holds.
constexpr uintptr_t kLastProbedHandle = 0x10000;

}  // namespace

uint32_t probeHandleCount(HANDLE process) {
  const bool self = GetProcessId(process) == GetCurrentProcessId();
  uint32_t count = 0;
  for (uintptr_t value = 4; value <= kLastProbedHandle; value += 4) {
    HANDLE handle = reinterpret_cast<HANDLE>(value);
    if (self) {
      DWORD flags = 0;
      if (GetHandleInformation(handle, &flags)) ++count;
      continue;
    }
    ScopedHandle copy;
    if (DuplicateHandle(process, handle, GetCurrentProcess(), copy.receive(), 0, FALSE,
                        DUPLICATE_SAME_ACCESS)) {
      ++count;
    }
  }
  return count;
}

bool threadIdsOf(uint32_t processId, std::vector<uint32_t>* ids) {
  ids->clear();
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot.isValid()) return false;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot.get(), &entry); more;
       more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == processId) ids->push_back(entry.th32ThreadID);
    entry.dwSize = sizeof(entry);
  }
  return true;
}

bool readProcessFigures(HANDLE process, uint32_t processId, ProcessFigures* figures) {
  *figures = ProcessFigures();
  DWORD handles = 0;
  if (GetProcessHandleCount(process, &handles)) figures->handleCount = handles;
  figures->probedHandleCount = probeHandleCount(process);

  std::vector<uint32_t> threads;
  if (!threadIdsOf(processId, &threads)) return false;
  figures->threadCount = static_cast<uint32_t>(threads.size());

  PROCESS_MEMORY_COUNTERS_EX memory = {};
  memory.cb = sizeof(memory);
  if (!GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                            sizeof(memory))) {
    return false;
  }
  figures->privateBytes = memory.PrivateUsage;
  figures->workingSetBytes = memory.WorkingSetSize;
  figures->pagefileBytes = memory.PagefileUsage;
  figures->peakWorkingSetBytes = memory.PeakWorkingSetSize;
  figures->peakPagefileBytes = memory.PeakPagefileUsage;
  return true;
}

}  // namespace tavra
