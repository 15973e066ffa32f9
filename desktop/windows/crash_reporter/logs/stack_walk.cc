#include "desktop/windows/crash_reporter/logs/stack_walk.h"

#include <algorithm>
#include <set>

namespace tavra {
namespace {

// A direct call's target function is taken to span this much from the
// target: a return address that "calls into" pc says the caller called the
// function that holds pc.
constexpr uint64_t kCalledFunctionSpan = 0x10000;

inline uint32_t modOf(uint8_t m) { return m >> 6; }
inline uint32_t regOf(uint8_t m) { return (m >> 3) & 7; }
inline uint32_t rmOf(uint8_t m) { return m & 7; }

// Adds without wrapping: false when the sum would pass the top of the 64-bit
// space.
inline bool addWithin(uint64_t a, uint64_t b, uint64_t* sum) {
  if (a > UINT64_MAX - b) return false;
  *sum = a + b;
  return true;
}

// What the walk needs to know of one stack word, found once per walk.
struct WordFacts {
  bool returnAddress = false;
  uint8_t bytes[kMostCallBytes];  // the bytes before it, for a return address
};

class Walk {
 public:
  explicit Walk(const StackWalkInput& input)
      : in_(input),
        wordBytes_(addressBytes(input.architecture)),
        callBytes_(callBytes(input.architecture)),
        wordCount_(std::min<uint64_t>(input.wordCount, wordsBelowTop())),
        facts_(wordCount_) {
    for (size_t k = 0; k < wordCount_; ++k) classify(in_.words[k], &facts_[k]);
  }

  std::vector<StackFrame> run() {
    std::vector<StackFrame> frames;
    frames.reserve(kMaxFrames);
    uint64_t pc = in_.instructionPointer;
    uint64_t next = in_.stackPointer;
    uint64_t fp = in_.framePointer;
    bool fpValid = true;
    const size_t ipModule = in_.modules->find(in_.instructionPointer);
    frames.push_back({in_.instructionPointer, ipModule, FrameSource::kInstructionPointer});

    size_t top = 0;
    if (ipModule == ModuleSpanIndex::kNone && wordIndex(in_.stackPointer, &top) &&
        facts_[top].returnAddress) {
      add(&frames, in_.words[top], FrameSource::kStackTop);
      pc = in_.words[top];
      // Past the top of the address space nothing is left to find.
      if (!addWithin(in_.stackPointer, wordBytes_, &next)) return frames;
    }

    while (frames.size() < kMaxFrames) {
      size_t saved = 0;
      const bool candidate = fpValid && fp % wordBytes_ == 0 && fp >= next &&
                             wordIndex(fp, &saved) && saved + 1 < wordCount_ &&
                             facts_[saved + 1].returnAddress;
      const size_t returned = saved + 1;
      size_t found = 0;
      uint64_t frameEnd = 0;
      if (scan(next, candidate ? returned : wordCount_, pc, true, &found)) {
        pc = in_.words[found];
        add(&frames, in_.words[found], FrameSource::kStackScan);
        frameEnd = addressOf(found);
      } else if (candidate) {
        pc = in_.words[returned];
        add(&frames, in_.words[returned], FrameSource::kFramePointer);
        frameEnd = addressOf(returned);
        const uint64_t savedFp = in_.words[saved];
        if (savedFp > fp) {
          fp = savedFp;
        } else {
          fpValid = false;
        }
      } else if (scan(next, wordCount_, 0, false, &found)) {
        pc = in_.words[found];
        add(&frames, in_.words[found], FrameSource::kStackScan);
        frameEnd = addressOf(found);
      } else {
        break;
      }
      // The next word after the frame's return address; none past the top.
      if (!addWithin(frameEnd, wordBytes_, &next)) break;
    }
    return frames;
  }

