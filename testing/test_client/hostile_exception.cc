#include "testing/test_client/hostile_exception.h"

#include <windows.h>

#include <cstring>

#include "testing/browser_client/browser_client.h"

namespace tavra {
namespace {

constexpr size_t kGarbageBytes = 4096;
constexpr size_t kRegionBytes = 64 * 1024;

// The same bytes on every run, so that a failure can be replayed.
uint8_t garbage[kGarbageBytes];

void fillGarbage() {
  uint32_t state = 0x9e3779b9;
  for (size_t i = 0; i < kGarbageBytes; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    garbage[i] = static_cast<uint8_t>(state);
  }
}

// Layout of the region.
struct RegionHead {
  EXCEPTION_POINTERS pointers;
  EXCEPTION_RECORD record;
  CONTEXT context;
};

}  // namespace

ClientAddress garbageBlockAddress() {
  static const bool filled = (fillGarbage(), true);
  (void)filled;
  return clientAddress(garbage);
}

VanishingException::~VanishingException() { release(); }

bool VanishingException::create(uint32_t exceptionCode) {
  release();
  region_ = VirtualAlloc(nullptr, kRegionBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (region_ == nullptr) return false;
  uint8_t* base = static_cast<uint8_t*>(region_);
  const ClientAddress start = clientAddress(base);
  // Every word (of the process's width) points somewhere else in the region.
  ClientAddress* words = reinterpret_cast<ClientAddress*>(base);
  for (size_t i = 0; i < kRegionBytes / sizeof(ClientAddress); ++i) {
    words[i] = start + (i * 4096 + 64) % kRegionBytes;
  }
  RegionHead* head = reinterpret_cast<RegionHead*>(base);
  std::memset(head, 0, sizeof(*head));
  head->record.ExceptionCode = exceptionCode;
  head->record.ExceptionAddress = base + 0x100;
  RtlCaptureContext(&head->context);
  const ClientAddress middle = start + kRegionBytes / 2;
#if defined(_WIN64)
  head->context.Rsp = middle;
  head->context.Rbp = middle + 64;
  head->context.Rip = start + 0x100;
  head->context.Rax = start + 0x1000;
  head->context.Rbx = start + 0x2000;
  head->context.Rcx = start + 0x3000;
  head->context.Rdx = start + 0x4000;
  head->context.Rsi = start + 0x5000;
  head->context.Rdi = start + 0x6000;
  head->context.R8 = start + 0x7000;
  head->context.R9 = start + 0x8000;
  head->context.R10 = start + 0x9000;
  head->context.R11 = start + 0xA000;
  head->context.R12 = start + 0xB000;
  head->context.R13 = start + 0xC000;
  head->context.R14 = start + 0xD000;
  head->context.R15 = start + 0xE000;
#else
  head->context.Esp = middle;
  head->context.Ebp = middle + 64;
  head->context.Eip = start + 0x100;
  head->context.Eax = start + 0x1000;
  head->context.Ebx = start + 0x2000;
  head->context.Ecx = start + 0x3000;
  head->context.Edx = start + 0x4000;
  head->context.Esi = start + 0x5000;
  head->context.Edi = start + 0x6000;
#endif
  head->pointers.ExceptionRecord = &head->record;
  head->pointers.ContextRecord = &head->context;
  return true;
}

ClientAddress VanishingException::pointersAddress() const { return clientAddress(region_); }

void VanishingException::release() {
  if (region_ == nullptr) return;
  VirtualFree(region_, 0, MEM_RELEASE);
  region_ = nullptr;
}

}  // namespace tavra
