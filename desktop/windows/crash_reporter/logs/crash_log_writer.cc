#include "desktop/windows/crash_reporter/logs/crash_log_writer.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <new>

namespace tavra {
namespace {

// One past the highest address: block and range ends are computed in 64 bits
// against it, so that nothing near the top of the address space wraps to 0.
constexpr uint64_t kAddressSpaceEnd = 0x100000000ull;
constexpr uint32_t kRegistersChecked = 9;

void* allocateWithoutThrowing(size_t bytes) { return ::operator new(bytes, std::nothrow); }

constexpr char kHexDigits[] = "0123456789ABCDEF";

char* appendHex8(char* out, uint32_t value) {
  for (int shift = 28; shift >= 0; shift -= 4) *out++ = kHexDigits[(value >> shift) & 0xF];
  return out;
}

char* appendHex2(char* out, uint8_t value) {
  *out++ = kHexDigits[value >> 4];
  *out++ = kHexDigits[value & 0xF];
  return out;
}

// The text column shows the printable characters of the C locale only.
char printable(uint8_t byte) {
  return byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '.';
}

// The text column of a stack or dump line: a space, one character per byte,
// then the line end.
char* appendTextColumn(char* out, const uint8_t* bytes, uint32_t count) {
  *out++ = ' ';
  for (uint32_t i = 0; i < count; ++i) *out++ = printable(bytes[i]);
  *out++ = '\n';
  return out;
}

uint32_t wordAt(const uint8_t* data, uint32_t offset) {
  return static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8 |
         static_cast<uint32_t>(data[offset + 2]) << 16 |
         static_cast<uint32_t>(data[offset + 3]) << 24;
}

uint16_t halfWordAt(const uint8_t* data, uint32_t offset) {
  return static_cast<uint16_t>(data[offset] | data[offset + 1] << 8);
}

uint64_t blockEnd(const MemoryReader& block) {
  return static_cast<uint64_t>(block.address) + block.size;
}

bool blockContains(const MemoryReader& block, uint32_t value) {
  return value >= block.address && value < blockEnd(block);
}

// How much of a thread's stack block is worth dumping when the stack region
// is known: up to the last non-zero byte, rounded up to a whole word, and a
// little slack above it.
uint32_t usedStackLength(const MemoryReader& block) {
  uint32_t used = block.size;
  while (used > 0 && block.data[used - 1] == 0) --used;
  const uint64_t length =
      ((static_cast<uint64_t>(used) + 3) & ~uint64_t{3}) + CrashLogWriter::kStackSlack;
  return static_cast<uint32_t>(std::min<uint64_t>(length, block.size));
}

// How much of a thread's stack block is worth dumping when the stack region
// is unknown: as far as the frame chain and the words that point into the
// block itself reach. The words come from the crashed process: the chain is
// followed only while it climbs strictly upwards inside the block, so a loop
// or a backward link ends it.
uint32_t frameExtentLength(const ThreadInfo& thread, const MemoryReader& block) {
  if (thread.isCrashed()) return block.size;
  const uint64_t end = blockEnd(block);
  uint32_t lastFrameOffset = 0;
  uint32_t framePointer = thread.registers().ebp;
  if (framePointer % 4 == 0) {
    for (;;) {
      if (framePointer < block.address || static_cast<uint64_t>(framePointer) + 4 >= end) break;
      lastFrameOffset = framePointer - block.address;
      const uint32_t next = wordAt(block.data, lastFrameOffset);
      if (next <= framePointer) break;
      framePointer = next;
      if (framePointer % 4 != 0) break;
    }
  }
  uint32_t extent = std::max(lastFrameOffset, CrashLogWriter::kFrameExtentMinimum);
  for (uint32_t offset = 0; static_cast<uint64_t>(offset) + 4 < block.size; offset += 4) {
    const uint32_t value = wordAt(block.data, offset);
    if (value % 4 == 0 && value >= block.address && static_cast<uint64_t>(value) + 4 < end &&
        value - block.address > extent) {
      extent = value - block.address;
    }
    if (offset + 4 > extent) break;
  }
  return static_cast<uint32_t>(
      std::min<uint64_t>(static_cast<uint64_t>(extent) + CrashLogWriter::kStackSlack, block.size));
}

// Reads the stack block of `thread` into `reader` and fills the reader's
// data, address and size with it; the size is 0 when nothing could be read.
void readStackBlock(const ThreadInfo& thread, MemoryReader* reader) {
  reader->data = nullptr;
  reader->size = 0;
  const uint32_t start = thread.registers().esp & ~uint32_t{3};
  reader->address = start;
  const uint32_t stackSize = thread.stackSize();
  uint32_t length = stackSize >= 1 && stackSize <= CrashLogWriter::kStackReadSize
                        ? stackSize
                        : CrashLogWriter::kStackReadSize;
  if (thread.isCrashed()) length = std::max(length, CrashLogWriter::kCrashedStackMinimum);
  if (start < CrashLogWriter::kLowestStackAddress) return;

  // Shorter and shorter reads, each ending at the page that held the last
  // byte of the one before: the end of a stack region is a page boundary.
  // The end strictly falls each time, so this takes at most three reads.
  uint64_t end = std::min<uint64_t>(static_cast<uint64_t>(start) + length, kAddressSpaceEnd);
  for (;;) {
    const uint32_t asked = static_cast<uint32_t>(end - start);
    uint32_t bytesRead = 0;
    const uint8_t* data = reader->read(start, asked, &bytesRead);
    if (data != nullptr && bytesRead != 0) {
      reader->data = data;
      reader->size = std::min(bytesRead, asked);
      break;
    }
    const uint64_t newEnd = (end - 1) & ~static_cast<uint64_t>(CrashLogWriter::kPageSize - 1);
    if (newEnd <= start) return;
    end = newEnd;
  }
  reader->size = stackSize != 0 ? usedStackLength(*reader) : frameExtentLength(thread, *reader);
}

}  // namespace

Seam<CrashLogFileWriteFunction> crashLogFileWriteSeam(&fwrite);
Seam<CrashLogFileCloseFunction> crashLogFileCloseSeam(&fclose);
Seam<RangeAllocationFunction> rangeAllocationSeam(&allocateWithoutThrowing);

// Buffered output of the log, every LF written as CR LF. After the first
// failed write everything fails, so that a section stops where the output
// broke.
class CrashLogWriter::Output {
 public:
  explicit Output(FILE* file) : file_(file) {}
  ~Output() { close(); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  bool write(const char* text, size_t length) {
    for (size_t i = 0; i < length && ok_; ++i) {
      // Room for a CR LF pair.
      if (used_ + 2 > sizeof(buffer_)) flush();
      if (text[i] == '\n') buffer_[used_++] = '\r';
      buffer_[used_++] = text[i];
    }
    return ok_;
  }
  bool write(const char* text) { return write(text, text != nullptr ? strlen(text) : 0); }
  // `length` as snprintf returned it for `text`, a buffer of `capacity`.
  bool writeFormatted(const char* text, int length, size_t capacity) {
    if (length < 0 || static_cast<size_t>(length) >= capacity) ok_ = false;
    return ok_ && write(text, static_cast<size_t>(length));
  }
  // `text` padded with spaces to at least `width` columns.
  bool writePadded(const char* text, size_t width) {
    const size_t length = text != nullptr ? strlen(text) : 0;
    if (!write(text, length)) return false;
    for (size_t i = length; i < width; ++i) write(" ", 1);
    return ok_;
  }

  // Writes what is left in the buffer and closes the file: false when any
  // write or the close failed, since buffered bytes can still be lost there.
  bool close() {
    if (file_ == nullptr) return ok_;
    flush();
    if (crashLogFileCloseSeam(file_) != 0) ok_ = false;
    file_ = nullptr;
    return ok_;
  }

 private:
  void flush() {
    if (used_ != 0 && ok_ && crashLogFileWriteSeam(buffer_, 1, used_, file_) != used_) ok_ = false;
    used_ = 0;
  }

  FILE* file_;
  bool ok_ = true;
  size_t used_ = 0;
  char buffer_[8192];
};

CrashLogWriter::CrashLogWriter() = default;

CrashLogWriter::~CrashLogWriter() {
  ::operator delete(ranges_);
  ::operator delete(codeRanges_);
}

void CrashLogWriter::clearRanges() {
  rangeCount_ = 0;
  total_ = 0;
}

bool CrashLogWriter::addRange(uint32_t start, uint32_t end) {
  if (start >= end) return true;
  MemoryRange* const listEnd = ranges_ + rangeCount_;
  // The ranges are disjoint and sorted by start, so their ends are sorted as
  // well: [first, last) are the ranges that the new one overlaps or touches.
  MemoryRange* first =
      std::lower_bound(ranges_, listEnd, start,
                       [](const MemoryRange& range, uint32_t value) { return range.end < value; });
  MemoryRange* last = std::upper_bound(
      first, listEnd, end,
      [](uint32_t value, const MemoryRange& range) { return value < range.start; });
  if (first != last) {
    uint32_t covered = 0;
    for (const MemoryRange* range = first; range != last; ++range) {
      covered += range->end - range->start;
    }
    const MemoryRange merged = {std::min(start, first->start), std::max(end, (last - 1)->end)};
    total_ += (merged.end - merged.start) - covered;
    *first = merged;
    memmove(first + 1, last, static_cast<size_t>(listEnd - last) * sizeof(MemoryRange));
    rangeCount_ -= static_cast<size_t>(last - first) - 1;
    return true;
  }

  size_t index = static_cast<size_t>(first - ranges_);
  if (rangeCount_ == rangeCapacity_) {
    const size_t capacity = rangeCapacity_ == 0 ? 64 : rangeCapacity_ * 2;
    if (capacity > static_cast<size_t>(-1) / 2 / sizeof(MemoryRange)) return false;
    MemoryRange* grown =
        static_cast<MemoryRange*>(rangeAllocationSeam(capacity * sizeof(MemoryRange)));
    if (grown == nullptr) return false;
    if (rangeCount_ != 0) memcpy(grown, ranges_, rangeCount_ * sizeof(MemoryRange));
    ::operator delete(ranges_);
    ranges_ = grown;
    rangeCapacity_ = capacity;
  }
  memmove(ranges_ + index + 1, ranges_ + index, (rangeCount_ - index) * sizeof(MemoryRange));
  ranges_[index] = {start, end};
  ++rangeCount_;
  total_ += end - start;
  return true;
}

bool CrashLogWriter::isCovered(uint32_t start, uint32_t end) const {
  // The last range that starts at or before `start` is the only one that can
  // hold [start, end).
  const MemoryRange* after = std::upper_bound(
      ranges_, ranges_ + rangeCount_, start,
      [](uint32_t value, const MemoryRange& range) { return value < range.start; });
  return after != ranges_ && (after - 1)->end >= end;
}

void CrashLogWriter::collectCodeRanges(const ProcessState& process) {
  ::operator delete(codeRanges_);
  codeRanges_ = nullptr;
  codeRangeCount_ = 0;
  const ModuleList& modules = process.modules();
  // Without memory for the list, every value scans the modules instead.
  if (modules.empty() || modules.size() > static_cast<size_t>(-1) / sizeof(MemoryRange)) return;
  MemoryRange* ranges =
      static_cast<MemoryRange*>(rangeAllocationSeam(modules.size() * sizeof(MemoryRange)));
  if (ranges == nullptr) return;
  size_t count = 0;
  for (const auto& module : modules) {
    if (!module) continue;
    // In 32-bit arithmetic, as the module list defines its code ranges: a
    // module without one has a code end of 0 and so an empty range, and one
    // whose end wraps past the top holds no address at all.
    const uint32_t codeStart = module->codeStart();
    const uint32_t codeEnd = codeStart + module->codeSize();
    if (codeEnd > codeStart) ranges[count++] = {codeStart, codeEnd};
  }
  std::sort(ranges, ranges + count,
            [](const MemoryRange& a, const MemoryRange& b) { return a.start < b.start; });
  // Overlapping ranges become one, so that the search below has one
  // candidate: the last range that starts at or before the value.
  size_t merged = 0;
  for (size_t i = 0; i < count; ++i) {
    if (merged != 0 && ranges[i].start <= ranges[merged - 1].end) {
      ranges[merged - 1].end = std::max(ranges[merged - 1].end, ranges[i].end);
    } else {
      ranges[merged++] = ranges[i];
    }
  }
  codeRanges_ = ranges;
  codeRangeCount_ = merged;
}

bool CrashLogWriter::isInCode(const ProcessState& process, uint32_t value) const {
  if (codeRanges_ != nullptr) {
    const MemoryRange* begin = codeRanges_;
    const MemoryRange* after =
        std::upper_bound(begin, begin + codeRangeCount_, value,
                         [](uint32_t v, const MemoryRange& range) { return v < range.start; });
    return after != begin && value < (after - 1)->end;
  }
  for (const auto& module : process.modules()) {
    if (!module) continue;
    const uint32_t codeStart = module->codeStart();
    const uint32_t codeEnd = codeStart + module->codeSize();
    if (value >= codeStart && value < codeEnd) return true;
  }
  return false;
}

uint32_t CrashLogWriter::addPointerRanges(const ProcessState& process, uint32_t value) {
  if (value == 0) return 0;
  const uint32_t radius = isInCode(process, value) ? kCodeRadius : kDataRadius;
  const uint32_t start = value >= radius ? value - radius : 0;
  const uint32_t end = value <= UINT32_MAX - radius ? value + radius : UINT32_MAX;
  // A range that is already dumped would add nothing, readable or not: the
  // question to the crashed process, the dearest step, is left out.
  if (isCovered(start, end)) return 0;
  if (!process.isReadable(value)) return 0;
  const uint32_t before = total_;
  addRange(start, end);
  return total_ - before;
}

bool CrashLogWriter::write(const ProcessState& process, const CrashMetadata& metadata,
                           const char* path) {
  clearRanges();
  if (path == nullptr) return false;
  collectCodeRanges(process);
  FILE* file = fopen(path, "wb");
  if (file == nullptr) return false;
  Output out(file);

  char line[128];
  const ModuleInfo* mainModule = process.mainModule();
  bool written = out.write("TAVRA-CRASHLOG V1 desktop ") && out.write(metadata.version.c_str()) &&
                 out.write(" ") && out.write(metadata.build.c_str()) &&
                 out.write(" windows  release\n") &&
                 out.write(mainModule != nullptr ? mainModule->name() : "<no name>") &&
                 out.write(" caused exception ");
  if (written) {
    if (process.exceptionName() != nullptr) {
      written = out.write(process.exceptionName());
    } else {
      written = out.writeFormatted(
          line, snprintf(line, sizeof(line), "%X", static_cast<unsigned>(process.exceptionCode())),
          sizeof(line));
    }
  }
  written =
      written &&
      out.writeFormatted(
          line,
          snprintf(line, sizeof(line), " at address %08lX (Base: %08lX)\n",
                   static_cast<unsigned long>(process.exceptionAddress()),
                   static_cast<unsigned long>(mainModule != nullptr ? mainModule->base() : 0)),
          sizeof(line));

  if (written && !metadata.entries.empty()) {
    written = out.write("\nmetadata:\n");
    for (const MetadataEntry& entry : metadata.entries) {
      if (!written) break;
      written = out.write(entry.first.c_str()) && out.write("=\"") &&
                out.write(entry.second.c_str()) && out.write("\"\n");
    }
  }

  written = written && writeThreads(process, &out) && writeModules(process, &out) &&
            writeMemoryDumps(process, &out);
  const bool closed = out.close();
  if (written && closed) return true;
  remove(path);
  return false;
}

bool CrashLogWriter::writeThreads(const ProcessState& process, Output* out) {
  const ThreadList& threads = process.threads();
  for (size_t index = 0; index < threads.size(); ++index) {
    const ThreadInfo* thread = threads[index].get();
    if (thread == nullptr) continue;
    // Positions count from 1.
    if (index >= kThreadLimit && !thread->isCrashed()) continue;
    if (!writeThread(process, *thread, index + 1 == threads.size(), out)) return false;
  }
  return true;
}

bool CrashLogWriter::writeThread(const ProcessState& process, const ThreadInfo& thread, bool isLast,
                                 Output* out) {
  std::unique_ptr<MemoryReader> block = process.createMemoryReader();
  if (!block) return false;
  readStackBlock(thread, block.get());

  // The crashed thread has no budget. Every other thread may add at most
  // kThreadBudget bytes, and only half of what is left below the overall
  // budget when that is less, so that later threads get their share.
  const bool unlimited = thread.isCrashed();
  uint32_t budget = 0;
  if (!unlimited && total_ < kMemoryBudget) {
    budget = kMemoryBudget - total_;
    if (budget > kThreadBudget) {
      budget = kThreadBudget;
    } else if (!isLast) {
      budget /= 2;
    }
  }
  auto checkValue = [&](uint32_t value) {
    if (blockContains(*block, value)) return;
    const uint32_t growth = addPointerRanges(process, value);
    if (!unlimited) budget = growth >= budget ? 0 : budget - growth;
  };

  const RegisterSet& registers = thread.registers();
  const uint32_t checked[kRegistersChecked] = {registers.eax, registers.ebx, registers.ecx,
                                               registers.edx, registers.esi, registers.edi,
                                               registers.ebp, registers.esp, registers.eip};
  uint32_t registersChecked = 0;
  for (uint32_t value : checked) {
    if (!unlimited && budget == 0) break;
    ++registersChecked;
    checkValue(value);
  }
  const uint32_t words = block->size / 4;
  uint32_t wordsChecked = 0;
  for (uint32_t offset = 0; wordsChecked < words; offset += 4) {
    if (!unlimited && budget == 0) break;
    ++wordsChecked;
    checkValue(wordAt(block->data, offset));
  }

  char text[512];
  const uint32_t id = thread.threadId();
  if (!out->writeFormatted(
          text,
          snprintf(text, sizeof(text),
                   "\nThread: %08X\n\nThreadInfo: %08X\nPriority=%08X\nCrashed=%d\n"
                   "checked_context_values=%lu%s\nchecked_stack_values=%lu%s\n",
                   id, id, static_cast<uint32_t>(thread.priority()), thread.isCrashed() ? 1 : 0,
                   static_cast<unsigned long>(registersChecked),
                   registersChecked == kRegistersChecked ? " (all)" : "",
                   static_cast<unsigned long>(wordsChecked), wordsChecked == words ? " (all)" : ""),
          sizeof(text))) {
    return false;
  }

  // Each x87 register is printed most significant part first: the sign and
  // exponent word, then the high and the low half of the mantissa.
  const uint8_t* fpu = registers.fpuRegisters;
  auto exponent = [fpu](int k) -> unsigned { return halfWordAt(fpu, 10 * k + 8); };
  auto high = [fpu](int k) -> unsigned { return wordAt(fpu, 10 * k + 4); };
  auto low = [fpu](int k) -> unsigned { return wordAt(fpu, 10 * k); };
  if (!out->writeFormatted(
          text,
          snprintf(text, sizeof(text),
                   "\nRegisters: %08X\nEAX=%08X   EBX=%08X   ECX=%08X   EDX=%08X   ESI=%08X\n"
                   "EDI=%08X   EBP=%08X   ESP=%08X   EIP=%08X FLAGS=%08X\n"
                   "CS=%04X   DS=%04X   SS=%04X   ES=%04X   FS=%04X   GS=%04X\n"
                   "\nFPU stack: %08X\n"
                   "%04X%08X%08X %04X%08X%08X %04X%08X%08X\n"
                   "%04X%08X%08X %04X%08X%08X %04X%08X%08X\n"
                   "%04X%08X%08X %04X%08X%08X SW=%04X CW=%04X\n",
                   id, registers.eax, registers.ebx, registers.ecx, registers.edx, registers.esi,
                   registers.edi, registers.ebp, registers.esp, registers.eip, registers.eflags,
                   registers.cs, registers.ds, registers.ss, registers.es, registers.fs,
                   registers.gs, id, exponent(0), high(0), low(0), exponent(1), high(1), low(1),
                   exponent(2), high(2), low(2), exponent(3), high(3), low(3), exponent(4), high(4),
                   low(4), exponent(5), high(5), low(5), exponent(6), high(6), low(6), exponent(7),
                   high(7), low(7), registers.fpuStatusWord & 0xFFFFu,
                   registers.fpuControlWord & 0xFFFFu),
          sizeof(text))) {
    return false;
  }

  if (!out->writeFormatted(text, snprintf(text, sizeof(text), "\nStack dump: %08X\n", id),
                           sizeof(text))) {
    return false;
  }
  // The saved frame pointers along the chain are marked: each marked word
  // names the next one to mark.
  uint32_t framePointer = registers.ebp;
  for (uint32_t offset = 0; offset < block->size; offset += 16) {
    char* end = appendHex8(text, block->address + offset);
    *end++ = ' ';
    for (uint32_t slot = 0; slot < 4; ++slot) {
      const uint32_t wordOffset = offset + 4 * slot;
      if (wordOffset + 4 > block->size) {
        memset(end, ' ', 10);
        end += 10;
        continue;
      }
      const uint32_t value = wordAt(block->data, wordOffset);
      if (block->address + wordOffset == framePointer) {
        *end++ = '>';
        framePointer = value;
      } else {
        *end++ = ' ';
      }
      end = appendHex8(end, value);
      *end++ = ' ';
    }
    end = appendTextColumn(end, block->data + offset, std::min<uint32_t>(16, block->size - offset));
    if (!out->write(text, static_cast<size_t>(end - text))) return false;
  }
  return true;
}

bool CrashLogWriter::writeModules(const ProcessState& process, Output* out) {
  if (!out->write("\nUsed DLLs:\n")) return false;
  char text[96];
  for (const auto& module : process.modules()) {
    if (!module) continue;
    if (!out->writePadded(module->name(), 26) || !out->write(" ") ||
        !out->writePadded(module->fileVersion(), 46) ||
        !out->writeFormatted(
            text,
            snprintf(text, sizeof(text), " Base: %08lX Size: %08X Timestamp: %08X\n",
                     static_cast<unsigned long>(module->base()), module->size(),
                     module->timestamp()),
            sizeof(text))) {
      return false;
    }
  }
  return true;
}

bool CrashLogWriter::writeMemoryDumps(const ProcessState& process, Output* out) {
  if (!out->write("\nMemory dumps:\n")) return false;
  std::unique_ptr<MemoryReader> reader = process.createMemoryReader();
  if (!reader) return false;
  char text[96];
  for (size_t index = 0; index < rangeCount_; ++index) {
    const MemoryRange& range = ranges_[index];
    // Memory is readable page by page: an unreadable first or one-past-last
    // byte means that the whole page holding it is unreadable.
    uint64_t start = range.start;
    uint64_t end = range.end;
    if (!process.isReadable(range.start)) start = (start | (kPageSize - 1)) + 1;
    if (!process.isReadable(range.end)) end &= ~static_cast<uint64_t>(kPageSize - 1);
    if (end <= start) continue;

    const uint32_t address = static_cast<uint32_t>(start);
    const uint32_t length = static_cast<uint32_t>(end - start);
    uint32_t bytesRead = 0;
    const uint8_t* data = reader->read(address, length, &bytesRead);
    reader->data = data;
    reader->address = address;
    reader->size = data != nullptr ? std::min(bytesRead, length) : 0;
    for (uint32_t offset = 0; offset < reader->size; offset += 16) {
      const uint32_t count = std::min<uint32_t>(16, reader->size - offset);
      char* p = appendHex8(text, address + offset);
      for (uint32_t position = 0; position < 16; ++position) {
        *p++ = ' ';
        if (position % 4 == 0) *p++ = ' ';
        if (position < count) {
          p = appendHex2(p, data[offset + position]);
        } else {
          *p++ = ' ';
          *p++ = ' ';
        }
      }
      p = appendTextColumn(p, data + offset, count);
      if (!out->write(text, static_cast<size_t>(p - text))) return false;
    }
    if (index + 1 < rangeCount_ && !out->write("\n")) return false;
  }
  return true;
}

}  // namespace tavra
