// Test support: thread contexts of the reporter's own width (x86 or x86-64)
// for the tests of the thread and process captures, so that one test source
// serves both widths.
//
// Functions only; usable on any thread.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_CONTEXT_TEST_SUPPORT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_CONTEXT_TEST_SUPPORT_H_

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "desktop/windows/crash_reporter/crash_data/thread_info.h"
#include "runtime/target_width.h"

namespace tavra {
namespace testing_support {

#if defined(_WIN64)
// CONTEXT_AMD64 with the control, integer, segment and floating-point parts.
constexpr DWORD kLiveContextFlags = 0x10000F;
#else
// CONTEXT_i386 with the control, integer, segment and floating-point parts.
constexpr DWORD kLiveContextFlags = 0x1000F;
#endif

inline TargetAddress addressOf(const void* pointer) {
  return static_cast<TargetAddress>(reinterpret_cast<uintptr_t>(pointer));
}

inline TargetAddress contextStackPointer(const CONTEXT& context) {
#if defined(_WIN64)
  return context.Rsp;
#else
  return context.Esp;
#endif
}

// The top of the calling thread's stack: StackBase of its thread information
// block.
inline TargetAddress currentStackBase() {
  TargetAddress base = 0;
#if defined(_WIN64)
  asm("movq %%gs:8, %0" : "=r"(base));
#else
  asm("movl %%fs:4, %0" : "=r"(base));
#endif
  return base;
}

// Expects every register of `registers` to be the one of `context`.
inline void expectRegistersFrom(const CONTEXT& context, const RegisterSet& registers) {
#if defined(_WIN64)
  EXPECT_EQ(context.Rax, registers.rax);
  EXPECT_EQ(context.Rbx, registers.rbx);
  EXPECT_EQ(context.Rcx, registers.rcx);
  EXPECT_EQ(context.Rdx, registers.rdx);
  EXPECT_EQ(context.Rsi, registers.rsi);
  EXPECT_EQ(context.Rdi, registers.rdi);
  EXPECT_EQ(context.Rbp, registers.rbp);
  EXPECT_EQ(context.Rsp, registers.rsp);
  EXPECT_EQ(context.R8, registers.r8);
  EXPECT_EQ(context.R9, registers.r9);
  EXPECT_EQ(context.R10, registers.r10);
  EXPECT_EQ(context.R11, registers.r11);
  EXPECT_EQ(context.R12, registers.r12);
  EXPECT_EQ(context.R13, registers.r13);
  EXPECT_EQ(context.R14, registers.r14);
  EXPECT_EQ(context.R15, registers.r15);
  EXPECT_EQ(context.Rip, registers.rip);
  // ST0 to ST7: the first 10 bytes of each 16-byte slot.
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(0,
              std::memcmp(&context.FltSave.FloatRegisters[i], registers.fpuRegisters + 10 * i, 10))
        << "ST" << i;
  }
  EXPECT_EQ(context.FltSave.StatusWord, registers.fpuStatusWord);
  EXPECT_EQ(context.FltSave.ControlWord, registers.fpuControlWord);
#else
  EXPECT_EQ(context.Eax, registers.eax);
  EXPECT_EQ(context.Ebx, registers.ebx);
  EXPECT_EQ(context.Ecx, registers.ecx);
  EXPECT_EQ(context.Edx, registers.edx);
  EXPECT_EQ(context.Esi, registers.esi);
  EXPECT_EQ(context.Edi, registers.edi);
  EXPECT_EQ(context.Ebp, registers.ebp);
  EXPECT_EQ(context.Esp, registers.esp);
  EXPECT_EQ(context.Eip, registers.eip);
  EXPECT_EQ(0, std::memcmp(context.FloatSave.RegisterArea, registers.fpuRegisters, 80));
  EXPECT_EQ(context.FloatSave.StatusWord, registers.fpuStatusWord);
  EXPECT_EQ(context.FloatSave.ControlWord, registers.fpuControlWord);
#endif
  EXPECT_EQ(context.EFlags, registers.eflags);
  EXPECT_EQ(context.SegCs, registers.cs);
  EXPECT_EQ(context.SegDs, registers.ds);
  EXPECT_EQ(context.SegSs, registers.ss);
  EXPECT_EQ(context.SegEs, registers.es);
  EXPECT_EQ(context.SegFs, registers.fs);
  EXPECT_EQ(context.SegGs, registers.gs);
}

// The first byte of ST0 in distinctContext; the later bytes of the x87
// registers count up from it.
constexpr uint8_t kFirstX87Byte = 1;

// Every register a different value (in x86-64, values above 4 GiB), the x87
// registers counting up from kFirstX87Byte through the 80 bytes that the
// capture keeps; in x86-64 the 6 spare bytes of each 16-byte slot are 0xEE,
// which the capture must leave out.
inline CONTEXT distinctContext(TargetAddress stackPointer) {
  CONTEXT context;
  std::memset(&context, 0, sizeof(context));
  context.ContextFlags = kLiveContextFlags;
#if defined(_WIN64)
  context.Rax = 0x1111111111111111ull;
  context.Rbx = 0x2222222222222222ull;
  context.Rcx = 0x3333333333333333ull;
  context.Rdx = 0x4444444444444444ull;
  context.Rsi = 0x5555555555555555ull;
  context.Rdi = 0x6666666666666666ull;
  context.Rbp = 0x7777777777777777ull;
  context.Rsp = stackPointer;
  context.R8 = 0x0808080808080808ull;
  context.R9 = 0x0909090909090909ull;
  context.R10 = 0x1010101010101010ull;
  context.R11 = 0x1111111100000011ull;
  context.R12 = 0x1212121200000012ull;
  context.R13 = 0x1313131300000013ull;
  context.R14 = 0x1414141400000014ull;
  context.R15 = 0x1515151500000015ull;
  context.Rip = 0x00007FF688888888ull;
  context.SegCs = 0x33;
  context.SegDs = 0x2b;
  context.SegSs = 0x2c;
  context.SegEs = 0x2d;
  context.SegFs = 0x53;
  context.SegGs = 0x2e;
  for (int i = 0; i < 8; ++i) {
    uint8_t* slot = reinterpret_cast<uint8_t*>(&context.FltSave.FloatRegisters[i]);
    for (int j = 0; j < 16; ++j) {
      slot[j] = j < 10 ? static_cast<uint8_t>(kFirstX87Byte + 10 * i + j) : 0xEE;
    }
  }
  context.FltSave.StatusWord = 0x3800;
  context.FltSave.ControlWord = 0x027F;
#else
  context.Eax = 0x11111111;
  context.Ebx = 0x22222222;
  context.Ecx = 0x33333333;
  context.Edx = 0x44444444;
  context.Esi = 0x55555555;
  context.Edi = 0x66666666;
  context.Ebp = 0x77777777;
  context.Esp = stackPointer;
  context.Eip = 0x88888888;
  context.SegCs = 0x23;
  context.SegDs = 0x2b;
  context.SegSs = 0x2c;
  context.SegEs = 0x2d;
  context.SegFs = 0x53;
  context.SegGs = 0x2e;
  for (int i = 0; i < 80; ++i) {
    context.FloatSave.RegisterArea[i] = static_cast<BYTE>(kFirstX87Byte + i);
  }
  context.FloatSave.StatusWord = 0xFFFF3800;
  context.FloatSave.ControlWord = 0xFFFF027F;
#endif
  context.EFlags = 0x00000246;
  return context;
}

// The status and control words that distinctContext gives, as the capture
// keeps them.
#if defined(_WIN64)
constexpr uint32_t kDistinctStatusWord = 0x3800;
constexpr uint32_t kDistinctControlWord = 0x027F;
#else
constexpr uint32_t kDistinctStatusWord = 0xFFFF3800;
constexpr uint32_t kDistinctControlWord = 0xFFFF027F;
#endif

}  // namespace testing_support
}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_THREAD_CONTEXT_TEST_SUPPORT_H_
