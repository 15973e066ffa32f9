#include "desktop/windows/crash_reporter/logs/stack_walk.h"

#include <gtest/gtest.h>

#include <map>
#include <utility>
#include <vector>

namespace tavra {
namespace {

constexpr uint32_t kStack = 0x0012F000;
// The product's module, a system DLL, and a module that ends at 2^32.
const ModuleSpan kModules[] = {
    {"app.exe", 0x00400000, 0x10000},
    {"ntdll.dll", 0x7C900000, 0x10000},
    {"top.dll", 0xFFFF0000, 0x10000},
};

using Frames = std::vector<std::pair<uint32_t, FrameSource>>;
constexpr FrameSource kIp = FrameSource::kInstructionPointer;
constexpr FrameSource kTop = FrameSource::kStackTop;
constexpr FrameSource kFp = FrameSource::kFramePointer;
constexpr FrameSource kScan = FrameSource::kStackScan;

// The dumped bytes, byte by byte, and a stack of words.
struct Crash {
  std::map<uint32_t, uint8_t> dumped;
  uint32_t eip = 0;
  uint32_t esp = kStack;
  uint32_t ebp = 0;
  uint32_t stackAddress = kStack;
  std::vector<uint32_t> words;

  // The bytes `tail` end just before `returnAddress`; the 7 bytes before it
  // are dumped, filled in front with NOPs (no call form uses 0x90).
  void code(uint32_t returnAddress, std::vector<uint8_t> tail) {
    while (tail.size() < 7) tail.insert(tail.begin(), 0x90);
    for (size_t i = 0; i < 7; ++i) dumped[returnAddress - 7 + static_cast<uint32_t>(i)] = tail[i];
  }
  // A direct call to `target` that returns to `returnAddress`.
  void directCall(uint32_t returnAddress, uint32_t target) {
    const uint32_t relative = target - returnAddress;
    code(returnAddress,
         {0xE8, static_cast<uint8_t>(relative), static_cast<uint8_t>(relative >> 8),
          static_cast<uint8_t>(relative >> 16), static_cast<uint8_t>(relative >> 24)});
  }
  void set(uint32_t address, uint32_t value) {
    const size_t index = (address - stackAddress) / 4;
    if (words.size() <= index) words.resize(index + 1);
    words[index] = value;
  }

  static bool bytesBefore(void* context, uint32_t value, uint8_t bytes[7]) {
    const auto& dumped = static_cast<Crash*>(context)->dumped;
    for (uint32_t i = 0; i < 7; ++i) {
      auto it = dumped.find(value - 7 + i);
      if (it == dumped.end()) return false;
      bytes[i] = it->second;
    }
    return true;
  }

