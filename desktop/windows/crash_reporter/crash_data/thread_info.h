// One thread of a crashed process, as the crash log sees it.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_INFO_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_INFO_H_

#include <cstddef>
#include <cstdint>

#include "runtime/target_width.h"

namespace tavra {

#if defined(_WIN64)
// The registers of one x86-64 thread, in the order in which the crash log
// prints them. The x87 area holds ST0 to ST7, 10 bytes each, taken from the
// 16-byte slots of the context's floating-point save area.
struct RegisterSet {
  uint64_t rax;
  uint64_t rbx;
  uint64_t rcx;
  uint64_t rdx;
  uint64_t rsi;
  uint64_t rdi;
  uint64_t rbp;
  uint64_t rsp;
  uint64_t r8;
  uint64_t r9;
  uint64_t r10;
  uint64_t r11;
  uint64_t r12;
  uint64_t r13;
  uint64_t r14;
  uint64_t r15;
  uint64_t rip;
  uint32_t eflags;
  uint32_t cs;
  uint32_t ds;
  uint32_t ss;
  uint32_t es;
  uint32_t fs;
  uint32_t gs;
  uint8_t fpuRegisters[80];
  uint32_t fpuStatusWord;
  uint32_t fpuControlWord;
};
#else
// The registers of one x86 thread, in the order in which the crash log prints
// them. The x87 area holds ST0 to ST7, 10 bytes each, as the thread context's
// floating-point save area stores them.
struct RegisterSet {
  uint32_t eax;
  uint32_t ebx;
  uint32_t ecx;
  uint32_t edx;
  uint32_t esi;
  uint32_t edi;
  uint32_t ebp;
  uint32_t esp;
  uint32_t eip;
  uint32_t eflags;
  uint32_t cs;
  uint32_t ds;
  uint32_t ss;
  uint32_t es;
  uint32_t fs;
  uint32_t gs;
  uint8_t fpuRegisters[80];
  uint32_t fpuStatusWord;
  uint32_t fpuControlWord;
};

static_assert(offsetof(RegisterSet, fpuRegisters) == 64, "sixteen 32-bit registers first");
static_assert(sizeof(RegisterSet) == 152, "RegisterSet layout");
#endif

// The registers whose values the crash log checks for pointers, in the order
// it checks them: the general registers, the stack and frame pointers and
// the instruction pointer.
#if defined(_WIN64)
constexpr unsigned kCheckedRegisterCount = 17;
#else
constexpr unsigned kCheckedRegisterCount = 9;
#endif
inline void checkedRegisters(const RegisterSet& registers,
                             TargetAddress values[kCheckedRegisterCount]) {
#if defined(_WIN64)
  const TargetAddress all[kCheckedRegisterCount] = {
      registers.rax, registers.rbx, registers.rcx, registers.rdx, registers.rsi, registers.rdi,
      registers.rbp, registers.rsp, registers.r8,  registers.r9,  registers.r10, registers.r11,
      registers.r12, registers.r13, registers.r14, registers.r15, registers.rip};
#else
  const TargetAddress all[kCheckedRegisterCount] = {registers.eax, registers.ebx, registers.ecx,
                                                    registers.edx, registers.esi, registers.edi,
                                                    registers.ebp, registers.esp, registers.eip};
#endif
  for (unsigned i = 0; i < kCheckedRegisterCount; ++i) values[i] = all[i];
}

#if defined(_WIN64)
inline TargetAddress instructionPointer(const RegisterSet& registers) { return registers.rip; }
inline TargetAddress stackPointer(const RegisterSet& registers) { return registers.rsp; }
inline TargetAddress framePointer(const RegisterSet& registers) { return registers.rbp; }
#else
inline TargetAddress instructionPointer(const RegisterSet& registers) { return registers.eip; }
inline TargetAddress stackPointer(const RegisterSet& registers) { return registers.esp; }
inline TargetAddress framePointer(const RegisterSet& registers) { return registers.ebp; }
#endif

// Read-only view of one captured thread. The slot order is fixed: the crash
// log writer and the snapshot agree on it.
class ThreadInfo {
 public:
  virtual ~ThreadInfo() = default;
  virtual uint32_t threadId() const = 0;
  // As the system reports it; 0 when it could not be read.
  virtual int32_t priority() const = 0;
  virtual const RegisterSet& registers() const = 0;
  // Bytes from the stack pointer to the end of its stack region; 0 when
  // unknown.
  virtual uint32_t stackSize() const = 0;
  virtual bool isCrashed() const = 0;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_INFO_H_
