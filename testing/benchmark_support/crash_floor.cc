#include "testing/benchmark_support/crash_floor.h"

#include <windows.h>

#include <algorithm>

#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

constexpr uint32_t kStackRead = 8192;

uint64_t readMemory(HANDLE process, uint32_t address, uint32_t size, std::vector<uint8_t>* buffer) {
  if (buffer->size() < size) buffer->resize(size);
  SIZE_T read = 0;
  ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                    buffer->data(), size, &read);
  return read;
}

}  // namespace

uint64_t crashLogFloor(uint32_t processId, const std::vector<uint32_t>& stackPointers,
                       const std::vector<AddressRange>& ranges, uint64_t logSize,
                       const std::wstring& scratchFile) {
  ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  std::vector<uint8_t> buffer;
  uint64_t bytesRead = 0;
  for (uint32_t stackPointer : stackPointers) {
    MEMORY_BASIC_INFORMATION region = {};
    const void* at = reinterpret_cast<const void*>(static_cast<uintptr_t>(stackPointer & ~3u));
    if (VirtualQueryEx(process.get(), at, &region, sizeof(region)) == 0) continue;
    const uintptr_t end = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    const uint32_t size = static_cast<uint32_t>(
        std::min<uintptr_t>(kStackRead, end - reinterpret_cast<uintptr_t>(at)));
    bytesRead += readMemory(process.get(), stackPointer & ~3u, size, &buffer);
  }
  for (const AddressRange& range : ranges) {
    bytesRead += readMemory(process.get(), range.first, range.second - range.first, &buffer);
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