 private:
  // How many words fit at stackAddress below the top of the architecture's
  // address space (2^32 or 2^64): a word that would pass it is no dumped word.
  uint64_t wordsBelowTop() const {
    const uint64_t top = wordBytes_ == 8 ? UINT64_MAX : uint64_t{0xFFFFFFFF};
    const uint64_t lastStart = top - (wordBytes_ - 1);
    if (in_.stackAddress > lastStart) return 0;
    return (lastStart - in_.stackAddress) / wordBytes_ + 1;
  }

  void classify(uint64_t value, WordFacts* facts) const {
    facts->returnAddress = value >= callBytes_ &&
                           in_.modules->find(value) != ModuleSpanIndex::kNone &&
                           in_.bytesBefore != nullptr &&
                           in_.bytesBefore(in_.bytesContext, value, facts->bytes, callBytes_) &&
                           endsInCall(in_.architecture, facts->bytes);
  }

  void add(std::vector<StackFrame>* frames, uint64_t address, FrameSource source) const {
    frames->push_back({address, in_.modules->find(address), source});
  }

  // Below the top for every index below wordCount_.
  uint64_t addressOf(size_t index) const {
    return in_.stackAddress + wordBytes_ * static_cast<uint64_t>(index);
  }

  // Whether `address` is a dumped word, and which.
  bool wordIndex(uint64_t address, size_t* index) const {
    if (address < in_.stackAddress) return false;
    const uint64_t offset = address - in_.stackAddress;
    if (offset % wordBytes_ != 0 || offset / wordBytes_ >= wordCount_) return false;
    *index = static_cast<size_t>(offset / wordBytes_);
    return true;
  }

  // The first dumped word at an address at or above `from`, below the word
  // `endIndex`, that is a return address and, with `intoPc`, whose direct
  // call went to the function of `pc`.
  bool scan(uint64_t from, size_t endIndex, uint64_t pc, bool intoPc, size_t* found) const {
    uint64_t first = 0;
    if (from > in_.stackAddress) {
      const uint64_t offset = from - in_.stackAddress;
      first = offset / wordBytes_ + (offset % wordBytes_ != 0 ? 1 : 0);
    }
    for (uint64_t k = first; k < endIndex; ++k) {
      const size_t index = static_cast<size_t>(k);
      if (!facts_[index].returnAddress) continue;
      if (intoPc && !callsInto(in_.architecture, in_.words[index], facts_[index].bytes, pc)) {
        continue;
      }
      *found = index;
      return true;
    }
    return false;
  }

