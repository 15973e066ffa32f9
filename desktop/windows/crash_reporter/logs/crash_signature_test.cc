#include "desktop/windows/crash_reporter/logs/crash_signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavra {
namespace {

// The signature's cases that the reader checks too are in the table that
// stack_walk_test.cc runs (testdata/stack_walk_cases.json). These are the
// reporter's own: what a JSON table cannot hold, or the reader never sees.

// Ill-formed UTF-8 in a module name: JSON text cannot carry it, and the
// reader decodes the log before it signs.
TEST(CrashSignature, ReplacesIllFormedUtf8AsADecoderDoes) {
  const ModuleSpan kModules[] = {
      {"a\xC3(b.dll", 0x30000000, 0x1000},
      {"\xE0\x80x\xF0\x9F\x98", 0x40000000, 0x1000},
  };
  const std::vector<StackFrame> frames = {{0x30000001, 0, FrameSource::kInstructionPointer},
                                          {0x40000002, 1, FrameSource::kStackScan}};
  EXPECT_EQ(signatureText("C0000005", frames, kModules, frames[0]),
            "C0000005 a\xEF\xBF\xBD(b.dll+0x1 | \xEF\xBF\xBD\xEF\xBF\xBDx\xEF\xBF\xBD+0x2");
}

// The reporter's own inputs, which no log passes on as such: no exception
// name (the log then writes the code), an empty one, a null module name,
// and a name with blanks at its end (the log loses them; the name itself is
// matched exactly).
TEST(CrashSignature, TakesTheReportersOwnInputs) {
  EXPECT_EQ(signatureHead(nullptr, 0xC0000005), "C0000005");
  EXPECT_EQ(signatureHead(nullptr, 3), "00000003");
  EXPECT_EQ(signatureHead("", 0), "");
  EXPECT_FALSE(isSystemModuleName(nullptr));
  EXPECT_FALSE(isSystemModuleName(""));
  EXPECT_FALSE(isSystemModuleName("ntdll.dll "));
}

}  // namespace
}  // namespace tavra
