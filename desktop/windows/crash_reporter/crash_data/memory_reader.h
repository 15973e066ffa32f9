// Reads memory of a crashed process for the crash log writer.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MEMORY_READER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MEMORY_READER_H_

#include <cstdint>

#include "runtime/target_width.h"

namespace tavra {

// The slot order is fixed: destructor, then `read`. The three fields describe
// the block that the reader's user last read; the user fills them.
class MemoryReader {
 public:
  virtual ~MemoryReader() = default;
  // At most `length` bytes from `address`, or null; `bytesRead` receives how
  // many, 0 on failure. The bytes stay valid until the next read.
  virtual const uint8_t* read(TargetAddress address, uint32_t length, uint32_t* bytesRead) = 0;

  const uint8_t* data = nullptr;  // the last successful read, or null
  TargetAddress address = 0;      // address of the first byte at `data`
  uint32_t size = 0;              // valid bytes at `data`; 0 after a failure
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MEMORY_READER_H_
