#include "testing/benchmark_support/crash_floor.h"

#include <windows.h>

#include <algorithm>

#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

constexpr uint32_t kStackRead = 8192;

uint64_t readMemory(HANDLE process, TargetAddress address, uint32_t size,
                    std::vector<uint8_t>* buffer) {
  if (buffer->size() < size) buffer->resize(size);
  SIZE_T read = 0;
  ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                    buffer->data(), size, &read);
  return read;
}

}  // namespace

uint64_t crashLogFloor(uint32_t processId, const std::vector<TargetAddress>& stackPointers,
                       const std::vector<AddressRange>& ranges, uint64_t logSize,
                       const std::wstring& scratchFile) {
  ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  std::vector<uint8_t> buffer;
  uint64_t bytesRead = 0;
  // Stack words are as wide as an address.
  const TargetAddress wordMask = ~static_cast<TargetAddress>(sizeof(TargetAddress) - 1);
  for (TargetAddress stackPointer : stackPointers) {
    MEMORY_BASIC_INFORMATION region = {};
    const void* at = reinterpret_cast<const void*>(static_cast<uintptr_t>(stackPointer & wordMask));
    if (VirtualQueryEx(process.get(), at, &region, sizeof(region)) == 0) continue;
    const uintptr_t end = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    const uint32_t size = static_cast<uint32_t>(
        std::min<uintptr_t>(kStackRead, end - reinterpret_cast<uintptr_t>(at)));
    bytesRead += readMemory(process.get(), stackPointer & wordMask, size, &buffer);
  }
  for (const AddressRange& range : ranges) {
    bytesRead += readMemory(process.get(), range.first,
                            static_cast<uint32_t>(range.second - range.first), &buffer);
  }
  const std::string text(static_cast<size_t>(logSize), 'x');
  ScopedHandle file(CreateFileW(scratchFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (file.isValid()) {
    WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
  file.reset();
  DeleteFileW(scratchFile.c_str());
  return bytesRead;
}

}  // namespace tavra
