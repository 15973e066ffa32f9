#include "testing/test_client/crash_trigger.h"

#include <intrin.h>

#include "testing/test_client/deep_crash.h"
#include "testing/test_client/nested_crash.h"

namespace tavra {
namespace {

// Keeps the compiler from proving anything about the crashing code.
volatile uint32_t divisor = 0;
volatile bool keepRecursing = true;

__attribute__((noinline)) uint32_t recurse(volatile uint8_t* previous) {
  volatile uint8_t frame[4096];
  frame[0] = static_cast<uint8_t>(previous[0] + 1);
  if (!keepRecursing) return frame[0];
  // Used after the call, so that the call is no tail call.
  return recurse(frame) + frame[1];
}

// The line is built here rather than on the crashing thread's stack.
char crashLine[256];

char* putText(char* out, const char* text) {
  while (*text != 0) *out++ = *text++;
  return out;
}

char* putHex(char* out, const char* label, uint32_t value) {
  out = putText(out, label);
  for (int shift = 28; shift >= 0; shift -= 4) {
    *out++ = "0123456789ABCDEF"[(value >> shift) & 0xF];
  }
  return out;
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

void triggerCrash(CrashKind kind, uint32_t argument) {
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
      RaiseException(argument, 0, 0, nullptr);
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
  out = putHex(out, " address=",
               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record->ExceptionAddress)));
  out = putHex(out, " eax=", context->Eax);
  out = putHex(out, " ebx=", context->Ebx);
  out = putHex(out, " ecx=", context->Ecx);
  out = putHex(out, " edx=", context->Edx);
  out = putHex(out, " esi=", context->Esi);
  out = putHex(out, " edi=", context->Edi);
  out = putHex(out, " ebp=", context->Ebp);
  out = putHex(out, " esp=", context->Esp);
  out = putHex(out, " eip=", context->Eip);
  out = putHex(out, " eflags=", context->EFlags);
  out = putHex(out, " tid=", GetCurrentThreadId());
  *out++ = '\n';
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), crashLine, static_cast<DWORD>(out - crashLine),
            &written, nullptr);
}

}  // namespace tavra
