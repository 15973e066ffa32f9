#include "desktop/windows/crash_reporter/logs/crash_log_writer.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "desktop/windows/crash_reporter/logs/crash_log_output.h"
#include "desktop/windows/crash_reporter/logs/crash_log_text.h"
#include "desktop/windows/crash_reporter/logs/register_block.h"
#include "desktop/windows/crash_reporter/logs/stack_extent.h"
#include "runtime/sha256_digest.h"

namespace tavra {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// An address of the crashed process with kTargetAddressDigits digits (8 on
// x86, 16 on x86-64), as the log writes every address.
char* appendHexAddress(char* out, TargetAddress value) {
  for (int shift = 4 * (kTargetAddressDigits - 1); shift >= 0; shift -= 4) {
    *out++ = kHexDigits[(value >> shift) & 0xF];
  }
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

bool blockContains(const MemoryReader& block, TargetAddress value) {
  return value >= block.address && value - block.address < block.size;
}

// In the address width, as the module list defines its code ranges: a module
// without one has a code end of 0 and so an empty range, and one whose end
// wraps past the top holds no address at all.
MemoryRange codeRangeOf(const ModuleInfo& module) {
  const TargetAddress codeStart = module.codeStart();
  return {codeStart, static_cast<TargetAddress>(codeStart + module.codeSize())};
}

// A stack line shows 16 bytes: 4 words of 4 bytes or 2 of 8, each slot a
// marker, the word's digits and a blank.
constexpr uint32_t kStackLineBytes = 16;
constexpr uint32_t kStackSlotWidth = 2 + 2 * kStackWordBytes;

}  // namespace

void CrashLogWriter::collectCodeRanges(const ProcessState& process) {
  const ModuleList& modules = process.modules();
  // Without memory for the list, every value scans the modules instead.
  codeRangesCollected_ = codeRanges_.clearWithCapacity(modules.size());
  if (!codeRangesCollected_) return;
  // Overlapping ranges become one, so that a lookup has one candidate.
  for (const auto& module : modules) {
    if (!module) continue;
    const MemoryRange code = codeRangeOf(*module);
    codeRanges_.add(code.start, code.end);
  }
}

bool CrashLogWriter::isInCode(const ProcessState& process, TargetAddress value) const {
  if (codeRangesCollected_) return codeRanges_.contains(value);
  for (const auto& module : process.modules()) {
    if (!module) continue;
    const MemoryRange code = codeRangeOf(*module);
    if (value >= code.start && value < code.end) return true;
  }
  return false;
}

uint64_t CrashLogWriter::addPointerRanges(const ProcessState& process, TargetAddress value) {
  if (value == 0) return 0;
  const TargetAddress radius = isInCode(process, value) ? kCodeRadius : kDataRadius;
  const TargetAddress start = value >= radius ? value - radius : 0;
  const TargetAddress end =
      value <= kTargetAddressMax - radius ? value + radius : kTargetAddressMax;
  // A range that is already dumped would add nothing, readable or not: the
  // question to the crashed process, the dearest step, is left out.
  if (ranges_.covers(start, end)) return 0;
  if (!process.isReadable(value)) return 0;
  const uint64_t before = ranges_.total();
  ranges_.add(start, end);
  return ranges_.total() - before;
}

bool CrashLogWriter::write(const ProcessState& process, const CrashMetadata& metadata,
                           const char* path) {
  ranges_.clear();
  crashedStackKept_ = false;
  crashedStackWords_.clear();
  moduleSpans_.clear();
  moduleIndex_.reset();
  codeBytes_.clear();
  signature_ = CrashSignature();
  if (path == nullptr) return false;
  collectCodeRanges(process);
  CrashLogOutput out;
  if (!out.open(path)) return false;

  char line[128];
  const ModuleInfo* mainModule = process.mainModule();
  // Every text that the crashed process or its files chose is escaped
  // (crash_log_text.h): none of it can end its line or start a section.
  bool written = out.write("TAVRA-CRASHLOG V1 desktop ") &&
                 writeCrashLogText(&out, metadata.version) && out.write(" ") &&
                 writeCrashLogText(&out, metadata.build) && out.write(" windows  release\n") &&
                 (mainModule != nullptr ? writeCrashLogText(&out, mainModule->name())
                                        : out.write("<no name>")) &&
                 out.write(" caused exception ");
  if (written) {
    if (process.exceptionName() != nullptr) {
      written = writeCrashLogText(&out, process.exceptionName());
    } else {
      written = out.writeFormatted(
          line, snprintf(line, sizeof(line), "%X", static_cast<unsigned>(process.exceptionCode())),
          sizeof(line));
    }
  }
  // Then the architecture, so that a reader knows the width of what follows
  // before it reaches the registers.
  if (written) {
    char* const base = appendHexAddress(line, process.exceptionAddress());
    appendHexAddress(base, mainModule != nullptr ? mainModule->base() : 0);
    written = out.write(" at address ") && out.write(line, kTargetAddressDigits) &&
              out.write(" (Base: ") && out.write(base, kTargetAddressDigits) &&
              out.write(")\nArchitecture: ") && out.write(architectureName(kTargetArchitecture)) &&
              out.write("\n");
  }

  if (written && !metadata.entries.empty()) {
    written = out.write("\nmetadata:\n");
    for (const MetadataEntry& entry : metadata.entries) {
      if (!written) break;
      written = writeCrashLogText(&out, entry.first) && out.write("=\"") &&
                writeCrashLogText(&out, entry.second) && out.write("\"\n");
    }
  }

  written = written && writeThreads(process, &out) && writeModules(process, &out);
  if (written) collectSignatureInputs(process);
  written = written && writeMemoryDumps(process, &out);
  const bool closed = out.close();
  if (written && closed) {
    computeSignature(process);
    return true;
  }
  // A failed write has no signature, and is not signed again.
  moduleIndex_.reset();
  remove(path);
  return false;
}

bool CrashLogWriter::writeThreads(const ProcessState& process, CrashLogOutput* out) {
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
                                 CrashLogOutput* out) {
  std::unique_ptr<MemoryReader> block = process.createMemoryReader();
  if (!block) return false;
  readStackBlock(thread, block.get());

  ThreadBudget budget(thread.isCrashed(), ranges_.total(), isLast);
  auto checkValue = [&](TargetAddress value) {
    if (!blockContains(*block, value)) budget.spend(addPointerRanges(process, value));
  };

  const RegisterSet& registers = thread.registers();
  TargetAddress checked[kCheckedRegisterCount];
  checkedRegisters(registers, checked);
  uint32_t registersChecked = 0;
  for (TargetAddress value : checked) {
    if (!budget.isLeft()) break;
    ++registersChecked;
    checkValue(value);
  }
  const uint32_t words = block->size / kStackWordBytes;
  uint32_t wordsChecked = 0;
  for (uint32_t offset = 0; wordsChecked < words; offset += kStackWordBytes) {
    if (!budget.isLeft()) break;
    ++wordsChecked;
    checkValue(stackWordAt(block->data, offset));
  }

  // Room for the x86-64 register block, the longest text of a thread section.
  char text[1024];
  const uint32_t id = thread.threadId();
  if (!out->writeFormatted(
          text,
          snprintf(text, sizeof(text),
                   "\nThread: %08X\n\nThreadInfo: %08X\nPriority=%08X\nCrashed=%d\n"
                   "checked_context_values=%lu%s\nchecked_stack_values=%lu%s\n",
                   id, id, static_cast<uint32_t>(thread.priority()), thread.isCrashed() ? 1 : 0,
                   static_cast<unsigned long>(registersChecked),
                   registersChecked == kCheckedRegisterCount ? " (all)" : "",
                   static_cast<unsigned long>(wordsChecked), wordsChecked == words ? " (all)" : ""),
          sizeof(text))) {
    return false;
  }
  if (!out->writeFormatted(text, formatRegisterBlock(text, sizeof(text), id, registers),
                           sizeof(text))) {
    return false;
  }

  if (!out->writeFormatted(text, snprintf(text, sizeof(text), "\nStack dump: %08X\n", id),
                           sizeof(text))) {
    return false;
  }
  if (thread.isCrashed() && !crashedStackKept_) keepCrashedStack(registers, *block);
  // The saved frame pointers along the chain are marked: each marked word
  // names the next one to mark.
  TargetAddress marked = framePointer(registers);
  for (uint32_t offset = 0; offset < block->size; offset += kStackLineBytes) {
    char* end = appendHexAddress(text, block->address + offset);
    *end++ = ' ';
    for (uint32_t slot = 0; slot < kStackLineBytes / kStackWordBytes; ++slot) {
      const uint32_t wordOffset = offset + kStackWordBytes * slot;
      if (wordOffset + kStackWordBytes > block->size) {
        memset(end, ' ', kStackSlotWidth);
        end += kStackSlotWidth;
        continue;
      }
      const TargetAddress value = stackWordAt(block->data, wordOffset);
      if (block->address + wordOffset == marked) {
        *end++ = '>';
        marked = value;
      } else {
        *end++ = ' ';
      }
      end = appendHexAddress(end, value);
      *end++ = ' ';
    }
    end = appendTextColumn(end, block->data + offset,
                           std::min<uint32_t>(kStackLineBytes, block->size - offset));
    if (!out->write(text, static_cast<size_t>(end - text))) return false;
  }
  return true;
}

bool CrashLogWriter::writeModules(const ProcessState& process, CrashLogOutput* out) {
  if (!out->write("\nUsed DLLs:\n")) return false;
  char text[96];
  for (const auto& module : process.modules()) {
    if (!module) continue;
    if (!writeCrashLogTextPadded(out, module->name(), 26) || !out->write(" ") ||
        !writeCrashLogTextPadded(out, module->fileVersion(), 46) || !out->write(" Base: ") ||
        !out->write(text, static_cast<size_t>(appendHexAddress(text, module->base()) - text)) ||
        !out->writeFormatted(text,
                             snprintf(text, sizeof(text), " Size: %08X Timestamp: %08X\n",
                                      module->size(), module->timestamp()),
                             sizeof(text))) {
      return false;
    }
  }
  return true;
}

bool CrashLogWriter::writeMemoryDumps(const ProcessState& process, CrashLogOutput* out) {
  if (!out->write("\nMemory dumps:\n")) return false;
  std::unique_ptr<MemoryReader> reader = process.createMemoryReader();
  if (!reader) return false;
  char text[96];
  size_t nextCodeBytes = 0;
  for (const MemoryRange* range = ranges_.begin(); range != ranges_.end(); ++range) {
    // Memory is readable page by page: an unreadable first or one-past-last
    // byte means that the whole page holding it is unreadable.
    // The last page of the address space has no page after it.
    constexpr TargetAddress kPageMask = kPageSize - 1;
    TargetAddress start = range->start;
    TargetAddress end = range->end;
    if (!process.isReadable(start)) {
      if ((start | kPageMask) == kTargetAddressMax) continue;
      start = (start | kPageMask) + 1;
    }
    if (!process.isReadable(end)) end &= ~kPageMask;
    if (end <= start) continue;

    const TargetAddress address = start;
    // A range is the union of ranges around the values of at most
    // kThreadLimit threads' registers and stacks, far below 4 GiB.
    const uint32_t length = static_cast<uint32_t>(end - start);
    uint32_t bytesRead = 0;
    const uint8_t* data = reader->read(address, length, &bytesRead);
    reader->data = data;
    reader->address = address;
    reader->size = data != nullptr ? std::min(bytesRead, length) : 0;
    copyCodeBytes(address, data, reader->size, &nextCodeBytes);
    for (uint32_t offset = 0; offset < reader->size; offset += 16) {
      const uint32_t count = std::min<uint32_t>(16, reader->size - offset);
      char* p = appendHexAddress(text, address + offset);
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
    if (range + 1 != ranges_.end() && !out->write("\n")) return false;
  }
  return true;
}

void CrashLogWriter::keepCrashedStack(const RegisterSet& registers, const MemoryReader& block) {
  crashedStackKept_ = true;
  crashedInstructionPointer_ = instructionPointer(registers);
  crashedStackPointer_ = stackPointer(registers);
  crashedFramePointer_ = framePointer(registers);
  crashedStackAddress_ = block.address;
  // The words that the stack dump writes: whole words only.
  const uint32_t words = block.size / kStackWordBytes;
  crashedStackWords_.resize(words);
  for (uint32_t k = 0; k < words; ++k) {
    crashedStackWords_[k] = stackWordAt(block.data, kStackWordBytes * k);
  }
}

void CrashLogWriter::collectSignatureInputs(const ProcessState& process) {
  // The module list as the log writes it.
  for (const auto& module : process.modules()) {
    if (module) moduleSpans_.push_back({module->name(), module->base(), module->size()});
  }
  moduleIndex_.reset(new ModuleSpanIndex(moduleSpans_.data(), moduleSpans_.size()));
  // Only a word in a module can be a return address.
  std::vector<TargetAddress> values;
  for (uint64_t word : crashedStackWords_) {
    if (word >= kCallBytes && moduleIndex_->find(word) != ModuleSpanIndex::kNone) {
      values.push_back(static_cast<TargetAddress>(word));
    }
  }
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
  codeBytes_.resize(values.size());
  for (size_t i = 0; i < values.size(); ++i) codeBytes_[i] = {values[i], false, {}};
}

void CrashLogWriter::copyCodeBytes(TargetAddress address, const uint8_t* data, uint32_t size,
                                   size_t* next) {
  // Ranges are disjoint and come in increasing order, as the values do: a
  // value whose bytes start before this range is in no later one. The range
  // ends at or below the top of the address space: its end does not wrap.
  const TargetAddress end = address + size;
  for (; *next < codeBytes_.size(); ++*next) {
    CodeBytes& entry = codeBytes_[*next];
    if (entry.value - kCallBytes < address) continue;
    if (entry.value > end) return;
    memcpy(entry.bytes, data + (entry.value - kCallBytes - address), kCallBytes);
    entry.found = true;
  }
}

bool CrashLogWriter::codeBytesBefore(void* context, uint64_t value, uint8_t* bytes,
                                     unsigned count) {
  const std::vector<CodeBytes>& codeBytes = static_cast<CrashLogWriter*>(context)->codeBytes_;
  auto it = std::lower_bound(
      codeBytes.begin(), codeBytes.end(), value,
      [](const CodeBytes& entry, uint64_t wanted) { return entry.value < wanted; });
  if (count != kCallBytes || it == codeBytes.end() || it->value != value || !it->found) {
    return false;
  }
  memcpy(bytes, it->bytes, kCallBytes);
  return true;
}

void CrashLogWriter::computeSignature(const ProcessState& process) {
  // No module list kept: no write, or the last one failed.
  if (!moduleIndex_) return;
  std::vector<StackFrame> frames;
  if (crashedStackKept_) {
    StackWalkInput input = {};
    input.architecture = kTargetArchitecture;
    input.instructionPointer = crashedInstructionPointer_;
    input.stackPointer = crashedStackPointer_;
    input.framePointer = crashedFramePointer_;
    input.stackAddress = crashedStackAddress_;
    input.words = crashedStackWords_.data();
    input.wordCount = crashedStackWords_.size();
    input.modules = moduleIndex_.get();
    input.bytesBefore = &CrashLogWriter::codeBytesBefore;
    input.bytesContext = this;
    frames = walkStack(input);
  }
  const TargetAddress exceptionAddress = process.exceptionAddress();
  const StackFrame exceptionFrame = {exceptionAddress, moduleIndex_->find(exceptionAddress),
                                     FrameSource::kInstructionPointer};
  signature_.text = signatureText(signatureHead(process.exceptionName(), process.exceptionCode()),
                                  frames, moduleSpans_.data(), exceptionFrame);
  signature_.shortHash = sha256HexPrefix(signature_.text, kSignatureHashDigits);
}

}  // namespace tavra
