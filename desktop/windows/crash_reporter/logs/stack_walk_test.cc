#include "desktop/windows/crash_reporter/logs/stack_walk.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "desktop/windows/crash_reporter/logs/crash_signature.h"

namespace tavra {
namespace {

using Frames = std::vector<std::pair<std::string, std::string>>;

// How a frame was found, by FrameSource, as the table writes it.
const char* const kSourceNames[] = {"instruction pointer", "stack top", "frame pointer",
                                    "stack scan"};

// An address as the table writes it: 8 or 16 digits.
std::string hexAddress(Architecture architecture, uint64_t value) {
  char text[24];
  snprintf(text, sizeof(text), "%0*llX", 2 * static_cast<int>(addressBytes(architecture)),
           static_cast<unsigned long long>(value));
  return text;
}

uint64_t number(const nlohmann::json& text) {
  return strtoull(text.get<std::string>().c_str(), nullptr, 16);
}

std::vector<uint8_t> bytesOf(const nlohmann::json& hex) {
  const std::string text = hex.get<std::string>();
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

// A case's architecture: "x86" unless it says otherwise.
bool architectureOf(const nlohmann::json& c, Architecture* architecture) {
  const std::string name = c.value("architecture", std::string("x86"));
  *architecture = name == "x86-64" ? Architecture::kX8664 : Architecture::kX86;
  return name == architectureName(*architecture);
}

// The table of walks and signatures that the crash-log reader's tests run
// too. The build copies it next to the test program; the host build reads it
// beside this file.
const nlohmann::json& table() {
  static const nlohmann::json parsed = [] {
#ifdef _WIN32
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string file(path, length < MAX_PATH ? length : 0);
    file = file.substr(0, file.find_last_of('\\') + 1) + "testdata\\logs\\stack_walk_cases.json";
#else
    std::string file = __FILE__;
    file = file.substr(0, file.find_last_of('/') + 1) + "testdata/stack_walk_cases.json";
#endif
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json json = nlohmann::json::parse(text.str(), nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << "no case table at " << file;
    return json.is_discarded() ? nlohmann::json::object() : json;
  }();
  return parsed;
}

// The modules of a case: names kept alive for the spans.
struct Modules {
  std::vector<std::string> names;
  std::vector<ModuleSpan> spans;

  explicit Modules(const nlohmann::json& list) {
    for (const auto& module : list) names.push_back(module[0].get<std::string>());
    for (size_t i = 0; i < names.size(); ++i) {
      spans.push_back(
          {names[i].c_str(), number(list[i][1]), static_cast<uint32_t>(number(list[i][2]))});
    }
  }
};

// The dumped bytes, byte by byte, and a stack of words.
struct Crash {
  Architecture architecture = Architecture::kX86;
  std::map<uint64_t, uint8_t> dumped;  // a byte in two dumps is the first's
  uint64_t ip = 0x00401010;
  uint64_t sp = 0x0012FF00;
  uint64_t fp = 0;
  uint64_t stackAddress = 0x0012FF00;
  std::vector<uint64_t> words;

  // A direct call to `target` that returns to `returnAddress`, its code
  // bytes dumped: nops, E8 and the 32-bit distance.
  void directCall(uint64_t returnAddress, uint64_t target) {
    const uint32_t relative = static_cast<uint32_t>(target - returnAddress);
    const unsigned count = callBytes(architecture);
    for (unsigned i = count; i > 5; --i) dumped.emplace(returnAddress - i, 0x90);
    dumped.emplace(returnAddress - 5, 0xE8);
    for (uint32_t i = 0; i < 4; ++i) {
      dumped.emplace(returnAddress - 4 + i, static_cast<uint8_t>(relative >> (8 * i)));
    }
  }

  static bool bytesBefore(void* context, uint64_t value, uint8_t* bytes, unsigned count) {
    const auto& dumped = static_cast<Crash*>(context)->dumped;
    if (value < count) return false;
    for (unsigned i = 0; i < count; ++i) {
      auto it = dumped.find(value - count + i);
      if (it == dumped.end()) return false;
      bytes[i] = it->second;
    }
    return true;
  }

  std::vector<StackFrame> walk(const ModuleSpanIndex& index) {
    const StackWalkInput input = {architecture,        ip,           sp,           fp,
                                  stackAddress,        words.data(), words.size(), &index,
                                  &Crash::bytesBefore, this};
    const std::vector<StackFrame> frames = walkStack(input);
    for (const StackFrame& frame : frames) EXPECT_EQ(frame.module, index.find(frame.address));
    return frames;
  }
};

TEST(StackWalk, WalksAndSignsEachCaseOfTheTable) {
  ASSERT_TRUE(table().contains("walks"));
  for (const auto& entry : table()["walks"]) {
    nlohmann::json c = table()["defaults"];
    Crash crash;
    ASSERT_TRUE(architectureOf(entry, &crash.architecture)) << entry["name"];
    // An x86-64 case builds on the x86-64 defaults.
    if (crash.architecture == Architecture::kX8664) c.update(table()["defaults_x86-64"]);
    c.update(entry);
    const std::string name = c["name"].get<std::string>();
    crash.ip = number(c["eip"]);
    crash.sp = number(c["esp"]);
    crash.fp = number(c["ebp"]);
    crash.stackAddress = number(c["stack_at"]);
    for (const auto& word : c["words"]) crash.words.push_back(number(word));
    for (const auto& dump : c.value("dumps", nlohmann::json::array())) {
      const std::vector<uint8_t> bytes = bytesOf(dump[1]);
      for (size_t i = 0; i < bytes.size(); ++i) crash.dumped.emplace(number(dump[0]) + i, bytes[i]);
    }
    const Modules modules(c["modules"]);
    const ModuleSpanIndex index(modules.spans.data(), modules.spans.size());
    // A log without a crashed thread has no frames to walk.
    const std::vector<StackFrame> frames =
        c.value("crashed", true) ? crash.walk(index) : std::vector<StackFrame>();
    Frames found;
    for (const StackFrame& frame : frames) {
      found.push_back({hexAddress(crash.architecture, frame.address),
                       kSourceNames[static_cast<size_t>(frame.source)]});
    }
    EXPECT_EQ(found, c["frames"].get<Frames>()) << name;
    if (c.contains("signature")) {
      const StackFrame exceptionFrame = {crash.ip, index.find(crash.ip),
                                         FrameSource::kInstructionPointer};
      EXPECT_EQ(signatureText(signatureHead(c["code"].get<std::string>().c_str(), 0), frames,
                              modules.spans.data(), exceptionFrame),
                c["signature"].get<std::string>())
          << name;
    }
  }
}

TEST(StackWalk, KnowsEachCallForm) {
  const struct {
    const char* list;
    Architecture architecture;
  } kLists[] = {{"call_forms", Architecture::kX86}, {"call_forms_x86-64", Architecture::kX8664}};
  for (const auto& list : kLists) {
    ASSERT_TRUE(table().contains(list.list)) << list.list;
    for (const auto& form : table()[list.list]) {
      const std::vector<uint8_t> bytes = bytesOf(form[0]);
      ASSERT_EQ(bytes.size(), callBytes(list.architecture)) << form[0];
      EXPECT_EQ(endsInCall(list.architecture, bytes.data()), form[1].get<bool>())
          << list.list << ": " << form[2].get<std::string>();
    }
  }
}

TEST(StackWalk, FindsTheFirstModuleInListOrder) {
  ASSERT_TRUE(table().contains("module_lookups"));
  const nlohmann::json& lookups = table()["module_lookups"];
  const Modules modules(lookups["modules"]);
  const ModuleSpanIndex index(modules.spans.data(), modules.spans.size());
  for (const auto& lookup : lookups["addresses"]) {
    const size_t expected = lookup[1].is_null() ? ModuleSpanIndex::kNone : lookup[1].get<size_t>();
    EXPECT_EQ(index.find(number(lookup[0])), expected) << lookup[0].get<std::string>();
  }
}

// Built here rather than listed in the table: a hundred return addresses.
TEST(StackWalk, StopsAtSixtyFourFrames) {
  const struct {
    Architecture architecture;
    uint64_t base;
  } kCases[] = {{Architecture::kX86, 0x00400000}, {Architecture::kX8664, 0x00007FF600000000}};
  for (const auto& c : kCases) {
    const ModuleSpan module = {"tavra.exe", c.base, 0x00100000};
    const ModuleSpanIndex index(&module, 1);
    Crash crash;
    crash.architecture = c.architecture;
    crash.ip = c.base + 0x1010;
    for (uint64_t i = 0; i < 100; ++i) {
      const uint64_t returnAddress = c.base + 0x2005 + 0x10 * i;
      crash.words.push_back(returnAddress);
      crash.directCall(returnAddress, c.base + 0x8000);
    }
    const std::vector<StackFrame> frames = crash.walk(index);
    ASSERT_EQ(frames.size(), kMaxFrames) << architectureName(c.architecture);
    EXPECT_EQ(frames.back().address, c.base + 0x2005 + 0x10 * 62);
    EXPECT_EQ(frames.back().source, FrameSource::kStackScan);
  }
}

// The reporter's helper on its own: where a direct call's function ends, and
// how its target wraps around the address space of each architecture.
TEST(StackWalk, CallsIntoTheFunctionOfPc) {
  const struct {
    Architecture architecture;
    uint64_t value;
    uint64_t target;
    uint64_t pc;
    bool into;
  } kCases[] = {
      {Architecture::kX86, 0x401005, 0x400005, 0x400005, true},
      {Architecture::kX86, 0x401005, 0x400005, 0x410004, true},
      {Architecture::kX86, 0x401005, 0x400005, 0x410005, false},
      {Architecture::kX86, 0x401005, 0x400005, 0x400004, false},
      // The target wraps around 2^32; the function's span does not.
      {Architecture::kX86, 0xFFFFFFF0, 0x10, 0x15, true},
      {Architecture::kX86, 0xFFFFFF00, 0xFFFFFFF0, 0x5, false},
      {Architecture::kX8664, 0x7FF600001005, 0x7FF600000005, 0x7FF600000005, true},
      {Architecture::kX8664, 0x7FF600001005, 0x7FF600000005, 0x7FF600010004, true},
      {Architecture::kX8664, 0x7FF600001005, 0x7FF600000005, 0x7FF600010005, false},
      {Architecture::kX8664, 0x7FF600001005, 0x7FF600000005, 0x7FF600000004, false},
      // A negative distance reaches below the return address, in 64 bits.
      {Architecture::kX8664, 0x200001005, 0x200000005, 0x200000010, true},
      // The target wraps around 2^64, not 2^32; the function's span does
      // not.
      {Architecture::kX8664, 0xFFFFFFFFFFFFFFF0, 0x10, 0x15, true},
      {Architecture::kX8664, 0xFFFFFFFFFFFFFF00, 0xFFFFFFFFFFFFFFF0, 0x5, false},
      {Architecture::kX8664, 0xFFFFFFF0, 0x100000010, 0x10, false},
  };
  for (const auto& c : kCases) {
    Crash crash;
    crash.architecture = c.architecture;
    crash.directCall(c.value, c.target);
    uint8_t bytes[kMostCallBytes];
    ASSERT_TRUE(Crash::bytesBefore(&crash, c.value, bytes, callBytes(c.architecture)));
    EXPECT_EQ(callsInto(c.architecture, c.value, bytes, c.pc), c.into)
        << architectureName(c.architecture) << std::hex << " " << c.value << " " << c.pc;
  }
  // Only a direct call calls into anything.
  const uint8_t indirect[kMostCallBytes] = {0x90, 0xFF, 0x15, 0, 0, 0, 0, 0};
  EXPECT_FALSE(callsInto(Architecture::kX86, 0x401005, indirect, 0x401005));
  const uint8_t indirect64[kMostCallBytes] = {0x90, 0x90, 0xFF, 0x15, 0, 0, 0, 0};
  EXPECT_FALSE(callsInto(Architecture::kX8664, 0x7FF600001005, indirect64, 0x7FF600001005));
}

}  // namespace
}  // namespace tavra
