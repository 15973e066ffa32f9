#include "desktop/windows/crash_reporter/logs/register_block.h"

#include <stdio.h>

#include "desktop/windows/crash_reporter/logs/stack_extent.h"

namespace tavra {
namespace {

uint16_t halfWordAt(const uint8_t* data, uint32_t offset) {
  return static_cast<uint16_t>(data[offset] | data[offset + 1] << 8);
}

// The general registers, flags and segment registers.
int formatGeneralRegisters(char* text, size_t capacity, uint32_t id, const RegisterSet& r) {
#if defined(_WIN64)
  using Wide = unsigned long long;
  return snprintf(text, capacity,
                  "\nRegisters: %08X\n"
                  "RAX=%016llX   RBX=%016llX   RCX=%016llX   RDX=%016llX\n"
                  "RSI=%016llX   RDI=%016llX   RBP=%016llX   RSP=%016llX\n"
                  "R8=%016llX    R9=%016llX    R10=%016llX   R11=%016llX\n"
                  "R12=%016llX   R13=%016llX   R14=%016llX   R15=%016llX\n"
                  "RIP=%016llX FLAGS=%08X\n"
                  "CS=%04X   DS=%04X   SS=%04X   ES=%04X   FS=%04X   GS=%04X\n",
                  id, Wide{r.rax}, Wide{r.rbx}, Wide{r.rcx}, Wide{r.rdx}, Wide{r.rsi}, Wide{r.rdi},
                  Wide{r.rbp}, Wide{r.rsp}, Wide{r.r8}, Wide{r.r9}, Wide{r.r10}, Wide{r.r11},
                  Wide{r.r12}, Wide{r.r13}, Wide{r.r14}, Wide{r.r15}, Wide{r.rip}, r.eflags, r.cs,
                  r.ds, r.ss, r.es, r.fs, r.gs);
#else
  return snprintf(text, capacity,
                  "\nRegisters: %08X\nEAX=%08X   EBX=%08X   ECX=%08X   EDX=%08X   ESI=%08X\n"
                  "EDI=%08X   EBP=%08X   ESP=%08X   EIP=%08X FLAGS=%08X\n"
                  "CS=%04X   DS=%04X   SS=%04X   ES=%04X   FS=%04X   GS=%04X\n",
                  id, r.eax, r.ebx, r.ecx, r.edx, r.esi, r.edi, r.ebp, r.esp, r.eip, r.eflags, r.cs,
                  r.ds, r.ss, r.es, r.fs, r.gs);
#endif
}

}  // namespace

int formatRegisterBlock(char* text, size_t capacity, uint32_t id, const RegisterSet& registers) {
  const int general = formatGeneralRegisters(text, capacity, id, registers);
  if (general < 0 || static_cast<size_t>(general) >= capacity) return general;
  // Each x87 register is printed most significant part first: the sign and
  // exponent word, then the high and the low half of the mantissa.
  const uint8_t* fpu = registers.fpuRegisters;
  auto exponent = [fpu](int k) -> unsigned { return halfWordAt(fpu, 10 * k + 8); };
  auto high = [fpu](int k) -> unsigned { return wordAt(fpu, 10 * k + 4); };
  auto low = [fpu](int k) -> unsigned { return wordAt(fpu, 10 * k); };
  const int x87 =
      snprintf(text + general, capacity - static_cast<size_t>(general),
               "\nFPU stack: %08X\n"
               "%04X%08X%08X %04X%08X%08X %04X%08X%08X\n"
               "%04X%08X%08X %04X%08X%08X %04X%08X%08X\n"
               "%04X%08X%08X %04X%08X%08X SW=%04X CW=%04X\n",
               id, exponent(0), high(0), low(0), exponent(1), high(1), low(1), exponent(2), high(2),
               low(2), exponent(3), high(3), low(3), exponent(4), high(4), low(4), exponent(5),
               high(5), low(5), exponent(6), high(6), low(6), exponent(7), high(7), low(7),
               registers.fpuStatusWord & 0xFFFFu, registers.fpuControlWord & 0xFFFFu);
  if (x87 < 0) return x87;
  return general + x87;
}

}  // namespace tavra
