#include "testing/benchmark_support/capture_floor.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <string>

#include "desktop/windows/crash_reporter/crash_data/module_path.h"
#include "runtime/scoped_holder.h"

namespace tavra {
namespace {

bool readExactly(HANDLE process, TargetAddress address, void* out, SIZE_T size) {
  SIZE_T count = 0;
  return ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                           out, size, &count) &&
         count == size;
}

volatile uint32_t touchedSum = 0;

// The context of the reporter's own width, as the capture reads it.
#if defined(_WIN64)
constexpr DWORD kLiveContextFlags =
    CONTEXT_AMD64 | CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS | CONTEXT_FLOATING_POINT;
TargetAddress stackPointerOf(const CONTEXT& context) { return context.Rsp; }
#else
constexpr DWORD kLiveContextFlags =
    CONTEXT_i386 | CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS | CONTEXT_FLOATING_POINT;
TargetAddress stackPointerOf(const CONTEXT& context) { return context.Esp; }
#endif

}  // namespace

uint32_t moduleFilesFloor(uint32_t processId) {
  ScopedHandle modules(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
  MODULEENTRY32W module = {};
  module.dwSize = sizeof(module);
  uint32_t count = 0;
  for (BOOL more = modules.isValid() && Module32FirstW(modules.get(), &module); more;
       more = Module32NextW(modules.get(), &module)) {
    ++count;
    ScopedHandle file(CreateFileW(module.szExePath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.isValid()) continue;
    ScopedHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping.isValid()) continue;
    const ScopedMappedView view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view.isValid()) continue;
    const uint8_t* bytes = static_cast<const uint8_t*>(view.get());
    uint32_t sum = 0;
    for (size_t i = 0; i < 4096; i += 64) sum += bytes[i];
    touchedSum = touchedSum + sum;
  }
  return count;
}

FloorCounts captureFloor(uint32_t processId, TargetAddress pointersAddress,
                         TargetAddress threadIdAddress) {
  FloorCounts counts;
  ScopedHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  if (!process.isValid()) return counts;
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  GetProcessMemoryInfo(process.get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                       sizeof(counters));
  std::wstring imagePath;
  getProcessImagePath(process.get(), &imagePath);

  counts.modules = moduleFilesFloor(processId);

  // The records are those of the reporter's own width: the exception address
  // follows the code, the flags and the chained record's address.
  TargetAddress pointers = 0;
  TargetAddress records[2] = {};
  uint32_t code = 0;
  TargetAddress address = 0;
  const TargetAddress addressOffset = 8 + sizeof(TargetAddress);
  CONTEXT context;
  counts.exceptionRead =
      readExactly(process.get(), pointersAddress, &pointers, sizeof(pointers)) &&
      readExactly(process.get(), pointers, records, sizeof(records)) &&
      readExactly(process.get(), records[0], &code, 4) &&
      readExactly(process.get(), records[0] + addressOffset, &address, sizeof(address)) &&
      readExactly(process.get(), records[1], &context, sizeof(context));
  uint32_t crashedThreadId = 0;
  readExactly(process.get(), threadIdAddress, &crashedThreadId, 4);
  counts.threads = 1;
  if (counts.exceptionRead) counts.stackPointers.push_back(stackPointerOf(context));

  ScopedHandle threads(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, processId));
  THREADENTRY32 thread = {};
  thread.dwSize = sizeof(thread);
  for (BOOL more = threads.isValid() && Thread32First(threads.get(), &thread); more;
       thread.dwSize = sizeof(thread), more = Thread32Next(threads.get(), &thread)) {
    if (thread.th32OwnerProcessID != processId || thread.th32ThreadID == crashedThreadId) continue;
    ScopedHandle handle(
        OpenThread(THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, thread.th32ThreadID));
    if (!handle.isValid()) continue;
    CONTEXT live = {};
    live.ContextFlags = kLiveContextFlags;
    if (GetThreadContext(handle.get(), &live)) {
      ++counts.threads;
      counts.stackPointers.push_back(stackPointerOf(live));
    }
  }
  return counts;
}

}  // namespace tavra
