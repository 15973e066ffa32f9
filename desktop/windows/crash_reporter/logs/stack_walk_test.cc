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

std::string hex8(uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "%08X", static_cast<unsigned>(value));
  return text;
}

uint32_t number(const nlohmann::json& text) {
  return static_cast<uint32_t>(strtoul(text.get<std::string>().c_str(), nullptr, 16));
}

std::vector<uint8_t> bytesOf(const nlohmann::json& hex) {
  const std::string text = hex.get<std::string>();
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
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
      spans.push_back({names[i].c_str(), number(list[i][1]), number(list[i][2])});
    }
  }
};

// The dumped bytes, byte by byte, and a stack of words.
struct Crash {
  std::map<uint32_t, uint8_t> dumped;  // a byte in two dumps is the first's
  uint32_t eip = 0x00401010;
  uint32_t esp = 0x0012FF00;
  uint32_t ebp = 0;
  uint32_t stackAddress = 0x0012FF00;
  std::vector<uint32_t> words;

  // A direct call to `target` that returns to `returnAddress`, its 7 bytes
  // dumped.
  void directCall(uint32_t returnAddress, uint32_t target) {
    const uint32_t relative = target - returnAddress;
    dumped.emplace(returnAddress - 7, 0x90);
    dumped.emplace(returnAddress - 6, 0x90);
    dumped.emplace(returnAddress - 5, 0xE8);
    for (uint32_t i = 0; i < 4; ++i) {
      dumped.emplace(returnAddress - 4 + i, static_cast<uint8_t>(relative >> (8 * i)));
    }
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

  std::vector<StackFrame> walk(const ModuleSpanIndex& index) {
    const StackWalkInput input = {
        eip, esp, ebp, stackAddress, words.data(), words.size(), &index, &Crash::bytesBefore, this};
    const std::vector<StackFrame> frames = walkStack(input);
    for (const StackFrame& frame : frames) EXPECT_EQ(frame.module, index.find(frame.address));
    return frames;
  }
};

TEST(StackWalk, WalksAndSignsEachCaseOfTheTable) {
  ASSERT_TRUE(table().contains("walks"));
  for (const auto& entry : table()["walks"]) {
    nlohmann::json c = table()["defaults"];
    c.update(entry);
    const std::string name = c["name"].get<std::string>();
    Crash crash;
    crash.eip = number(c["eip"]);
    crash.esp = number(c["esp"]);
    crash.ebp = number(c["ebp"]);
    crash.stackAddress = number(c["stack_at"]);
    for (const auto& word : c["words"]) crash.words.push_back(number(word));
    for (const auto& dump : c.value("dumps", nlohmann::json::array())) {
      const std::vector<uint8_t> bytes = bytesOf(dump[1]);
      for (uint32_t i = 0; i < bytes.size(); ++i) {
        crash.dumped.emplace(number(dump[0]) + i, bytes[i]);
      }
    }
    const Modules modules(c["modules"]);
    const ModuleSpanIndex index(modules.spans.data(), modules.spans.size());
    // A log without a crashed thread has no frames to walk.
    const std::vector<StackFrame> frames =
        c.value("crashed", true) ? crash.walk(index) : std::vector<StackFrame>();
    Frames found;
    for (const StackFrame& frame : frames) {
      found.push_back({hex8(frame.address), kSourceNames[static_cast<size_t>(frame.source)]});
    }
    EXPECT_EQ(found, c["frames"].get<Frames>()) << name;
    if (c.contains("signature")) {
      const StackFrame exceptionFrame = {crash.eip, index.find(crash.eip),
                                         FrameSource::kInstructionPointer};
      EXPECT_EQ(signatureText(signatureHead(c["code"].get<std::string>().c_str(), 0), frames,
                              modules.spans.data(), exceptionFrame),
                c["signature"].get<std::string>())
          << name;
    }
  }
}

TEST(StackWalk, KnowsEachCallForm) {
  ASSERT_TRUE(table().contains("call_forms"));
  for (const auto& form : table()["call_forms"]) {
    const std::vector<uint8_t> bytes = bytesOf(form[0]);
    ASSERT_EQ(bytes.size(), 7u) << form[0];
    EXPECT_EQ(endsInCall(bytes.data()), form[1].get<bool>()) << form[2].get<std::string>();
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
  const Modules modules(nlohmann::json::parse(R"([["tavra.exe", "00400000", "00100000"]])"));
  const ModuleSpanIndex index(modules.spans.data(), modules.spans.size());
  Crash crash;
  for (uint32_t i = 0; i < 100; ++i) {
    const uint32_t returnAddress = 0x402005 + 0x10 * i;
    crash.words.push_back(returnAddress);
    crash.directCall(returnAddress, 0x408000);
  }
  const std::vector<StackFrame> frames = crash.walk(index);
  ASSERT_EQ(frames.size(), kMaxFrames);
  EXPECT_EQ(frames.back().address, 0x402005u + 0x10 * 62);
  EXPECT_EQ(frames.back().source, FrameSource::kStackScan);
}

// The reporter's helper on its own: where a direct call's function ends.
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

}  // namespace
}  // namespace tavra
