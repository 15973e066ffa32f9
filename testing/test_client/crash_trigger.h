// The ways in which the test client crashes for real, and the line that its
// crash handler prints about what it saw.
//
// Everything here runs on the thread that crashes. `writeCrashLine` runs inside
// the crash filter, possibly with little stack left: it formats into a static
// buffer and calls nothing but WriteFile, so only one crash may use it at a
// time (the crash handler lets only the first crashing thread through).
#ifndef TESTING_TEST_CLIENT_CRASH_TRIGGER_H_
#define TESTING_TEST_CLIENT_CRASH_TRIGGER_H_

#include <windows.h>

#include <cstdint>
#include <string>

namespace tavra {

enum class CrashKind {
  ReadViolation,   // reads 4 bytes at the argument
  WriteViolation,  // writes 4 bytes at the argument
  IntegerDivideByZero,
  Breakpoint,
  RaisedException,  // RaiseException with the argument as its code
  StackOverflow,
  Nested,  // writes 4 bytes at the argument three calls deep (nested_crash.h)
  Deep,    // the same without frame pointers, optimised (deep_crash.h)
};

// "read", "write", "divide", "breakpoint", "raise", "stack-overflow", "nested",
// "deep".
bool parseCrashKind(const std::string& name, CrashKind* kind);

// Crashes the calling thread. Returns only when something handled the
// exception, which nothing in the test client does.
void triggerCrash(CrashKind kind, uintptr_t argument);

// A crash observer: writes one line to standard output, from the exception
// record and the saved context, all on one line. In a 32-bit process:
//   crash code=C0000005 address=00401234 eax=... ebx=... ecx=... edx=...
//   esi=... edi=... ebp=... esp=... eip=... eflags=... tid=...
// every value eight hex digits. In a 64-bit process:
//   crash code=C0000005 address=... rax=... rbx=... rcx=... rdx=... rsi=...
//   rdi=... rbp=... rsp=... r8=... ... r15=... rip=... eflags=... tid=...
// the address and the registers sixteen hex digits, code, flags and thread
// id eight. `context` is not used.
void writeCrashLine(void* context, const EXCEPTION_POINTERS* pointers);

}  // namespace tavra

#endif  // TESTING_TEST_CLIENT_CRASH_TRIGGER_H_
