// Reads the memory of a crashed process for the crash log writer.
//
// A reader belongs to the one thread that handles its crash and is used only
// there; it has no locks. It does not own the process handle: the snapshot
// that made it does, and outlives it.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_MEMORY_READER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_MEMORY_READER_H_

#include <windows.h>

#include <cstdint>
#include <memory>

#include "desktop/windows/crash_reporter/crash_data/memory_reader.h"

namespace tavra {

// Reads into one buffer that it reuses for every read: grown when a read needs
// more, never shrunk.
class ProcessMemoryReader : public MemoryReader {
 public:
  // Failed reads logged per reader; the limit itself is logged once.
  static constexpr uint32_t kMaxLoggedErrors = 100;
  // Longer reads fail as if memory had run out. Lengths come from what the
  // crashed process holds (its stack extent, its module ranges); no stack or
  // block worth dumping comes near this.
  static constexpr uint32_t kMaxReadLength = 32u * 1024 * 1024;

  explicit ProcessMemoryReader(HANDLE process);
  ~ProcessMemoryReader() override;
  ProcessMemoryReader(const ProcessMemoryReader&) = delete;
  ProcessMemoryReader& operator=(const ProcessMemoryReader&) = delete;

  // `length` bytes from `address`, or null. A read counts only when the system
  // reports success with at least one byte; it may then be shorter than
  // asked. Each failure (except running out of memory, which is not logged)
  // is counted and, up to the limit, logged. The bytes stay valid until the
  // next read.
  const uint8_t* read(TargetAddress address, uint32_t length, uint32_t* bytesRead) override;

  uint32_t errorCount() const { return errorCount_; }
  uint32_t capacity() const { return capacity_; }

 private:
  HANDLE process_;
  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t capacity_ = 0;
  uint32_t errorCount_ = 0;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_MEMORY_READER_H_
