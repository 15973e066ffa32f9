// The register block of a thread section of the crash log: the general
// registers, flags and segment registers of the reporter's own width (x86:
// EAX to EIP with 8 digits; x86-64: RAX to R15 and RIP with 16), then the
// x87 stack, the same in both.
//
// This is the one place where the log's register layout depends on the
// width; the registers that the writer checks for pointers are
// checkedRegisters() of crash_data/thread_info.h.
//
// Threads: a pure function of its arguments.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_REGISTER_BLOCK_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_REGISTER_BLOCK_H_

#include <stddef.h>
#include <stdint.h>

#include "desktop/windows/crash_reporter/crash_data/thread_info.h"

namespace tavra {

// Formats the block, from its leading blank line to the line end after the
// FPU control word, into `text` of `capacity` bytes. Returns what snprintf
// returns: the length, or negative or at least `capacity` when it failed or
// was cut.
int formatRegisterBlock(char* text, size_t capacity, uint32_t threadId,
                        const RegisterSet& registers);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_REGISTER_BLOCK_H_
