// Writes the text crash log of one crash: the header with version, build and
// exception, the report metadata, one section per thread with its registers
// and a dump of its stack, the module list, and hex dumps of the memory that
// the threads' registers and stack words point to.
//
// Everything read from the crashed process (stack words, frame chains,
// register values, the memory that they point to) is untrusted: every address
// is computed so that nothing wraps around the 32-bit address space, every
// walk over the stack ends within the block that was read, and the amount of
// memory dumped is bounded by the budgets below.
//
// Threads: a writer is used by the one thread that handles its crash, for
// one `write`; it shares nothing and takes no lock. The snapshot that it reads
// belongs to the same thread.
//
// The crashed client waits while its log is written, and every question to
// the crashed process is a system call: each value is looked up in the
// modules' code ranges (sorted once per write) and in the ranges taken so
// far before the snapshot is asked whether it points to readable memory, and
// a value whose range is dumped already is not asked about at all.
//
// Ownership: the writer owns its range list and the sorted list of the
// modules' code ranges (both released when it is destroyed) and each memory
// reader that it creates (a stack block's reader lives until its thread
// section is written, the dumps' reader until the dumps are written). It
// opens the file itself and closes it before `write` returns. The snapshot
// and the metadata stay the caller's.
//
// The file is 8-bit text with CR LF line ends, the bytes that the C
// runtime's text mode gives on Windows; every LF, also one inside a metadata
// value or a module name, is written as CR LF.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_WRITER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_WRITER_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "desktop/windows/crash_reporter/crash_data/process_state.h"
#include "runtime/seam.h"

namespace tavra {

// Memory from `start` up to, not including, `end`.
struct MemoryRange {
  uint32_t start;
  uint32_t end;
};

class CrashLogWriter {
 public:
  // Threads after this many in the thread list are written only when crashed.
  static constexpr uint32_t kThreadLimit = 499;
  static constexpr uint32_t kStackReadSize = 8192;
  static constexpr uint32_t kCrashedStackMinimum = 512;
  // A stack pointer below this is not read.
  static constexpr uint32_t kLowestStackAddress = 4096;
  // Kept above the detected end of the used stack.
  static constexpr uint32_t kStackSlack = 64;
  static constexpr uint32_t kFrameExtentMinimum = 512;
  // `total` at or above which threads other than the crashed one add no more
  // ranges, and the most that one such thread may add.
  static constexpr uint32_t kMemoryBudget = 614400;
  static constexpr uint32_t kThreadBudget = 61440;
  // Bytes dumped before and after a value that points into a module's code,
  // and around any other readable value.
  static constexpr uint32_t kCodeRadius = 16;
  static constexpr uint32_t kDataRadius = 1024;
  static constexpr uint32_t kPageSize = 4096;

  CrashLogWriter();
  ~CrashLogWriter();
  CrashLogWriter(const CrashLogWriter&) = delete;
  CrashLogWriter& operator=(const CrashLogWriter&) = delete;

  // Creates or truncates the file at `path` and writes the whole crash log
  // into it. True when every byte was written and the file was closed
  // cleanly. On false no file is left at the path: when it could not be
  // created, and when a write or the close failed or a memory reader could
  // not be made (the file is then deleted). Memory that cannot be read is no
  // failure: it is simply missing from the log.
  bool write(const ProcessState& process, const CrashMetadata& metadata, const char* path);

  // Adds [start, end) to the ranges to dump, merged with every range that it
  // overlaps or touches; `total` grows by the bytes newly covered. An empty
  // or inverted range adds nothing. False only when memory ran out: the range
  // is then left out and nothing changes.
  bool addRange(uint32_t start, uint32_t end);

  // The ranges to dump, sorted by start, none overlapping or touching
  // another. Emptied at the start of each `write`.
  const MemoryRange* ranges() const { return ranges_; }
  size_t rangeCount() const { return rangeCount_; }
  // The bytes that the ranges cover.
  uint32_t total() const { return total_; }

 private:
  class Output;

  void clearRanges();
  // Adds the range around `value` when it points to readable memory of the
  // crashed process; returns the bytes by which `total` grew.
  uint32_t addPointerRanges(const ProcessState& process, uint32_t value);
  // Whether one range already holds all of [start, end).
  bool isCovered(uint32_t start, uint32_t end) const;
  // Sorts the modules' code ranges once per write, so that each value is
  // looked up by a binary search rather than a scan of every module.
  void collectCodeRanges(const ProcessState& process);
  bool isInCode(const ProcessState& process, uint32_t value) const;
  bool writeThreads(const ProcessState& process, Output* out);
  bool writeThread(const ProcessState& process, const ThreadInfo& thread, bool isLast, Output* out);
  bool writeModules(const ProcessState& process, Output* out);
  bool writeMemoryDumps(const ProcessState& process, Output* out);

  MemoryRange* ranges_ = nullptr;
  size_t rangeCount_ = 0;
  size_t rangeCapacity_ = 0;
  uint32_t total_ = 0;
  // The code ranges of the modules of the snapshot being written, sorted and
  // merged; null when there was no memory for them (the modules are then
  // scanned for each value) or there are no modules.
  MemoryRange* codeRanges_ = nullptr;
  size_t codeRangeCount_ = 0;
};

// Test seams for the file output and the range list's memory; null restores
// the real function. Read at each call.
using CrashLogFileWriteFunction = size_t (*)(const void* data, size_t size, size_t count,
                                             FILE* file);
using CrashLogFileCloseFunction = int (*)(FILE* file);
extern Seam<CrashLogFileWriteFunction> crashLogFileWriteSeam;
extern Seam<CrashLogFileCloseFunction> crashLogFileCloseSeam;
// Returns memory for `bytes` bytes of the range list or the code range list,
// or null when there is none; the writer frees it with ::operator delete.
using RangeAllocationFunction = void* (*)(size_t bytes);
extern Seam<RangeAllocationFunction> rangeAllocationSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_WRITER_H_
