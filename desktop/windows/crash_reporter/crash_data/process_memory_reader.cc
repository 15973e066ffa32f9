#include "desktop/windows/crash_reporter/crash_data/process_memory_reader.h"

#include <cstdint>
#include <new>

#include "runtime/logging.h"

namespace tavra {

ProcessMemoryReader::ProcessMemoryReader(HANDLE process) : process_(process) {}

ProcessMemoryReader::~ProcessMemoryReader() = default;

const uint8_t* ProcessMemoryReader::read(TargetAddress address, uint32_t length,
                                         uint32_t* bytesRead) {
  uint32_t ignored = 0;
  if (bytesRead == nullptr) bytesRead = &ignored;
  *bytesRead = 0;
  if (length > kMaxReadLength) return nullptr;
  if (capacity_ < length) {
    // The old buffer goes first, so that the two never have to fit at once.
    buffer_.reset();
    capacity_ = 0;
    buffer_.reset(new (std::nothrow) uint8_t[length]);
    if (!buffer_) return nullptr;
    capacity_ = length;
  }
  SIZE_T count = 0;
  if (ReadProcessMemory(process_, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                        buffer_.get(), length, &count) &&
      count > 0) {
    *bytesRead = static_cast<uint32_t>(count);
    return buffer_.get();
  }
  // Never wraps round to a second series of logged failures.
  if (errorCount_ != UINT32_MAX) ++errorCount_;
  if (errorCount_ <= kMaxLoggedErrors) {
    TAVRA_PLOG(ERROR) << "ReadProcessMemory failed for address 0x " << std::hex << address
                      << " and size " << std::dec << length << ", bytes_read=" << count;
  }
  if (errorCount_ == kMaxLoggedErrors) {
    TAVRA_LOG(INFO) << "Reached limit of logged memory read errors";
  }
  return nullptr;
}

}  // namespace tavra
