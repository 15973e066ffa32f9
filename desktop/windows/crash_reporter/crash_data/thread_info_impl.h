// Captures one thread of a crashed process: registers, priority and how much
// stack lies above its stack pointer.
//
// Runs on the thread that handles the crash; an object belongs to the
// snapshot that made it and is filled once. The stack's region is asked of
// the process through the capture's RegionQueries, on its worker thread
// within a deadline (region_queries.h). Failures are logged to the
// reporter's diagnostic log.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_INFO_IMPL_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_INFO_IMPL_H_

#include <windows.h>

#include <cstdint>

#include "desktop/windows/crash_reporter/crash_data/region_queries.h"
#include "desktop/windows/crash_reporter/crash_data/thread_info.h"

namespace tavra {

// The thread context of the reporter's own width (x86 or x86-64), as the
// crashed client saved it and as the system hands it out.
#if defined(_WIN64)
static_assert(sizeof(CONTEXT) == 1232, "the reporter reads the x86-64 context");
#else
static_assert(sizeof(CONTEXT) == 716, "the reporter reads the 32-bit x86 context");
#endif

class ThreadInfoImpl : public ThreadInfo {
 public:
  // Every other field starts at 0.
  ThreadInfoImpl(uint32_t threadId, bool crashed);
  ~ThreadInfoImpl() override;

  // The crashed thread: registers from the context that the client saved,
  // the priority when the thread can still be opened and is a thread of
  // `process` (else 0), and the stack measured at the context's stack
  // pointer through `regions`, the queries of `process`. Always true.
  bool captureFromContext(HANDLE process, const CONTEXT& context, RegionQueries* regions);
  // Any other thread, from its current context. False when the thread cannot
  // be opened, when its id now names a thread of another process than
  // `process` (logged at INFO), or when its context cannot be read.
  bool captureLive(HANDLE process, RegionQueries* regions);

  // Bytes from `stackPointer` to the end of the committed, private,
  // read-write region that holds it, asked through `regions`; 0 (logged)
  // when the region cannot be queried, no answer comes in time, or it is of
  // any other kind. A distance past 32 bits (no stack is that large) gives
  // UINT32_MAX.
  static uint32_t measureStack(RegionQueries* regions, TargetAddress stackPointer);

  uint32_t threadId() const override;
  int32_t priority() const override;
  const RegisterSet& registers() const override;
  uint32_t stackSize() const override;
  bool isCrashed() const override;

 private:
  uint32_t threadId_;
  int32_t priority_ = 0;
  uint32_t stackSize_ = 0;
  bool crashed_;
  RegisterSet registers_ = {};
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_INFO_IMPL_H_
