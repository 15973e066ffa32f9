#include "testing/test_client/crash_trigger.h"

#include <intrin.h>

#include "testing/test_client/deep_crash.h"
#include "testing/test_client/nested_crash.h"

namespace tavra {
namespace {

// Keeps the compiler from proving anything about the crashing code.
volatile uint32_t divisor = 0;
volatile bool keepRecursing = true;

#if defined(_WIN64)
// A 64-bit system's exception dispatch takes more stack than the last page
// that a stack overflow leaves, and some systems keep no more back for it:
// the process would end before its crash handler ran. So the recursion ends
// in one frame far larger than what is left: its stack probe overflows the
// stack while the stack pointer still has room below it for the handler.
constexpr size_t kRoomForTheHandler = 256 * 1024;
constexpr size_t kLastFrameBytes = 1024 * 1024;

// The bytes of the stack's reservation below `here`.
size_t stackLeftBelow(const volatile void* here) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(const_cast<const void*>(here), &region, sizeof(region)) != sizeof(region)) {
    return 0;
  }
  return reinterpret_cast<uintptr_t>(here) - reinterpret_cast<uintptr_t>(region.AllocationBase);
}

__attribute__((noinline)) uint32_t overflowInOneFrame(volatile uint8_t* previous) {
  volatile uint8_t frame[kLastFrameBytes];
  frame[0] = static_cast<uint8_t>(previous[0] + 1);
  return frame[0] + frame[kLastFrameBytes - 1];
}
#endif

__attribute__((noinline)) uint32_t recurse(volatile uint8_t* previous) {
  volatile uint8_t frame[4096];
  frame[0] = static_cast<uint8_t>(previous[0] + 1);
  if (!keepRecursing) return frame[0];
#if defined(_WIN64)
  if (stackLeftBelow(frame) < kRoomForTheHandler) return overflowInOneFrame(frame) + frame[1];
#endif
  // Used after the call, so that the call is no tail call.
  return recurse(frame) + frame[1];
}

// The line is built here rather than on the crashing thread's stack.
char crashLine[512];

char* putText(char* out, const char* text) {
  while (*text != 0) *out++ = *text++;
  return out;
}

char* putHex(char* out, const char* label, uint64_t value, int digits = 8) {
  out = putText(out, label);
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    *out++ = "0123456789ABCDEF"[(value >> shift) & 0xF];
  }
  return out;
}

// An address or a general register: as many digits as the process's width.
char* putWord(char* out, const char* label, uint64_t value) {
  return putHex(out, label, value, static_cast<int>(2 * sizeof(void*)));
}

}  // namespace

bool parseCrashKind(const std::string& name, CrashKind* kind) {
  static const struct {
    const char* name;
    CrashKind kind;
  } kKinds[] = {
      {"read", CrashKind::ReadViolation},
      {"write", CrashKind::WriteViolation},
      {"divide", CrashKind::IntegerDivideByZero},
      {"breakpoint", CrashKind::Breakpoint},
      {"raise", CrashKind::RaisedException},
      {"stack-overflow", CrashKind::StackOverflow},
      {"nested", CrashKind::Nested},
      {"deep", CrashKind::Deep},
  };
  for (const auto& entry : kKinds) {
    if (name == entry.name) {
      *kind = entry.kind;
      return true;
    }
  }
  return false;
}

void triggerCrash(CrashKind kind, uintptr_t argument) {
  switch (kind) {
    case CrashKind::ReadViolation: {
      volatile uint32_t* address = reinterpret_cast<volatile uint32_t*>(argument);
      divisor = *address;
      break;
    }
    case CrashKind::WriteViolation:
      *reinterpret_cast<volatile uint32_t*>(argument) = 0x5a5a5a5a;
      break;
    case CrashKind::IntegerDivideByZero:
      divisor = 1000 / divisor;
      break;
    case CrashKind::Breakpoint:
      __debugbreak();
      break;
    case CrashKind::RaisedException:
      RaiseException(static_cast<DWORD>(argument), 0, 0, nullptr);
      break;
    case CrashKind::StackOverflow: {
      volatile uint8_t start[1] = {0};
      divisor = recurse(start);
      break;
    }
    case CrashKind::Nested:
      divisor = nestedCrashOuter(argument);
      break;
    case CrashKind::Deep:
      divisor = deepCrashOuter(argument);
      break;
  }
}

void writeCrashLine(void*, const EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  const CONTEXT* context = pointers->ContextRecord;
  char* out = crashLine;
  out = putHex(out, "crash code=", record->ExceptionCode);
  out = putWord(out, " address=", reinterpret_cast<uintptr_t>(record->ExceptionAddress));
#if defined(_WIN64)
  out = putWord(out, " rax=", context->Rax);
  out = putWord(out, " rbx=", context->Rbx);
  out = putWord(out, " rcx=", context->Rcx);
  out = putWord(out, " rdx=", context->Rdx);
  out = putWord(out, " rsi=", context->Rsi);
  out = putWord(out, " rdi=", context->Rdi);
  out = putWord(out, " rbp=", context->Rbp);
  out = putWord(out, " rsp=", context->Rsp);
  out = putWord(out, " r8=", context->R8);
  out = putWord(out, " r9=", context->R9);
  out = putWord(out, " r10=", context->R10);
  out = putWord(out, " r11=", context->R11);
  out = putWord(out, " r12=", context->R12);
  out = putWord(out, " r13=", context->R13);
  out = putWord(out, " r14=", context->R14);
  out = putWord(out, " r15=", context->R15);
  out = putWord(out, " rip=", context->Rip);
#else
  out = putWord(out, " eax=", context->Eax);
  out = putWord(out, " ebx=", context->Ebx);
  out = putWord(out, " ecx=", context->Ecx);
  out = putWord(out, " edx=", context->Edx);
  out = putWord(out, " esi=", context->Esi);
  out = putWord(out, " edi=", context->Edi);
  out = putWord(out, " ebp=", context->Ebp);
  out = putWord(out, " esp=", context->Esp);
  out = putWord(out, " eip=", context->Eip);
#endif
  out = putHex(out, " eflags=", context->EFlags);
  out = putHex(out, " tid=", GetCurrentThreadId());
  *out++ = '\n';
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), crashLine, static_cast<DWORD>(out - crashLine),
            &written, nullptr);
}

}  // namespace tavra
