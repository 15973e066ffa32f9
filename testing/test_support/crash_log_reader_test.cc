#include "testing/test_support/crash_log_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavra {
namespace {

// Lines joined with CR LF, as the writer ends them; a line feed inside a
// line is one more line end.
std::string crlf(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    for (char c : line) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    text += "\r\n";
  }
  return text;
}

const char kHeader[] = "TAVRA-CRASHLOG V1 desktop 1.2.3.4 5678 windows  release";
const char kFpu[] =
    "\nFPU stack: 000001A4\n"
    "3FFF8000000000000000 00000000000000000000 00000000000000000000\n"
    "00000000000000000000 00000000000000000000 00000000000000000000\n"
    "00000000000000000000 00000000000000000000 SW=4020 CW=027F";

// A thread section and the rest of a log of each width, line by line.
std::vector<std::string> x86Body() {
  return {
      "",
      "Thread: 000001A4",
      "",
      "ThreadInfo: 000001A4",
      "Priority=FFFFFFFE",
      "Crashed=1",
      "checked_context_values=9 (all)",
      "checked_stack_values=2 (all)",
      "",
      "Registers: 000001A4",
      "EAX=00000000   EBX=7FFDF000   ECX=0012FF84   EDX=FFFFFFFF   ESI=00000001",
      "EDI=00000000   EBP=0012FF84   ESP=0012FF80   EIP=00400F10 FLAGS=00010246",
      "CS=001B   DS=0023   SS=0023   ES=0023   FS=003B   GS=0000",
      kFpu,
      "",
      "Stack dump: 000001A4",
      "0012FF80  00400F04 >0012FFA0                     ..@.....",
      "",
      "Used DLLs:",
      "tavra.exe                  1.2.3.4                                        Base: 00400000 "
      "Size: 00100000 Timestamp: 5F000000",
      "",
      "Memory dumps:",
      "00400F00  07 14 21 2E  3B 48 55 62  6F 7C 89 96  A3 B0 BD CA ..!.;HUbo|......"};
}

std::vector<std::string> x8664Body() {
  return {
      "",
      "Thread: 000001A4",
      "",
      "ThreadInfo: 000001A4",
      "Priority=00000000",
      "Crashed=1",
      "checked_context_values=17 (all)",
      "checked_stack_values=1 (all)",
      "",
      "Registers: 000001A4",
      "RAX=0000000000000000   RBX=00007FFDF0001000   RCX=000000000014FF84   RDX=FFFFFFFFFFFFFFFF",
      "RSI=0000000000000001   RDI=0000000000000000   RBP=000000000014FF90   RSP=000000000014FF80",
      "R8=0000000000000008    R9=0000000000000009    R10=0000000000000010   R11=0000000000000011",
      "R12=0000000000000012   R13=0000000000000013   R14=0000000000000014   R15=0000000000000015",
      "RIP=00007FF600001010 FLAGS=00010246",
      "CS=0033   DS=002B   SS=002B   ES=002B   FS=0053   GS=002B",
      kFpu,
      "",
      "Stack dump: 000001A4",
      "000000000014FF80  00007FF600001105" + std::string(18, ' ') + " ........",
      "",
      "Used DLLs:",
      "tavra.exe                  1.2.3.4                                        Base: "
      "00007FF600000000 Size: 00100000 Timestamp: 5F000000",
      "",
      "Memory dumps:",
      "00007FF600001000  07 14 21 2E  3B 48 55 62  6F 7C 89 96  A3 B0 BD CA ..!.;HUbo|......",
      "",
      "00007FF600001100  07 14 21 2E  3B 48 55" + std::string(28, ' ') + " ..!.;HU"};
}

std::string x86Log(bool withArchitecture) {
  std::vector<std::string> lines = {
      kHeader, "tavra.exe caused exception C0000005 at address 00400F10 (Base: 00400000)"};
  if (withArchitecture) lines.push_back("Architecture: x86");
  for (const std::string& line : x86Body()) lines.push_back(line);
  return crlf(lines);
}

std::string x8664Log() {
  std::vector<std::string> lines = {
      kHeader,
      "tavra.exe caused exception C0000005 at address 00007FF600001010 (Base: 00007FF600000000)",
      "Architecture: x86-64"};
  for (const std::string& line : x8664Body()) lines.push_back(line);
  return crlf(lines);
}

