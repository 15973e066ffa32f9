#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"

#include <tlhelp32.h>

#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "desktop/windows/crash_reporter/crash_data/module_info_impl.h"
#include "desktop/windows/crash_reporter/crash_data/module_path.h"
#include "desktop/windows/crash_reporter/crash_data/process_memory_reader.h"
#include "desktop/windows/crash_reporter/crash_data/thread_info_impl.h"
#include "runtime/logging.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

// The layouts that the system calls are asked to fill, by their size fields:
// the memory counters and the module entry hold pointer-sized fields.
#if defined(_WIN64)
static_assert(sizeof(PROCESS_MEMORY_COUNTERS_EX) == 80, "extended memory counters");
static_assert(sizeof(MODULEENTRY32W) == 1080, "module snapshot entry");
#else
static_assert(sizeof(PROCESS_MEMORY_COUNTERS_EX) == 44, "extended memory counters");
static_assert(sizeof(MODULEENTRY32W) == 1064, "module snapshot entry");
#endif
static_assert(sizeof(THREADENTRY32) == 28, "thread snapshot entry");
// A thread entry shorter than this does not hold its owner's process id.
constexpr DWORD kMinThreadEntrySize = 16;

// The crashed process's exception records, of its width (the reporter's
// own): EXCEPTION_POINTERS is two addresses (the exception record, then the
// context); the exception record holds its code at 0 and the exception
// address after the flags and the nested record's address.
#if defined(_WIN64)
constexpr uint32_t kExceptionAddressOffset = 16;
constexpr uint32_t kContextSize = sizeof(CONTEXT);  // 1232
#else
constexpr uint32_t kExceptionAddressOffset = 12;
constexpr uint32_t kContextSize = sizeof(CONTEXT);  // 716
#endif
static_assert(offsetof(EXCEPTION_RECORD, ExceptionAddress) == kExceptionAddressOffset,
              "the exception address in the record of the reporter's width");

// A fixed-size text field that the system filled, read up to its first NUL
// and never beyond the field.
template <size_t N>
std::wstring fieldText(const wchar_t (&field)[N]) {
  size_t length = 0;
  while (length < N && field[length] != 0) ++length;
  return std::wstring(field, length);
}

// The next entry, with the size field set back to the whole entry first.
bool nextModuleEntry(HANDLE snapshot, MODULEENTRY32W* entry) {
  entry->dwSize = sizeof(*entry);
  return Module32NextW(snapshot, entry) != FALSE;
}

bool nextThreadEntry(HANDLE snapshot, THREADENTRY32* entry) {
  entry->dwSize = sizeof(*entry);
  return Thread32Next(snapshot, entry) != FALSE;
}

}  // namespace

Seam<GetProcessMemoryInfoFunction> getProcessMemoryInfoSeam(&GetProcessMemoryInfo);

Seam<CreateToolhelpSnapshotFunction> createToolhelpSnapshotSeam(&CreateToolhelp32Snapshot);

ProcessStateImpl::ProcessStateImpl() = default;

// The lists and the process handle go with their holders: threads and
// modules first, then the process.
ProcessStateImpl::~ProcessStateImpl() {
  threads_.clear();
  mainModule_ = nullptr;
  modules_.clear();
}

bool ProcessStateImpl::capture(uint32_t processId, TargetAddress exceptionPointersAddress,
                               TargetAddress threadIdAddress) {
  process_.reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
  if (!process_.isValid()) return false;
  // A process that has ended can still be opened while anyone (the record of
  // its registration, say) holds a handle to it, but it has no memory left to
  // read: it has gone as much as one that cannot be opened.
  DWORD exitCode = 0;
  if (GetExitCodeProcess(process_.get(), &exitCode) && exitCode != STILL_ACTIVE) {
    process_.reset();
    return false;
  }

  captureMemoryFigures();

  std::wstring imagePath;
  getProcessImagePath(process_.get(), &imagePath);

  if (!captureModules(processId, imagePath)) return false;

  CONTEXT context;
  if (!captureException(exceptionPointersAddress, &context)) return false;

  uint32_t crashedThreadId = 0;
  if (!readExactly(threadIdAddress, &crashedThreadId, sizeof(crashedThreadId))) {
    TAVRA_LOG(ERROR) << "Could not read ID of crashed thread";
    crashedThreadId = 0;
  }

  // One worker answers the capture's region queries, and it is done with
  // them when the capture returns.
  RegionQueries regions(process_.get());
  std::unique_ptr<ThreadInfoImpl> crashed(new (std::nothrow) ThreadInfoImpl(crashedThreadId, true));
  if (!crashed || !crashed->captureFromContext(process_.get(), context, &regions)) return false;
  threads_.push_back(std::move(crashed));

  captureOtherThreads(processId, crashedThreadId, &regions);
  return true;
}

void ProcessStateImpl::captureMemoryFigures() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  if (!getProcessMemoryInfoSeam(process_.get(),
                                reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                sizeof(counters))) {
    TAVRA_PLOG(ERROR) << "GetProcessMemoryInfo failed";
    return;
  }
  workingSetSize_ = counters.WorkingSetSize;
  peakWorkingSetSize_ = counters.PeakWorkingSetSize;
  privateUsage_ = counters.PrivateUsage;
}

