// One thread of a crashed process, as the crash log sees it.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_INFO_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_INFO_H_

#include <cstddef>
#include <cstdint>

namespace tavra {

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
