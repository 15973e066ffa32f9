#include "desktop/windows/crash_reporter/crash_data/thread_info_impl.h"

#include <cstring>

#include "runtime/logging.h"
#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

constexpr DWORD kThreadAccess = THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION;

#if defined(_WIN64)
// The control, integer, segment and floating-point registers of an x86-64
// thread.
constexpr DWORD kLiveContextFlags =
    CONTEXT_AMD64 | CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS | CONTEXT_FLOATING_POINT;
static_assert(kLiveContextFlags == 0x10000F, "context flags of a live thread");
static_assert(sizeof(MEMORY_BASIC_INFORMATION) == 48, "the 64-bit memory information record");
// The x87 registers, each in a 16-byte slot of which the first 10 bytes hold
// it.
constexpr size_t kX87RegisterCount = 8;
constexpr size_t kX87RegisterBytes = 10;
static_assert(sizeof(RegisterSet::fpuRegisters) == kX87RegisterCount * kX87RegisterBytes,
              "ST0 to ST7, 10 bytes each");
static_assert(sizeof(XMM_SAVE_AREA32::FloatRegisters) == kX87RegisterCount * sizeof(M128A),
              "ST0 to ST7 in 16-byte slots");

void copyRegisters(const CONTEXT& context, RegisterSet* registers) {
  registers->rax = context.Rax;
  registers->rbx = context.Rbx;
  registers->rcx = context.Rcx;
  registers->rdx = context.Rdx;
  registers->rsi = context.Rsi;
  registers->rdi = context.Rdi;
  registers->rbp = context.Rbp;
  registers->rsp = context.Rsp;
  registers->r8 = context.R8;
  registers->r9 = context.R9;
  registers->r10 = context.R10;
  registers->r11 = context.R11;
  registers->r12 = context.R12;
  registers->r13 = context.R13;
  registers->r14 = context.R14;
  registers->r15 = context.R15;
  registers->rip = context.Rip;
  registers->eflags = context.EFlags;
  registers->cs = context.SegCs;
  registers->ds = context.SegDs;
  registers->ss = context.SegSs;
  registers->es = context.SegEs;
  registers->fs = context.SegFs;
  registers->gs = context.SegGs;
  for (size_t i = 0; i < kX87RegisterCount; ++i) {
    std::memcpy(registers->fpuRegisters + i * kX87RegisterBytes, &context.FltSave.FloatRegisters[i],
                kX87RegisterBytes);
  }
  registers->fpuStatusWord = context.FltSave.StatusWord;
  registers->fpuControlWord = context.FltSave.ControlWord;
}

TargetAddress contextStackPointer(const CONTEXT& context) { return context.Rsp; }
#else
// The control, integer, segment and x87 registers of a 32-bit thread.
constexpr DWORD kLiveContextFlags =
    CONTEXT_i386 | CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS | CONTEXT_FLOATING_POINT;
static_assert(kLiveContextFlags == 0x1000F, "context flags of a live thread");
static_assert(sizeof(MEMORY_BASIC_INFORMATION) == 28, "the 32-bit memory information record");
static_assert(sizeof(RegisterSet::fpuRegisters) == sizeof(FLOATING_SAVE_AREA::RegisterArea),
              "ST0 to ST7 as the context stores them");

void copyRegisters(const CONTEXT& context, RegisterSet* registers) {
  registers->eax = context.Eax;
  registers->ebx = context.Ebx;
  registers->ecx = context.Ecx;
  registers->edx = context.Edx;
  registers->esi = context.Esi;
  registers->edi = context.Edi;
  registers->ebp = context.Ebp;
  registers->esp = context.Esp;
  registers->eip = context.Eip;
  registers->eflags = context.EFlags;
  registers->cs = context.SegCs;
  registers->ds = context.SegDs;
  registers->ss = context.SegSs;
  registers->es = context.SegEs;
  registers->fs = context.SegFs;
  registers->gs = context.SegGs;
  std::memcpy(registers->fpuRegisters, context.FloatSave.RegisterArea,
              sizeof(registers->fpuRegisters));
  registers->fpuStatusWord = context.FloatSave.StatusWord;
  registers->fpuControlWord = context.FloatSave.ControlWord;
}

TargetAddress contextStackPointer(const CONTEXT& context) { return context.Esp; }
#endif

