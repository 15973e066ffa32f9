// Where the module file parser gets its bytes: the module's file on disk,
// read on demand as the parse goes, or bytes in memory in the tests and the
// fuzzer. Portable: no system call here, so that the parser builds and is
// fuzzed on the host.
//
// A source belongs to the one thread that parses with it.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_BYTE_SOURCE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_BYTE_SOURCE_H_

#include <stddef.h>
#include <stdint.h>

namespace tavra {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies the `length` bytes at `offset` into `out`. False when they could
  // not all be read (a device that went away, a file cut short); `out` may
  // then hold anything. The parser asks only for bytes within the size it
  // was given.
  virtual bool read(uint64_t offset, void* out, size_t length) = 0;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_BYTE_SOURCE_H_