  const StackWalkInput& in_;
  const unsigned wordBytes_;
  const unsigned callBytes_;
  const size_t wordCount_;
  std::vector<WordFacts> facts_;
};

// Whether the 7 bytes `b` end in one of the six call forms.
bool endsInX86Call(const uint8_t b[7]) {
  // call rel32
  if (b[2] == 0xE8) return true;
  // call r/m32 (FF /2) of 2, 3, 4, 6 and 7 bytes, by its ModRM (and SIB).
  if (b[5] == 0xFF && regOf(b[6]) == 2 &&
      (modOf(b[6]) == 3 || (modOf(b[6]) == 0 && rmOf(b[6]) != 4 && rmOf(b[6]) != 5))) {
    return true;
  }
  if (b[4] == 0xFF && regOf(b[5]) == 2 &&
      ((modOf(b[5]) == 1 && rmOf(b[5]) != 4) ||
       (modOf(b[5]) == 0 && rmOf(b[5]) == 4 && (b[6] & 7) != 5))) {
    return true;
  }
  if (b[3] == 0xFF && regOf(b[4]) == 2 && modOf(b[4]) == 1 && rmOf(b[4]) == 4) return true;
  if (b[1] == 0xFF && regOf(b[2]) == 2 &&
      ((modOf(b[2]) == 0 && rmOf(b[2]) == 5) || (modOf(b[2]) == 2 && rmOf(b[2]) != 4))) {
    return true;
  }
  return b[0] == 0xFF && regOf(b[1]) == 2 &&
         ((modOf(b[1]) == 2 && rmOf(b[1]) == 4) ||
          (modOf(b[1]) == 0 && rmOf(b[1]) == 4 && (b[2] & 7) == 5));
}

}  // namespace

ModuleSpanIndex::ModuleSpanIndex(const ModuleSpan* modules, size_t count) {
  // A sweep over the modules' starts and ends: between two neighbouring
  // boundaries, the piece belongs to the first module (lowest position) of
  // those that cover it. A module that reaches past the top of the 64-bit
  // space ends at the top: its end boundary is "past the top", after every
  // address.
  struct Boundary {
    uint64_t at;
    bool pastTop;
    size_t module;
    bool start;
  };
  std::vector<Boundary> boundaries;
  boundaries.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    if (modules[i].size == 0) continue;
    uint64_t end = 0;
    const bool pastTop = !addWithin(modules[i].base, modules[i].size, &end);
    boundaries.push_back({modules[i].base, false, i, true});
    boundaries.push_back({end, pastTop, i, false});
  }
  auto before = [](const Boundary& a, const Boundary& b) {
    return a.pastTop != b.pastTop ? b.pastTop : a.at < b.at;
  };
  std::sort(boundaries.begin(), boundaries.end(), before);
  std::set<size_t> covering;
  for (size_t i = 0; i < boundaries.size();) {
    const Boundary& here = boundaries[i];
    for (; i < boundaries.size() && !before(here, boundaries[i]); ++i) {
      if (boundaries[i].start) {
        covering.insert(boundaries[i].module);
      } else {
        covering.erase(boundaries[i].module);
      }
    }
    // Only ends are past the top: nothing follows them.
    if (covering.empty() || i == boundaries.size()) continue;
    const size_t module = *covering.begin();
    const uint64_t first = here.at;
    const uint64_t last = boundaries[i].pastTop ? UINT64_MAX : boundaries[i].at - 1;
    if (!pieces_.empty() && pieces_.back().last != UINT64_MAX && pieces_.back().last + 1 == first &&
        pieces_.back().module == module) {
      pieces_.back().last = last;
    } else {
      pieces_.push_back({first, last, module});
    }
  }
}

size_t ModuleSpanIndex::find(uint64_t address) const {
  // The last piece that starts at or before the address.
  auto it =
      std::upper_bound(pieces_.begin(), pieces_.end(), address,
                       [](uint64_t value, const Piece& piece) { return value < piece.first; });
  if (it == pieces_.begin()) return kNone;
  --it;
  return address <= it->last ? it->module : kNone;
}

bool endsInCall(Architecture architecture, const uint8_t* bytes) {
  // On x86-64 the six forms end the 8 bytes the same way: a REX prefix
  // (40 to 4F) before the FF of forms 2 to 6 makes the instruction one byte
  // longer, and its last bytes are those of the form. FF 15 disp32 is
  // RIP-relative there, with the same bytes.
  return endsInX86Call(architecture == Architecture::kX8664 ? bytes + 1 : bytes);
}

bool callsInto(Architecture architecture, uint64_t value, const uint8_t* bytes, uint64_t pc) {
  // The 7 bytes that end in the call.
  const uint8_t* b = architecture == Architecture::kX8664 ? bytes + 1 : bytes;
  if (b[2] != 0xE8) return false;
  const uint32_t relative = static_cast<uint32_t>(b[3]) | static_cast<uint32_t>(b[4]) << 8 |
                            static_cast<uint32_t>(b[5]) << 16 | static_cast<uint32_t>(b[6]) << 24;
  // The target wraps around the address space, as the processor's does.
  uint64_t target = 0;
  if (architecture == Architecture::kX8664) {
    target = value + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(relative)));
  } else {
    target = static_cast<uint32_t>(value + relative);
  }
  // The function's span does not wrap.
  return target <= pc && pc - target < kCalledFunctionSpan;
}

std::vector<StackFrame> walkStack(const StackWalkInput& input) { return Walk(input).run(); }

}  // namespace tavra