// Replaces the first `from` in `text`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(std::string::npos, at) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(CrashLogReader, ReadsLogsOfBothWidths) {
  const struct {
    const char* name;
    std::string text;
    Architecture architecture;
    uint64_t exceptionAddress;
    std::vector<std::pair<std::string, uint64_t>> registers;
    uint32_t checkedContextValues;
    uint64_t stackLine;
    uint64_t moduleBase;
    std::vector<std::pair<uint64_t, uint32_t>> dumpLines;
  } kCases[] = {
      {"x86, from an older reporter without the line",
       x86Log(false),
       Architecture::kX86,
       0x00400F10,
       {{"EAX", 0}, {"EBP", 0x0012FF84}, {"EIP", 0x00400F10}, {"FLAGS", 0x10246}, {"GS", 0}},
       9,
       0x0012FF80,
       0x00400000,
       {{0x00400F00, 16}}},
      {"x86",
       x86Log(true),
       Architecture::kX86,
       0x00400F10,
       {{"EDX", 0xFFFFFFFF}, {"ESP", 0x0012FF80}, {"CS", 0x1B}},
       9,
       0x0012FF80,
       0x00400000,
       {{0x00400F00, 16}}},
      {"x86-64",
       x8664Log(),
       Architecture::kX8664,
       0x00007FF600001010,
       {{"RBX", 0x00007FFDF0001000},
        {"RDX", 0xFFFFFFFFFFFFFFFF},
        {"R8", 8},
        {"R15", 0x15},
        {"RSP", 0x14FF80},
        {"RIP", 0x00007FF600001010},
        {"FLAGS", 0x10246},
        {"FS", 0x53}},
       17,
       0x14FF80,
       0x00007FF600000000,
       {{0x00007FF600001000, 16}, {0x00007FF600001100, 7}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CrashLog log;
    std::string error;
    ASSERT_TRUE(parseCrashLog(c.text, &log, &error)) << error;
    EXPECT_EQ(c.architecture, log.architecture);
    EXPECT_EQ(c.exceptionAddress, log.exceptionAddress);
    ASSERT_EQ(1u, log.threads.size());
    const CrashLogThread& thread = log.threads[0];
    EXPECT_EQ(0x1A4u, thread.id);
    EXPECT_TRUE(thread.crashed);
    EXPECT_EQ(c.checkedContextValues, thread.checkedContextValues);
    for (const auto& reg : c.registers) {
      ASSERT_EQ(1u, thread.registers.count(reg.first)) << reg.first;
      EXPECT_EQ(reg.second, thread.registers.at(reg.first)) << reg.first;
    }
    EXPECT_EQ(std::vector<uint64_t>{c.stackLine}, thread.stackLineAddresses);
    ASSERT_EQ(1u, log.modules.size());
    EXPECT_EQ("tavra.exe", log.modules[0].name);
    EXPECT_EQ("1.2.3.4", log.modules[0].version);
    EXPECT_EQ(c.moduleBase, log.modules[0].base);
    EXPECT_EQ(0x00100000u, log.modules[0].size);
    EXPECT_NE(nullptr, log.moduleAt(c.moduleBase));
    EXPECT_EQ(c.dumpLines, log.dumpLines);
    EXPECT_TRUE(log.dumpsShow(c.dumpLines.back().first + c.dumpLines.back().second - 1));
    EXPECT_FALSE(log.dumpsShow(c.dumpLines.back().first + c.dumpLines.back().second));
  }
}

// A log whose parts do not have the digits of its architecture is refused,
// so that a writer that mixed the widths does not pass a test.
TEST(CrashLogReader, RefusesPartsOfTheOtherWidth) {
  const struct {
    const char* name;
    std::string text;
    const char* error;  // the start of the message
  } kCases[] = {
      {"an unknown architecture", replaced(x8664Log(), "x86-64", "arm64"), "unknown architecture"},
      {"an 8-digit exception address in an x86-64 log",
       replaced(x8664Log(), "00007FF600001010 (Base:", "00001010 (Base:"), "bad exception line"},
      {"a 16-digit exception address in an x86 log",
       replaced(x86Log(true), "00400F10 (Base:", "0000000000400F10 (Base:"), "bad exception line"},
      {"an x86-64 log without its line is read as x86",
       replaced(x8664Log(), "Architecture: x86-64\r\n", ""), "bad exception line"},
      {"the x86 register block in an x86-64 log",
       replaced(x8664Log(), "RIP=00007FF600001010 FLAGS=00010246",
                "EIP=00400F10 FLAGS=00010246\r\nFOO"),
       "bad register line"},
      {"a register block cut short",
       replaced(x86Log(true), "CS=001B   DS=0023   SS=0023   ES=0023   FS=003B   GS=0000\r\n", ""),
       "bad register line"},
      {"an 8-digit base on the exception line of an x86-64 log",
       replaced(x8664Log(), "(Base: 00007FF600000000)", "(Base: F6000000)"), "bad exception line"},
      {"an 8-digit stack line in an x86-64 log",
       replaced(x8664Log(), "000000000014FF80  ", "0014FF80  "), "bad stack line"},
      {"an 8-digit module base in an x86-64 log",
       replaced(x8664Log(), " Base: 00007FF600000000 Size", " Base: F6000000 Size"),
       "bad module line"},
      {"a 16-digit module base in an x86 log",
       replaced(x86Log(true), "Base: 00400000 Size", "Base: 0000000000400000 Size"),
       "bad module line"},
      {"an 8-digit dump line in an x86-64 log",
       replaced(x8664Log(), "00007FF600001100  ", "F6001100  "), "bad memory dump line"},
      {"lower-case digits", replaced(x86Log(true), "EBX=7FFDF000", "EBX=7ffdf000"),
       "bad register line"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    CrashLog log;
    std::string error;
    EXPECT_FALSE(parseCrashLog(c.text, &log, &error));
    EXPECT_EQ(0u, error.find(c.error)) << error;
  }
}

}  // namespace
}  // namespace tavra
