// Writes the text crash log of one crash: the header with version, build and
// exception, the report metadata, one section per thread with its registers
// and a dump of its stack, the module list, and hex dumps of the memory that
// the threads' registers and stack words point to.
//
// This file keeps the log's layout and order. Which part of a stack is read
// and dumped, and how much memory each thread may add to the dumps, is
// stack_extent.h; the set of ranges to dump is memory_range_set.h; the file
// output with its CR LF line ends and its failure rules is crash_log_output.h.
// Text that the crashed process or its module files chose (version, build,
// metadata, module names and file versions) is written escaped, so that it
// can neither end its line nor add a section: crash_log_text.h.
//
// The log is written in the reporter's own width (runtime/target_width.h),
// which is that of the processes it serves: addresses with 8 hex digits and
// the x86 registers in the 32-bit reporter, with 16 digits and the x86-64
// registers in the 64-bit one; the line "Architecture: x86" or
// "Architecture: x86-64" after the exception line says which. The width
// shows only in the address digits, the stack word (stack_extent.h) and the
// register block (register_block.h).
//
// Everything read from the crashed process (stack words, frame chains,
// register values, the memory that they point to) is untrusted: every address
// is computed so that nothing wraps around the address space, every walk
// over the stack ends within the block that was read, and the amount of
// memory dumped is bounded by the budgets.
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
// The crash signature (crash_signature.h) is computed from exactly what the
// log holds, so that a reader of the log finds the same: while the crashed
// thread's section is written, the writer keeps its registers and a copy of
// its dumped stack words (at most kStackReadSize bytes); while the dumps are
// written, it copies the code bytes before each of those words that points
// into a module (7 on x86, 8 on x86-64), when the bytes written for one
// dumped range hold them all. After
// the write, the walk and the text take one pass over the words and a binary
// search per look-up, and nothing more is read from the crashed process.
//
// Ownership: the writer owns its two range sets (their memory is released
// when it is destroyed) and each memory reader that it creates (a stack
// block's reader lives until its thread section is written, the dumps' reader
// until the dumps are written). Its output opens the file and closes it
// before `write` returns. The snapshot and the metadata stay the caller's.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_WRITER_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_WRITER_H_

#include <stdint.h>

#include <memory>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "desktop/windows/crash_reporter/crash_data/process_state.h"
#include "desktop/windows/crash_reporter/logs/crash_signature.h"
#include "desktop/windows/crash_reporter/logs/memory_range_set.h"
#include "desktop/windows/crash_reporter/logs/stack_walk.h"

namespace tavra {

class CrashLogOutput;

class CrashLogWriter {
 public:
  // Threads after this many in the thread list are written only when crashed.
  static constexpr uint32_t kThreadLimit = 499;
  // Bytes dumped before and after a value that points into a module's code,
  // and around any other readable value.
  static constexpr uint32_t kCodeRadius = 16;
  static constexpr uint32_t kDataRadius = 1024;
  // Memory is readable or not page by page.
  static constexpr uint32_t kPageSize = 4096;

  CrashLogWriter() = default;
  CrashLogWriter(const CrashLogWriter&) = delete;
  CrashLogWriter& operator=(const CrashLogWriter&) = delete;

  // Creates the file at `path`, new and private (crash_log_output.h), and
  // writes the whole crash log into it. True when every byte was written and
  // the file was closed cleanly. On false no file of this write is left: when
  // it could not be created (what has a name that is taken is left alone),
  // and when a write or the close failed or a memory reader could not be made
  // (the file is then deleted). Memory that cannot be read is no
  // failure: it is simply missing from the log; a range for which the set
  // has no memory is left out of the dumps.
  bool write(const ProcessState& process, const CrashMetadata& metadata, const char* path);

  // The ranges dumped by the last `write`, emptied at the start of each.
  const MemoryRangeSet& ranges() const { return ranges_; }

  // The signature of the crash that the last successful `write` logged;
  // empty (text and hash) when it failed. The short hash is empty when the
  // system could not compute it.
  const CrashSignature& signature() const { return signature_; }

  // Signs the crash of the last successful `write` again, from the inputs
  // that it kept: the walk, the text and the short hash, as `write` does
  // once the log is complete. The stage benchmark times it.
  void computeSignature(const ProcessState& process);

 private:
  // The code bytes that the signature's rule reads before a return address
  // of the reporter's architecture.
  static constexpr unsigned kCallBytes = callBytes(kTargetArchitecture);

  // The code bytes before a crashed-thread stack word that points into a
  // module, once a dumped range has held them.
  struct CodeBytes {
    TargetAddress value;
    bool found;
    uint8_t bytes[kMostCallBytes];
  };

  // The crashed thread's registers and stack words, as its section wrote them.
  void keepCrashedStack(const RegisterSet& registers, const MemoryReader& block);
  // The log's module list, and which crashed-thread stack words want their
  // code bytes from the dumps.
  void collectSignatureInputs(const ProcessState& process);
  // Copies the code bytes that the dumped range [address, address + size)
  // holds; ranges come in increasing order.
  void copyCodeBytes(TargetAddress address, const uint8_t* data, uint32_t size, size_t* next);
  static bool codeBytesBefore(void* context, uint64_t value, uint8_t* bytes, unsigned count);

  // Adds the range around `value` when it points to readable memory of the
  // crashed process; returns the bytes by which the ranges' total grew.
  uint64_t addPointerRanges(const ProcessState& process, TargetAddress value);
  // Collects the modules' code ranges once per write, so that each value is
  // looked up by a binary search rather than a scan of every module.
  void collectCodeRanges(const ProcessState& process);
  bool isInCode(const ProcessState& process, TargetAddress value) const;
  bool writeThreads(const ProcessState& process, CrashLogOutput* out);
  bool writeThread(const ProcessState& process, const ThreadInfo& thread, bool isLast,
                   CrashLogOutput* out);
  bool writeModules(const ProcessState& process, CrashLogOutput* out);
  bool writeMemoryDumps(const ProcessState& process, CrashLogOutput* out);

  MemoryRangeSet ranges_;
  // The code ranges of the modules of the snapshot being written; unused
  // when there was no memory for them (the modules are then scanned for each
  // value).
  MemoryRangeSet codeRanges_;
  bool codeRangesCollected_ = false;

  bool crashedStackKept_ = false;
  TargetAddress crashedInstructionPointer_ = 0;
  TargetAddress crashedStackPointer_ = 0;
  TargetAddress crashedFramePointer_ = 0;
  TargetAddress crashedStackAddress_ = 0;
  std::vector<uint64_t> crashedStackWords_;
  // The modules in log order (their names are the snapshot's), and their index.
  std::vector<ModuleSpan> moduleSpans_;
  std::unique_ptr<ModuleSpanIndex> moduleIndex_;
  // Sorted by value, one entry per value.
  std::vector<CodeBytes> codeBytes_;
  CrashSignature signature_;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LOGS_CRASH_LOG_WRITER_H_