HANDLE openThread(uint32_t threadId) {
  HANDLE thread = OpenThread(kThreadAccess, FALSE, threadId);
  if (thread == nullptr) TAVRA_PLOG(ERROR) << "OpenThread failed";
  return thread;
}

int32_t readPriority(HANDLE thread) {
  const int priority = GetThreadPriority(thread);
  if (priority == THREAD_PRIORITY_ERROR_RETURN) {
    TAVRA_PLOG(ERROR) << "GetThreadPriority failed";
    return 0;
  }
  return priority;
}

// Whether `thread`, opened by the id of a thread of the snapshot's process,
// is still one of its threads: once that thread has ended, the system may give
// its id to a thread of any other process, whose registers have no place in
// this report.
bool belongsToProcess(HANDLE thread, uint32_t threadId, HANDLE process) {
  const DWORD owner = GetProcessIdOfThread(thread);
  if (owner == 0) {
    TAVRA_PLOG(ERROR) << "GetProcessIdOfThread failed";
    return false;
  }
  const DWORD processId = GetProcessId(process);
  if (processId == 0) {
    TAVRA_PLOG(ERROR) << "GetProcessId failed";
    return false;
  }
  if (owner != processId) {
    TAVRA_LOG(INFO) << "Thread " << threadId << " belongs to process " << owner << ", not "
                    << processId;
    return false;
  }
  return true;
}

}  // namespace

ThreadInfoImpl::ThreadInfoImpl(uint32_t threadId, bool crashed)
    : threadId_(threadId), crashed_(crashed) {}

ThreadInfoImpl::~ThreadInfoImpl() = default;

bool ThreadInfoImpl::captureFromContext(HANDLE process, const CONTEXT& context,
                                        RegionQueries* regions) {
  copyRegisters(context, &registers_);
  // The crashed thread may be gone already; its saved context still holds.
  ScopedHandle thread(openThread(threadId_));
  priority_ = thread.isValid() && belongsToProcess(thread.get(), threadId_, process)
                  ? readPriority(thread.get())
                  : 0;
  stackSize_ = measureStack(regions, contextStackPointer(context));
  return true;
}

bool ThreadInfoImpl::captureLive(HANDLE process, RegionQueries* regions) {
  ScopedHandle thread(openThread(threadId_));
  if (!thread.isValid() || !belongsToProcess(thread.get(), threadId_, process)) return false;
  CONTEXT context;
  std::memset(&context, 0, sizeof(context));
  context.ContextFlags = kLiveContextFlags;
  if (!GetThreadContext(thread.get(), &context)) {
    TAVRA_PLOG(ERROR) << "GetThreadContext failed";
    return false;
  }
  copyRegisters(context, &registers_);
  priority_ = readPriority(thread.get());
  stackSize_ = measureStack(regions, contextStackPointer(context));
  return true;
}

uint32_t ThreadInfoImpl::measureStack(RegionQueries* regions, TargetAddress stackPointer) {
  MEMORY_BASIC_INFORMATION region;
  std::memset(&region, 0, sizeof(region));
  SIZE_T result = 0;
  // No answer in time: already logged.
  if (!regions->query(stackPointer, &region, &result)) return 0;
  if (result != sizeof(region)) {
    TAVRA_PLOG(ERROR) << "VirtualQueryEx failed, result=" << result
                      << ", expected=" << sizeof(region);
    return 0;
  }
  // 64 bits: a region that ends at the top of the address space must not
  // wrap around to 0.
  const uint64_t base = reinterpret_cast<uintptr_t>(region.BaseAddress);
  const uint64_t end = base + region.RegionSize;
  if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE &&
      region.Protect == PAGE_READWRITE && base <= stackPointer && end >= stackPointer) {
    const uint64_t size = end - stackPointer;
    return size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
  }
  TAVRA_LOG(ERROR) << "Sanity checks failed, state=" << region.State << ", type=" << region.Type
                   << ", protect=" << region.Protect << ", sp=" << stackPointer << ", base=" << base
                   << ", size=" << region.RegionSize;
  return 0;
}

uint32_t ThreadInfoImpl::threadId() const { return threadId_; }
int32_t ThreadInfoImpl::priority() const { return priority_; }
const RegisterSet& ThreadInfoImpl::registers() const { return registers_; }
uint32_t ThreadInfoImpl::stackSize() const { return stackSize_; }
bool ThreadInfoImpl::isCrashed() const { return crashed_; }

}  // namespace tavra
