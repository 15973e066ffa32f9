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

// What the walk needs to know of one stack word, found once per walk.
struct WordFacts {
  bool returnAddress = false;
  uint8_t bytes[7];  // the bytes before it, for a return address
};

class Walk {
 public:
  explicit Walk(const StackWalkInput& input) : in_(input), facts_(input.wordCount) {
    for (size_t k = 0; k < in_.wordCount; ++k) classify(in_.words[k], &facts_[k]);
  }

  std::vector<StackFrame> run() {
    std::vector<StackFrame> frames;
    frames.reserve(kMaxFrames);
    uint64_t pc = in_.eip;
    uint64_t next = in_.esp;
    uint64_t fp = in_.ebp;
    bool fpValid = true;
    const size_t eipModule = in_.modules->find(in_.eip);
    frames.push_back({in_.eip, eipModule, FrameSource::kInstructionPointer});

    size_t top = 0;
    if (eipModule == ModuleSpanIndex::kNone && wordIndex(in_.esp, &top) &&
        facts_[top].returnAddress) {
      add(&frames, in_.words[top], FrameSource::kStackTop);
      pc = in_.words[top];
      next = static_cast<uint64_t>(in_.esp) + 4;
    }

    while (frames.size() < kMaxFrames) {
      size_t saved = 0;
      size_t returned = 0;
      const bool candidate = fpValid && fp % 4 == 0 && fp >= next && wordIndex(fp, &saved) &&
                             wordIndex(fp + 4, &returned) && facts_[returned].returnAddress;
      const uint64_t scanEnd = candidate ? fp + 4 : dumpEnd();
      size_t found = 0;
      if (scan(next, scanEnd, static_cast<uint32_t>(pc), true, &found)) {
        pc = in_.words[found];
        next = addressOf(found) + 4;
        add(&frames, in_.words[found], FrameSource::kStackScan);
      } else if (candidate) {
        pc = in_.words[returned];
        next = fp + 8;
        add(&frames, in_.words[returned], FrameSource::kFramePointer);
        const uint32_t savedFp = in_.words[saved];
        if (savedFp > fp) {
          fp = savedFp;
        } else {
          fpValid = false;
        }
      } else if (scan(next, dumpEnd(), 0, false, &found)) {
        pc = in_.words[found];
        next = addressOf(found) + 4;
        add(&frames, in_.words[found], FrameSource::kStackScan);
      } else {
        break;
      }
    }
    return frames;
  }

 private:
  void classify(uint32_t value, WordFacts* facts) const {
    facts->returnAddress = value >= 7 && in_.modules->find(value) != ModuleSpanIndex::kNone &&
                           in_.bytesBefore != nullptr &&
                           in_.bytesBefore(in_.bytesContext, value, facts->bytes) &&
                           endsInCall(facts->bytes);
  }

  void add(std::vector<StackFrame>* frames, uint32_t address, FrameSource source) const {
    frames->push_back({address, in_.modules->find(address), source});
  }

  uint64_t addressOf(size_t index) const {
    return in_.stackAddress + 4 * static_cast<uint64_t>(index);
  }
  uint64_t dumpEnd() const { return addressOf(in_.wordCount); }

  // Whether `address` is a dumped word, and which.
  bool wordIndex(uint64_t address, size_t* index) const {
    if (address < in_.stackAddress) return false;
    const uint64_t offset = address - in_.stackAddress;
    if (offset % 4 != 0 || offset / 4 >= in_.wordCount) return false;
    *index = static_cast<size_t>(offset / 4);
    return true;
  }

  // The first dumped word at an address in [from, to) that is a return
  // address and, with `intoPc`, whose direct call went to the function of
  // `pc`.
  bool scan(uint64_t from, uint64_t to, uint32_t pc, bool intoPc, size_t* found) const {
    uint64_t first = 0;
    if (from > in_.stackAddress) first = (from - in_.stackAddress + 3) / 4;
    for (uint64_t k = first; k < in_.wordCount && addressOf(static_cast<size_t>(k)) < to; ++k) {
      const size_t index = static_cast<size_t>(k);
      if (!facts_[index].returnAddress) continue;
      if (intoPc && !callsInto(in_.words[index], facts_[index].bytes, pc)) continue;
      *found = index;
      return true;
    }
    return false;
  }

  const StackWalkInput& in_;
  std::vector<WordFacts> facts_;
};

}  // namespace

ModuleSpanIndex::ModuleSpanIndex(const ModuleSpan* modules, size_t count) {
  // A sweep over the modules' starts and ends: between two neighbouring
  // boundaries, the piece belongs to the first module (lowest position) of
  // those that cover it.
  struct Boundary {
    uint64_t at;
    size_t module;
    bool start;
  };
  std::vector<Boundary> boundaries;
  boundaries.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    if (modules[i].size == 0) continue;
    boundaries.push_back({modules[i].base, i, true});
    boundaries.push_back({static_cast<uint64_t>(modules[i].base) + modules[i].size, i, false});
  }
  std::sort(boundaries.begin(), boundaries.end(),
            [](const Boundary& a, const Boundary& b) { return a.at < b.at; });
  std::set<size_t> covering;
  for (size_t i = 0; i < boundaries.size();) {
    const uint64_t at = boundaries[i].at;
    for (; i < boundaries.size() && boundaries[i].at == at; ++i) {
      if (boundaries[i].start) {
        covering.insert(boundaries[i].module);
      } else {
        covering.erase(boundaries[i].module);
      }
    }
    if (covering.empty() || i == boundaries.size()) continue;
    const size_t module = *covering.begin();
    if (!pieces_.empty() && pieces_.back().end == at && pieces_.back().module == module) {
      pieces_.back().end = boundaries[i].at;
    } else {
      pieces_.push_back({at, boundaries[i].at, module});
    }
  }
}

size_t ModuleSpanIndex::find(uint32_t address) const {
  // The last piece that starts at or before the address.
  auto it =
      std::upper_bound(pieces_.begin(), pieces_.end(), static_cast<uint64_t>(address),
                       [](uint64_t value, const Piece& piece) { return value < piece.start; });
  if (it == pieces_.begin()) return kNone;
  --it;
  return address < it->end ? it->module : kNone;
}

bool endsInCall(const uint8_t b[7]) {
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

bool callsInto(uint32_t value, const uint8_t b[7], uint32_t pc) {
  if (b[2] != 0xE8) return false;
  const uint32_t target =
      value + (static_cast<uint32_t>(b[3]) | static_cast<uint32_t>(b[4]) << 8 |
               static_cast<uint32_t>(b[5]) << 16 | static_cast<uint32_t>(b[6]) << 24);
  return target <= pc && pc < static_cast<uint64_t>(target) + kCalledFunctionSpan;
}

std::vector<StackFrame> walkStack(const StackWalkInput& input) { return Walk(input).run(); }

}  // namespace tavra
