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

uint32_t garbageBlockAddress() {
  static const bool filled = (fillGarbage(), true);
  (void)filled;
  return addressWord(garbage);
}

VanishingException::~VanishingException() { release(); }

bool VanishingException::create(uint32_t exceptionCode) {
  release();
  region_ = VirtualAlloc(nullptr, kRegionBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  if (region_ == nullptr) return false;
  uint8_t* base = static_cast<uint8_t*>(region_);
  const uint32_t start = addressWord(base);
  // Every word points somewhere else in the region.
  uint32_t* words = reinterpret_cast<uint32_t*>(base);
  for (size_t i = 0; i < kRegionBytes / 4; ++i) {
    words[i] = start + static_cast<uint32_t>((i * 4096 + 64) % kRegionBytes);
  }
  RegionHead* head = reinterpret_cast<RegionHead*>(base);
  std::memset(head, 0, sizeof(*head));
  head->record.ExceptionCode = exceptionCode;
  head->record.ExceptionAddress = base + 0x100;
  RtlCaptureContext(&head->context);
  const uint32_t middle = start + kRegionBytes / 2;
  head->context.Esp = middle;
  head->context.Ebp = middle + 64;
  head->context.Eip = start + 0x100;
  head->context.Eax = start + 0x1000;
  head->context.Ebx = start + 0x2000;
  head->context.Ecx = start + 0x3000;
  head->context.Edx = start + 0x4000;
  head->context.Esi = start + 0x5000;
  head->context.Edi = start + 0x6000;
  head->pointers.ExceptionRecord = &head->record;
  head->pointers.ContextRecord = &head->context;
  return true;
}

uint32_t VanishingException::pointersAddress() const { return addressWord(region_); }

void VanishingException::release() {
  if (region_ == nullptr) return;
  VirtualFree(region_, 0, MEM_RELEASE);
  region_ = nullptr;
}

}  // namespace tavra
