// The snapshot of a crashed process, taken from outside while the process
// waits in its crash handler: the exception, the memory figures, every module
// and every thread. It keeps the process open so that the crash log writer
// can read more of its memory, and keeps what it learnt about which pages of
// that memory can be read (page_readability.h) until it is destroyed.
//
// A snapshot is created, captured, read and destroyed on the one thread that
// handles its crash; each crash has its own, and nothing in it is locked. The
// capture asks the regions of the threads' stacks through a worker thread of
// its own, each within a deadline, so that a process that ends mid-capture
// cannot hold it (region_queries.h); capture ends a worker that answered,
// and leaves one stuck in a query behind.
// Everything read from the crashed process is untrusted: every read is
// checked, the walks are bounded, and a process that ends mid-capture gives a
// failed or partial capture. Failures are logged to the reporter's diagnostic
// log. Which module files the capture opens is module_path.h. The test seams
// below are set before any capture runs.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_STATE_IMPL_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_STATE_IMPL_H_

#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <memory>
#include <string>

#include "desktop/windows/crash_reporter/crash_data/page_readability.h"
#include "desktop/windows/crash_reporter/crash_data/process_state.h"
#include "desktop/windows/crash_reporter/crash_data/region_queries.h"
#include "runtime/scoped_holder.h"
#include "runtime/seam.h"

namespace tavra {

class ProcessStateImpl : public ProcessState {
 public:
  // Calls of the module snapshot while it fails with ERROR_BAD_LENGTH (the
  // process's module list changed while it was read).
  static constexpr uint32_t kModuleSnapshotAttempts = 10;
  // Bounds on what the capture keeps, far above what a sane process has, so
  // that a hostile one cannot make the reporter run out of memory or time.
  static constexpr uint32_t kMaxModules = 2048;
  static constexpr uint32_t kMaxThreads = 4096;

  // Empty: no process, no modules or threads, every number 0.
  ProcessStateImpl();
  // Deletes every module and thread and closes the process.
  ~ProcessStateImpl() override;
  ProcessStateImpl(const ProcessStateImpl&) = delete;
  ProcessStateImpl& operator=(const ProcessStateImpl&) = delete;

  // Captures the process `processId`. `exceptionPointersAddress` is the
  // address, in that process, of a word holding the address of its
  // EXCEPTION_POINTERS record (an address of the process's width, as are the
  // record's two pointers); `threadIdAddress` that of a 32-bit word holding
  // the crashing thread's id. False when the process cannot be opened, when
  // memory runs out, or when the exception or its context cannot be read
  // whole; the snapshot then holds what was captured so far and is only good
  // for destruction. Call once.
  bool capture(uint32_t processId, TargetAddress exceptionPointersAddress,
               TargetAddress threadIdAddress);

  // Memory figures in bytes; 0 when not available. 64 bits wide in both
  // widths: a 64-bit process may use more than 4 GiB.
  uint64_t workingSetSize() const { return workingSetSize_; }
  uint64_t peakWorkingSetSize() const { return peakWorkingSetSize_; }
  uint64_t privateUsage() const { return privateUsage_; }
  // The system calls that `isReadable` has made so far.
  uint32_t readabilityCalls() const;

  // Asked of the process once per page for the snapshot's life
  // (page_readability.h).
  bool isReadable(TargetAddress address) const override;
  uint32_t exceptionCode() const override;
  // The snapshot has no names for exception codes: always null.
  const char* exceptionName() const override;
  TargetAddress exceptionAddress() const override;
  const ThreadList& threads() const override;
  const ModuleInfo* mainModule() const override;
  const ModuleList& modules() const override;
  std::unique_ptr<MemoryReader> createMemoryReader() const override;

 private:
  void captureMemoryFigures();
  // False only when memory runs out.
  bool captureModules(uint32_t processId, const std::wstring& imagePath);
  bool captureException(TargetAddress exceptionPointersAddress, CONTEXT* context);
  void captureOtherThreads(uint32_t processId, uint32_t crashedThreadId, RegionQueries* regions);
  // True when exactly `size` bytes were read.
  bool readExactly(TargetAddress address, void* out, uint32_t size) const;

  ScopedHandle process_;
  const ModuleInfo* mainModule_ = nullptr;
  ModuleList modules_;
  ThreadList threads_;
  uint32_t exceptionCode_ = 0;
  TargetAddress exceptionAddress_ = 0;
  uint64_t workingSetSize_ = 0;
  uint64_t peakWorkingSetSize_ = 0;
  uint64_t privateUsage_ = 0;
  // The answers of `isReadable`, one question to the process per page; made
  // at the first question. Calls made without it (no memory) are counted
  // here.
  mutable std::unique_ptr<PageReadability> readability_;
  mutable uint32_t uncachedReadabilityCalls_ = 0;
};

// Test seams; null restores the real system call.
using CreateToolhelpSnapshotFunction = HANDLE(WINAPI*)(DWORD flags, DWORD processId);
extern Seam<CreateToolhelpSnapshotFunction> createToolhelpSnapshotSeam;
using GetProcessMemoryInfoFunction = BOOL(WINAPI*)(HANDLE process,
                                                   PROCESS_MEMORY_COUNTERS* counters, DWORD size);
extern Seam<GetProcessMemoryInfoFunction> getProcessMemoryInfoSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_STATE_IMPL_H_