  Frames walk() {
    const ModuleSpanIndex index(kModules, 3);
    const StackWalkInput input = {
        eip, esp, ebp, stackAddress, words.data(), words.size(), &index, &Crash::bytesBefore, this};
    Frames frames;
    for (const StackFrame& frame : walkStack(input)) {
      frames.push_back({frame.address, frame.source});
      EXPECT_EQ(frame.module, index.find(frame.address));
    }
    return frames;
  }
};

TEST(StackWalk, FindsFramesAsTheRuleSays) {
  struct Case {
    const char* name;
    void (*make)(Crash*);
    Frames expected;
  };
  const Case kCases[] = {
      {"a frame-pointer chain, ended by a saved frame pointer that does not climb",
       [](Crash* c) {
         c->eip = 0x401010;
         c->ebp = kStack + 8;
         c->set(kStack + 8, kStack + 0x20);
         c->set(kStack + 12, 0x401105);
         c->directCall(0x401105, 0x401000);
         c->set(kStack + 0x20, kStack);
         c->set(kStack + 0x24, 0x401205);
         c->directCall(0x401205, 0x401100);
         // Below the stopped chain, a return address is still found by the scan.
         c->set(kStack + 0x30, 0x401305);
         c->directCall(0x401305, 0x405000);
       },
       {{0x401010, kIp}, {0x401105, kFp}, {0x401205, kFp}, {0x401305, kScan}}},
      {"a frameless function between frames: its caller found by the scan",
       [](Crash* c) {
         c->eip = 0x401210;
         c->ebp = kStack + 0x20;
         c->set(kStack, 0x401305);  // called the frameless function at 0x401200
         c->directCall(0x401305, 0x401200);
         c->set(kStack + 0x20, 0);
         c->set(kStack + 0x24, 0x401405);
         c->directCall(0x401405, 0x401300);
       },
       {{0x401210, kIp}, {0x401305, kScan}, {0x401405, kFp}}},
      {"a stale return address is skipped for one that called into pc",
       [](Crash* c) {
         c->eip = 0x401310;
         c->set(kStack, 0x401505);  // a call to a function past pc: stale
         c->directCall(0x401505, 0x401500);
         c->set(kStack + 4, 0x401485);
         c->directCall(0x401485, 0x401300);
         // Calls no function that holds pc: taken by the scan without the check.
         c->set(kStack + 8, 0x401605);
         c->directCall(0x401605, 0x402000);
       },
       {{0x401310, kIp}, {0x401485, kScan}, {0x401605, kScan}}},
      {"a call through a bad pointer: the caller at the stack top",
       [](Crash* c) {
         c->eip = 0x1234;
         c->set(kStack, 0x401102);
         c->code(0x401102, {0xFF, 0xD0});  // call eax
       },
       {{0x1234, kIp}, {0x401102, kTop}}},
      {"a word at the stack top that follows no call is no stack top",
       [](Crash* c) {
         c->eip = 0x1234;
         c->set(kStack, 0x401102);
         c->code(0x401102, {0x8B, 0xC0});
         c->set(kStack + 4, 0x401203);
         c->code(0x401203, {0xFF, 0x50, 0x08});  // call [eax+8]
       },
       {{0x1234, kIp}, {0x401203, kScan}}},
      {"code bytes missing from the dumps make no return address",
       [](Crash* c) {
         c->eip = 0x401010;
         c->ebp = kStack;
         c->set(kStack, 0);
         c->set(kStack + 4, 0x401105);
         c->directCall(0x401105, 0x401000);
         c->dumped.erase(0x401105 - 7);
         // A return address outside every module is none either.
         c->set(kStack + 8, 0x00500005);
         c->directCall(0x00500005, 0x401000);
       },
       {{0x401010, kIp}}},
      {"a frame-pointer loop gives one frame",
       [](Crash* c) {
         c->eip = 0x401010;
         c->ebp = kStack + 8;
         c->set(kStack + 8, kStack + 8);
         c->set(kStack + 12, 0x401105);
         c->directCall(0x401105, 0x401000);
       },
       {{0x401010, kIp}, {0x401105, kFp}}},
      {"an unaligned frame pointer, one below the stack pointer, and one past the dump",
       [](Crash* c) {
         c->eip = 0x401010;
         c->esp = kStack + 8;
         c->ebp = kStack + 2;
         c->set(kStack + 4, 0x401105);
         c->directCall(0x401105, 0x402000);
         c->set(kStack + 8, 0xFFFFFFF0);
       },
       {{0x401010, kIp}}},
      {"words that point anywhere give no frame",
       [](Crash* c) {
         c->eip = 0x401010;
         c->ebp = 0xFFFFFFFC;
         for (uint32_t i = 0; i < 16; ++i) c->set(kStack + 4 * i, 0x9E3779B9u * (i + 1));
         c->set(kStack + 64, 5);  // its bytes would start below 0
       },
       {{0x401010, kIp}}},
      {"a stack at the top of the address space: nothing wraps",
       [](Crash* c) {
         c->stackAddress = 0xFFFFFFF0;
         c->esp = 0xFFFFFFFC;
         c->eip = 0x10;  // in no module: the stack top is the last word
         c->ebp = 0xFFFFFFF8;
         c->set(0xFFFFFFF0, 0);
         c->set(0xFFFFFFF8, 0xFFFFFFF4);
         c->set(0xFFFFFFFC, 0xFFFFFFF5);
         c->directCall(0xFFFFFFF5, 0xFFFF0000);
       },
       {{0x10, kIp}, {0xFFFFFFF5, kTop}}},
  };
  for (const Case& c : kCases) {
    Crash crash;
    c.make(&crash);
    EXPECT_EQ(crash.walk(), c.expected) << c.name;
  }
}

TEST(StackWalk, StopsAtSixtyFourFrames) {
  Crash crash;
  crash.eip = 0x401010;
  for (uint32_t i = 0; i < 100; ++i) {
    const uint32_t returnAddress = 0x402005 + 0x10 * i;
    crash.set(kStack + 4 * i, returnAddress);
    crash.directCall(returnAddress, 0x408000);
  }
  const Frames frames = crash.walk();
  ASSERT_EQ(frames.size(), kMaxFrames);
  EXPECT_EQ(frames.back(), std::make_pair(0x402005u + 0x10 * 62, kScan));
}

TEST(StackWalk, KnowsEachCallForm) {
  const struct {
    std::vector<uint8_t> tail;
    bool isCall;
  } kCases[] = {
      {{0xE8, 1, 2, 3, 4}, true},              // call rel32
      {{0xFF, 0xD0}, true},                    // call eax
      {{0xFF, 0x10}, true},                    // call [eax]
      {{0xFF, 0x14}, false},                   // a SIB byte would follow
      {{0xFF, 0x15}, false},                   // a disp32 would follow
      {{0xFF, 0x50, 0x08}, true},              // call [eax+8]
      {{0xFF, 0x14, 0x24}, true},              // call [esp]
      {{0xFF, 0x14, 0x25}, false},             // SIB without base: disp32 follows
      {{0xFF, 0x54, 0x24}, false},             // a disp8 would follow
      {{0xFF, 0x54, 0x24, 0x08}, true},        // call [esp+8]
      {{0xFF, 0x15, 1, 2, 3, 4}, true},        // call [disp32]
      {{0xFF, 0x90, 1, 2, 3, 4}, true},        // call [eax+disp32]
      {{0xFF, 0x94, 1, 2, 3, 4}, false},       // a SIB byte comes first
      {{0xFF, 0x94, 0x24, 1, 2, 3, 4}, true},  // call [esp+disp32]
      {{0xFF, 0x14, 0x85, 1, 2, 3, 4}, true},  // call [eax*4+disp32]
      {{0xFF, 0xD8}, false},                   // call far
      {{0xFF, 0xE0}, false},                   // jmp eax
      {{0x90, 0x90}, false},
  };
  for (const auto& c : kCases) {
    Crash crash;
    crash.code(0x401000, c.tail);
    uint8_t bytes[7];
    ASSERT_TRUE(Crash::bytesBefore(&crash, 0x401000, bytes));
    EXPECT_EQ(endsInCall(bytes), c.isCall) << testing::PrintToString(c.tail);
  }
}

TEST(StackWalk, CallsIntoTheFunctionOfPc) {
  const struct {
    uint32_t value;
    uint32_t target;
    uint32_t pc;
    bool into;
  } kCases[] = {
      {0x401005, 0x400005, 0x400005, true},
      {0x401005, 0x400005, 0x410004, true},
      {0x401005, 0x400005, 0x410005, false},
      {0x401005, 0x400005, 0x400004, false},
      // The target wraps around 2^32; the function's span does not.
      {0xFFFFFFF0, 0x10, 0x15, true},
      {0xFFFFFF00, 0xFFFFFFF0, 0x5, false},
  };
  for (const auto& c : kCases) {
    Crash crash;
    crash.directCall(c.value, c.target);
    uint8_t bytes[7];
    ASSERT_TRUE(Crash::bytesBefore(&crash, c.value, bytes));
    EXPECT_EQ(callsInto(c.value, bytes, c.pc), c.into) << std::hex << c.value << " " << c.pc;
  }
  // Only a direct call calls into anything.
  const uint8_t indirect[7] = {0x90, 0xFF, 0x15, 0, 0, 0, 0};
  EXPECT_FALSE(callsInto(0x401005, indirect, 0x401005));
}

TEST(StackWalk, FindsTheFirstModuleInListOrder) {
  const ModuleSpan kOverlapping[] = {
      {"a", 0x1000, 0x1000},       {"b", 0x800, 0x2000},          {"empty", 0x5000, 0},
      {"top", 0xFFFFF000, 0x1000}, {"past", 0xFFFFF800, 0x10000},
  };
  const ModuleSpanIndex index(kOverlapping, 5);
  const struct {
    uint32_t address;
    size_t module;
  } kCases[] = {
      {0x7FF, ModuleSpanIndex::kNone},
      {0x800, 1},
      {0xFFF, 1},
      {0x1000, 0},
      {0x1FFF, 0},
      {0x2000, 1},
      {0x27FF, 1},
      {0x2800, ModuleSpanIndex::kNone},
      {0x5000, ModuleSpanIndex::kNone},
      {0xFFFFF7FF, 3},
      {0xFFFFFFFF, 3},
      {0, ModuleSpanIndex::kNone},
  };
  for (const auto& c : kCases) EXPECT_EQ(index.find(c.address), c.module) << std::hex << c.address;
}

}  // namespace
}  // namespace tavra
