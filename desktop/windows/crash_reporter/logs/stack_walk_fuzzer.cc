// Feeds arbitrary registers, module spans, stack words and dumped bytes to
// the signature's walk, as a hostile crashed process might leave them: the
// walk may read nothing outside them, must end within its frame bound, and
// every frame it finds must be what the rule allows. The module index is
// checked against a plain first-match scan, and the signature text is made
// from the frames.
//
// Input: the architecture (one byte: odd for x86-64, even for x86), the
// instruction, stack and frame pointers, the stack's address and the dump's
// address (five little-endian words of the architecture's width), a module
// count (one byte, at most 16) and as many (base, size) pairs (the base of
// the architecture's width, the size 32-bit), a stack word count (two bytes,
// at most 2048) and as many words of the architecture's width; the rest is
// the dumped bytes.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/logs/crash_signature.h"
#include "desktop/windows/crash_reporter/logs/stack_walk.h"

namespace {

constexpr size_t kMostModules = 16;
constexpr size_t kMostWords = 2048;
const char* const kNames[] = {"app.exe", "ntdll.dll", "KERNEL32.DLL", "x\ny.dll"};

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  // A little-endian value of `bytes` bytes.
  uint64_t value(unsigned bytes) {
    uint64_t value = 0;
    for (unsigned i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(byte()) << (8 * i);
    return value;
  }
  uint8_t byte() { return offset_ < size_ ? data_[offset_++] : 0; }
  // The rest, copied to exactly its size so that the sanitizers see any
  // read past it.
  std::vector<uint8_t> rest() {
    return std::vector<uint8_t>(data_ + std::min(offset_, size_), data_ + size_);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};

struct Dump {
  uint64_t address;
  std::vector<uint8_t> bytes;
};

bool bytesBefore(void* context, uint64_t value, uint8_t* out, unsigned count) {
  const Dump& dump = *static_cast<const Dump*>(context);
  // Offsets from the dump's start, so that nothing wraps near 2^64.
  if (value < count || value - count < dump.address || value - dump.address > dump.bytes.size()) {
    return false;
  }
  memcpy(out, dump.bytes.data() + (value - count - dump.address), count);
  return true;
}

// Without wrapping: a module that reaches past 2^64 holds the addresses up
// to the top.
size_t firstModule(const std::vector<tavra::ModuleSpan>& modules, uint64_t address) {
  for (size_t i = 0; i < modules.size(); ++i) {
    if (modules[i].base <= address && address - modules[i].base < modules[i].size) return i;
  }
  return tavra::ModuleSpanIndex::kNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  tavra::StackWalkInput walk = {};
  walk.architecture =
      input.byte() % 2 != 0 ? tavra::Architecture::kX8664 : tavra::Architecture::kX86;
  const unsigned width = tavra::addressBytes(walk.architecture);
  walk.instructionPointer = input.value(width);
  walk.stackPointer = input.value(width);
  walk.framePointer = input.value(width);
  walk.stackAddress = input.value(width);
  Dump dump;
  dump.address = input.value(width);
  std::vector<tavra::ModuleSpan> modules(input.byte() % (kMostModules + 1));
  for (size_t i = 0; i < modules.size(); ++i) {
    modules[i].name = kNames[i % 4];
    modules[i].base = input.value(width);
    modules[i].size = static_cast<uint32_t>(input.value(4));
  }
  const size_t wordCount = (input.byte() | input.byte() << 8) % (kMostWords + 1);
  std::vector<uint64_t> words(wordCount);
  for (uint64_t& word : words) word = input.value(width);
  dump.bytes = input.rest();

  const tavra::ModuleSpanIndex index(modules.data(), modules.size());
  walk.words = words.data();
  walk.wordCount = words.size();
  walk.modules = &index;
  walk.bytesBefore = &bytesBefore;
  walk.bytesContext = &dump;
  const std::vector<tavra::StackFrame> frames = tavra::walkStack(walk);

  if (frames.empty() || frames.size() > tavra::kMaxFrames ||
      frames[0].address != walk.instructionPointer) {
    abort();
  }
  const unsigned callBytes = tavra::callBytes(walk.architecture);
  for (size_t i = 0; i < frames.size(); ++i) {
    const tavra::StackFrame& frame = frames[i];
    if (frame.module != firstModule(modules, frame.address)) abort();
    if (i == 0) continue;
    // Every later frame is a dumped stack word that follows a call.
    // A dumped stack word: below the top of the address space.
    bool isWord = false;
    for (size_t k = 0; k < words.size(); ++k) {
      const bool fits = (UINT64_MAX - walk.stackAddress) / width >= k &&
                        UINT64_MAX - (walk.stackAddress + width * k) >= width - 1;
      isWord = isWord || (fits && words[k] == frame.address);
    }
    uint8_t bytes[tavra::kMostCallBytes];
    if (!isWord || frame.module == tavra::ModuleSpanIndex::kNone ||
        !bytesBefore(&dump, frame.address, bytes, callBytes) ||
        !tavra::endsInCall(walk.architecture, bytes)) {
      abort();
    }
  }
  for (size_t k = 0; k < words.size() && k < 64; ++k) {
    if (index.find(words[k]) != firstModule(modules, words[k])) abort();
  }
  // The modules' edges, where a sweep that wrapped would go wrong.
  for (const tavra::ModuleSpan& module : modules) {
    for (uint64_t edge :
         {module.base - 1, module.base, module.base + module.size - 1, module.base + module.size}) {
      if (index.find(edge) != firstModule(modules, edge)) abort();
    }
  }
  const tavra::StackFrame exceptionFrame = {walk.instructionPointer,
                                            index.find(walk.instructionPointer),
                                            tavra::FrameSource::kInstructionPointer};
  const std::string head =
      tavra::signatureHead(nullptr, static_cast<uint32_t>(walk.instructionPointer));
  const std::string text = tavra::signatureText(head, frames, modules.data(), exceptionFrame);
  if (text.compare(0, head.size(), head) != 0 || text.find('\n') != std::string::npos) abort();
  return 0;
}