bool ProcessStateImpl::captureModules(uint32_t processId, const std::wstring& imagePath) {
  ScopedHandle snapshot;
  for (uint32_t callsLeft = kModuleSnapshotAttempts; callsLeft > 0;) {
    --callsLeft;
    HANDLE handle = createToolhelpSnapshotSeam(TH32CS_SNAPMODULE, processId);
    if (isValidHandle(handle)) {
      snapshot.reset(handle);
      break;
    }
    // The module list changed while the system read it: try again at once.
    if (GetLastError() != ERROR_BAD_LENGTH || callsLeft == 0) {
      TAVRA_PLOG(ERROR) << "TH32CS_SNAPMODULE failed, retries_left=" << callsLeft;
      return true;
    }
  }

  MODULEENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  if (!Module32FirstW(snapshot.get(), &entry)) {
    TAVRA_PLOG(ERROR) << "Module32First failed";
    return true;
  }
  do {
    if (modules_.size() == kMaxModules) {
      TAVRA_LOG(INFO) << "Module list cut at " << kMaxModules << " modules";
      return true;
    }
    const std::wstring path = fieldText(entry.szExePath);
    const std::wstring name = fieldText(entry.szModule);
    ScopedHandle file(openModuleFile(path, imagePath));
    std::unique_ptr<ModuleInfoImpl> module(new (std::nothrow) ModuleInfoImpl());
    if (!module) return false;
    if (name.empty()) TAVRA_LOG(INFO) << "Module " << wideToUtf8(path) << " has no name";
    const TargetAddress base =
        static_cast<TargetAddress>(reinterpret_cast<uintptr_t>(entry.modBaseAddr));
    module->inspect(name.c_str(), file.get(), base, entry.modBaseSize);
    if (mainModule_ == nullptr && isExecutablePath(path, imagePath)) mainModule_ = module.get();
    modules_.push_back(std::move(module));
  } while (nextModuleEntry(snapshot.get(), &entry));
  return true;
}

bool ProcessStateImpl::captureException(TargetAddress exceptionPointersAddress, CONTEXT* context) {
  TargetAddress pointers = 0;
  if (!readExactly(exceptionPointersAddress, &pointers, sizeof(pointers))) {
    TAVRA_PLOG(ERROR) << "Could not read the exception pointers' address at 0x" << std::hex
                      << exceptionPointersAddress;
    return false;
  }
  TargetAddress records[2] = {};  // the exception record, then the context record
  if (!readExactly(pointers, records, sizeof(records))) {
    TAVRA_PLOG(ERROR) << "Could not read the exception pointers at 0x" << std::hex << pointers;
    return false;
  }
  if (!readExactly(records[0], &exceptionCode_, sizeof(exceptionCode_)) ||
      !readExactly(records[0] + kExceptionAddressOffset, &exceptionAddress_,
                   sizeof(exceptionAddress_))) {
    TAVRA_PLOG(ERROR) << "Could not read the exception record at 0x" << std::hex << records[0];
    return false;
  }
  if (!readExactly(records[1], context, kContextSize)) {
    TAVRA_PLOG(ERROR) << "Could not read the exception context at 0x" << std::hex << records[1];
    return false;
  }
  return true;
}

void ProcessStateImpl::captureOtherThreads(uint32_t processId, uint32_t crashedThreadId,
                                           RegionQueries* regions) {
  ScopedHandle snapshot(createToolhelpSnapshotSeam(TH32CS_SNAPTHREAD, processId));
  if (!snapshot.isValid()) {
    TAVRA_PLOG(ERROR) << "TH32CS_SNAPTHREAD failed";
    return;
  }
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  if (!Thread32First(snapshot.get(), &entry) || entry.dwSize < kMinThreadEntrySize) {
    TAVRA_PLOG(ERROR) << "Thread32First failed, te.dwSize=" << entry.dwSize
                      << ", min size=" << kMinThreadEntrySize;
    return;
  }
  do {
    if (entry.dwSize < kMinThreadEntrySize || entry.th32OwnerProcessID != processId ||
        entry.th32ThreadID == crashedThreadId) {
      continue;
    }
    if (threads_.size() == kMaxThreads) {
      TAVRA_LOG(INFO) << "Thread list cut at " << kMaxThreads << " threads";
      return;
    }
    std::unique_ptr<ThreadInfoImpl> thread(new (std::nothrow)
                                               ThreadInfoImpl(entry.th32ThreadID, false));
    if (thread && thread->captureLive(process_.get(), regions))
      threads_.push_back(std::move(thread));
  } while (nextThreadEntry(snapshot.get(), &entry));
}

bool ProcessStateImpl::readExactly(TargetAddress address, void* out, uint32_t size) const {
  SIZE_T count = 0;
  return ReadProcessMemory(process_.get(),
                           reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), out,
                           size, &count) &&
         count == size;
}

bool ProcessStateImpl::isReadable(TargetAddress address) const {
  if (!process_.isValid()) return false;
  if (!readability_) readability_.reset(new (std::nothrow) PageReadability(process_.get()));
  if (readability_) return readability_->isReadable(address);
  uint8_t byte = 0;
  ++uncachedReadabilityCalls_;
  return readExactly(address, &byte, 1);
}

uint32_t ProcessStateImpl::readabilityCalls() const {
  return uncachedReadabilityCalls_ + (readability_ ? readability_->systemCalls() : 0);
}

uint32_t ProcessStateImpl::exceptionCode() const { return exceptionCode_; }

const char* ProcessStateImpl::exceptionName() const { return nullptr; }

TargetAddress ProcessStateImpl::exceptionAddress() const { return exceptionAddress_; }

const ThreadList& ProcessStateImpl::threads() const { return threads_; }

const ModuleInfo* ProcessStateImpl::mainModule() const { return mainModule_; }

const ModuleList& ProcessStateImpl::modules() const { return modules_; }

std::unique_ptr<MemoryReader> ProcessStateImpl::createMemoryReader() const {
  if (!process_.isValid()) return nullptr;
  return std::unique_ptr<MemoryReader>(new (std::nothrow) ProcessMemoryReader(process_.get()));
}

}  // namespace tavra
