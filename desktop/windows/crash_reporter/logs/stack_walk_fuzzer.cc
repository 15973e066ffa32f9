// Feeds arbitrary registers, module spans, stack words and dumped bytes to
// the signature's walk, as a hostile crashed process might leave them: the
// walk may read nothing outside them, must end within its frame bound, and
// every frame it finds must be what the rule allows. The module index is
// checked against a plain first-match scan, and the signature text is made
// from the frames.
//
// Input: EIP, ESP, EBP, the stack's address and the dump's address (five
// little-endian words), a module count (one byte, at most 16) and as many
// (base, size) pairs, a stack word count (two bytes, at most 2048) and as
// many words; the rest is the dumped bytes.
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
  uint32_t word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(byte()) << (8 * i);
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
  uint32_t address;
  std::vector<uint8_t> bytes;
};

bool bytesBefore(void* context, uint32_t value, uint8_t out[7]) {
  const Dump& dump = *static_cast<const Dump*>(context);
  const uint64_t start = static_cast<uint64_t>(value) - 7;
  if (value < 7 || start < dump.address || value > dump.address + uint64_t{dump.bytes.size()}) {
    return false;
  }
  memcpy(out, dump.bytes.data() + (start - dump.address), 7);
  return true;
}

size_t firstModule(const std::vector<tavra::ModuleSpan>& modules, uint32_t address) {
  for (size_t i = 0; i < modules.size(); ++i) {
    if (modules[i].base <= address && address < uint64_t{modules[i].base} + modules[i].size) {
      return i;
    }
  }
  return tavra::ModuleSpanIndex::kNone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  tavra::StackWalkInput walk = {};
  walk.eip = input.word();
  walk.esp = input.word();
  walk.ebp = input.word();
  walk.stackAddress = input.word();
  Dump dump;
  dump.address = input.word();
  std::vector<tavra::ModuleSpan> modules(input.byte() % (kMostModules + 1));
  for (size_t i = 0; i < modules.size(); ++i) {
    modules[i].name = kNames[i % 4];
    modules[i].base = input.word();
    modules[i].size = input.word();
  }
  const size_t wordCount = (input.byte() | input.byte() << 8) % (kMostWords + 1);
  std::vector<uint32_t> words(wordCount);
  for (uint32_t& word : words) word = input.word();
  dump.bytes = input.rest();

  const tavra::ModuleSpanIndex index(modules.data(), modules.size());
  walk.words = words.data();
  walk.wordCount = words.size();
  walk.modules = &index;
  walk.bytesBefore = &bytesBefore;
  walk.bytesContext = &dump;
  const std::vector<tavra::StackFrame> frames = tavra::walkStack(walk);

  if (frames.empty() || frames.size() > tavra::kMaxFrames || frames[0].address != walk.eip) abort();
  for (size_t i = 0; i < frames.size(); ++i) {
    const tavra::StackFrame& frame = frames[i];
    if (frame.module != firstModule(modules, frame.address)) abort();
    if (i == 0) continue;
    // Every later frame is a dumped stack word that follows a call.
    bool isWord = false;
    for (uint32_t word : words) isWord = isWord || word == frame.address;
    uint8_t bytes[7];
    if (!isWord || frame.module == tavra::ModuleSpanIndex::kNone ||
        !bytesBefore(&dump, frame.address, bytes) || !tavra::endsInCall(bytes)) {
      abort();
    }
  }
  for (size_t k = 0; k < words.size() && k < 64; ++k) {
    if (index.find(words[k]) != firstModule(modules, words[k])) abort();
  }
  const tavra::StackFrame exceptionFrame = {walk.eip, index.find(walk.eip),
                                            tavra::FrameSource::kInstructionPointer};
  const std::string head = tavra::signatureHead(nullptr, walk.eip);
  const std::string text = tavra::signatureText(head, frames, modules.data(), exceptionFrame);
  if (text.compare(0, head.size(), head) != 0 || text.find('\n') != std::string::npos) abort();
  return 0;
}
