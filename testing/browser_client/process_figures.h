// Resource figures of a process, and its threads, as seen from outside it.
// Plain functions: any thread.
#ifndef TESTING_BROWSER_CLIENT_PROCESS_FIGURES_H_
#define TESTING_BROWSER_CLIENT_PROCESS_FIGURES_H_

#include <windows.h>

#include <cstdint>
#include <vector>

namespace tavra {

struct ProcessFigures {
  // GetProcessHandleCount; some systems report 0 for every process.
  uint32_t handleCount = 0;
  // Handles found by trying every handle value in turn: the count that does
  // not depend on GetProcessHandleCount.
  uint32_t probedHandleCount = 0;
  // Threads of the process in a tool-help snapshot.
  uint32_t threadCount = 0;
  // GetProcessMemoryInfo: private bytes, working set, and the virtual size as
  // the system tracks it.
  uint64_t privateBytes = 0;
  uint64_t workingSetBytes = 0;
  uint64_t pagefileBytes = 0;
  // The highest working set and virtual size since the process started.
  uint64_t peakWorkingSetBytes = 0;
  uint64_t peakPagefileBytes = 0;
};

// `process` needs PROCESS_QUERY_INFORMATION, PROCESS_VM_READ and, for the
// probed handle count of another process, PROCESS_DUP_HANDLE.
bool readProcessFigures(HANDLE process, uint32_t processId, ProcessFigures* figures);

// Open handles of `process` (the current one or another), by probing.
uint32_t probeHandleCount(HANDLE process);

// The ids of the threads of process `processId` (this one or another), from
// a tool-help thread snapshot; false when there is no snapshot.
bool threadIdsOf(uint32_t processId, std::vector<uint32_t>* ids);

}  // namespace tavra

#endif  // TESTING_BROWSER_CLIENT_PROCESS_FIGURES_H_
