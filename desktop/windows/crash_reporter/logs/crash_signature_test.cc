#include "desktop/windows/crash_reporter/logs/crash_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavra {
namespace {

constexpr size_t kNone = ModuleSpanIndex::kNone;
const ModuleSpan kModules[] = {
    {"app.exe", 0x00400000, 0x10000},
    {"NTDLL.DLL", 0x7C900000, 0x10000},
    {"kernel32.dll", 0x7C800000, 0x10000},
    {"ntdll.dll.app", 0x10000000, 0x10000},
    {"line\nbreak.dll", 0x20000000, 0x1000},
    {"a\xC3(b.dll", 0x30000000, 0x1000},
    {"\xE0\x80x\xF0\x9F\x98", 0x40000000, 0x1000},
    {" ntdll.dll  ", 0x50000000, 0x1000},
};

StackFrame frame(uint32_t address, size_t module) {
  return {address, module, FrameSource::kStackScan};
}

TEST(CrashSignature, ChoosesFramesAndWritesThem) {
  const StackFrame exceptionInApp = frame(0x401010, 0);
  const struct {
    const char* name;
    std::vector<StackFrame> frames;
    StackFrame exceptionFrame;
    const char* text;
  } kCases[] = {
      {"system frames are left out, product frames stay",
       {frame(0x7C901234, 1), frame(0x401105, 0), frame(0x7C801000, 2), frame(0x401205, 0)},
       exceptionInApp,
       "C0000005 app.exe+0x1105 | app.exe+0x1205"},
      {"only system frames: all of them stay",
       {frame(0x7C901234, 1), frame(0x7C800020, 2)},
       exceptionInApp,
       "C0000005 NTDLL.DLL+0x1234 | kernel32.dll+0x20"},
      {"a frame in no module is ??? and counts as the product's",
       {frame(0x1234, kNone), frame(0x7C901234, 1), frame(0x401105, 0)},
       exceptionInApp,
       "C0000005 ??? | app.exe+0x1105"},
      {"a name that only starts like a system DLL's is the product's",
       {frame(0x10000010, 3)},
       exceptionInApp,
       "C0000005 ntdll.dll.app+0x10"},
      {"the first five",
       {frame(0x400001, 0), frame(0x400002, 0), frame(0x400003, 0), frame(0x400004, 0),
        frame(0x400005, 0), frame(0x400006, 0)},
       exceptionInApp,
       "C0000005 app.exe+0x1 | app.exe+0x2 | app.exe+0x3 | app.exe+0x4 | app.exe+0x5"},
      {"no frame at all: the exception address", {}, exceptionInApp, "C0000005 app.exe+0x1010"},
      {"no frame, an exception address in no module", {}, frame(0x99, kNone), "C0000005 ???"},
      {"control characters escaped, ill-formed UTF-8 replaced as a decoder does",
       {frame(0x20000000, 4), frame(0x30000001, 5), frame(0x40000002, 6)},
       exceptionInApp,
       "C0000005 line\\x0Abreak.dll+0x0 | a\xEF\xBF\xBD(b.dll+0x1 | "
       "\xEF\xBF\xBD\xEF\xBF\xBDx\xEF\xBF\xBD+0x2"},
      {"blanks at a name's end are lost in the log's padded column, those before it stay",
       {frame(0x50000003, 7)},
       exceptionInApp,
       "C0000005  ntdll.dll+0x3"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(signatureText("C0000005", c.frames, kModules, c.exceptionFrame), c.text) << c.name;
  }
}

TEST(CrashSignature, HeadIsTheCodeOrTheNameAsLogged) {
  const struct {
    const char* name;
    uint32_t code;
    const char* head;
  } kCases[] = {
      {nullptr, 0xC0000005, "C0000005"}, {nullptr, 3, "00000003"},
      {"c0000005", 0, "C0000005"},       {"dead", 0, "0000DEAD"},
      {"123456789", 0, "123456789"},     {"EXCEPTION_X", 0, "EXCEPTION_X"},
      {"a\nb\x7F", 0, "a\\x0Ab\\x7F"},   {"", 0, ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(signatureHead(c.name, c.code), c.head) << (c.name ? c.name : "(none)");
  }
}

TEST(CrashSignature, KnowsTheSystemModulesInAnyCase) {
  EXPECT_TRUE(isSystemModuleName("ntdll.dll"));
  EXPECT_TRUE(isSystemModuleName("KernelBase.DLL"));
  EXPECT_TRUE(isSystemModuleName("dnsapi.dll"));
  EXPECT_FALSE(isSystemModuleName("ntdll"));
  EXPECT_FALSE(isSystemModuleName("ntdll.dll "));
  EXPECT_FALSE(isSystemModuleName("tavra_test_client.exe"));
  EXPECT_FALSE(isSystemModuleName(""));
  EXPECT_FALSE(isSystemModuleName(nullptr));
}

}  // namespace
}  // namespace tavra
