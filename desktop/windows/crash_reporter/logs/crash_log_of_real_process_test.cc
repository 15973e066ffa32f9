// The crash log of a real crashed browser process, captured as the reporter
// captures it.
#include "desktop/windows/crash_reporter/logs/crash_log_writer.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/capture_on_dump_request_test_support.h"
#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"
#include "desktop/windows/crash_reporter/crash_data/process_state_test_support.h"
#include "desktop/windows/crash_reporter/logs/crash_signature.h"
#include "desktop/windows/crash_reporter/logs/stack_extent.h"
#include "desktop/windows/crash_reporter/logs/stack_walk.h"
#include "runtime/file_util.h"
#include "runtime/log_capture.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_temp_dir.h"
#include "runtime/sha256_digest.h"
#include "runtime/utf_conversion.h"
#include "testing/browser_client/child_process.h"

namespace tavra {
namespace {

class CrashLogOfRealProcessTest : public testing_support::CaptureOnDumpRequestTest {};

// The snapshot with every readability question put to the process by a
// one-byte read of its own, as a snapshot without per-page answers would.
class ReadEveryAddress : public testing_support::ForwardingProcessState {
 public:
  ReadEveryAddress(const ProcessStateImpl& state, HANDLE process)
      : ForwardingProcessState(state), process_(process) {}
  bool isReadable(TargetAddress address) const override {
    ++reads_;
    uint8_t byte = 0;
    SIZE_T count = 0;
    return ReadProcessMemory(process_,
                             reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), &byte,
                             1, &count) &&
           count == 1;
  }
  uint32_t reads() const { return reads_; }

 private:
  HANDLE process_;
  mutable uint32_t reads_ = 0;
};

// The per-page answers change how often the crashed process is asked, not
// what the crash log says.
TEST_F(CrashLogOfRealProcessTest, TheCrashLogIsTheSameWithPerPageReadability) {
  ChildProcess* client = startClient();
  ASSERT_EQ(0u, client->command("threads 16").find("threads "));
  ASSERT_EQ(0u, client->command("modules 20").find("modules "));
  captureAfter(client, "dump-raw * * *");
  ASSERT_TRUE(run_.result);
  const ProcessStateImpl& state = *run_.state;
  ScopedTempDir dir(L"tavra_readability");
  ASSERT_TRUE(dir.isValid());
  const std::string perPage = wideToUtf8(joinPath(dir.path(), L"per_page.txt"));
  const std::string everyAddress = wideToUtf8(joinPath(dir.path(), L"every_address.txt"));
  {
    LogCapture quiet;
    CrashLogWriter writer;
    ASSERT_TRUE(writer.write(state, CrashMetadata(), perPage.c_str()));
  }
  ScopedHandle process(OpenProcess(PROCESS_VM_READ, FALSE, client->processId()));
  ASSERT_TRUE(process.isValid());
  ReadEveryAddress uncached(state, process.get());
  {
    LogCapture quiet;
    CrashLogWriter writer;
    ASSERT_TRUE(writer.write(uncached, CrashMetadata(), everyAddress.c_str()));
  }
  std::string perPageText, everyAddressText;
  ASSERT_TRUE(readFileToString(utf8ToWide(perPage), &perPageText));
  ASSERT_TRUE(readFileToString(utf8ToWide(everyAddress), &everyAddressText));
  EXPECT_GT(perPageText.size(), 10000u);
  EXPECT_TRUE(perPageText == everyAddressText) << "the two crash logs differ";
  EXPECT_LT(state.readabilityCalls(), uncached.reads());
  releaseClient(client);
}

// The signature's inputs as a reader finds them in the text of a crash log:
// the exception code, the crashed thread's registers and stack words, the
// module list and the dumped bytes.
struct LoggedCrash {
  std::string code;
  std::string architecture;
  uint64_t exceptionAddress = 0;
  // By the walk's names: "ip", "sp", "fp".
  std::map<std::string, uint64_t> registers;
  uint64_t stackAddress = 0;
  std::vector<uint64_t> words;
  std::vector<std::string> moduleNames;
  std::vector<ModuleSpan> modules;
  std::map<uint64_t, uint8_t> dumped;

  static bool bytesBefore(void* context, uint64_t value, uint8_t* bytes, unsigned count) {
    const auto& dumped = static_cast<LoggedCrash*>(context)->dumped;
    for (unsigned i = 0; i < count; ++i) {
      auto it = dumped.find(value - count + i);
      if (it == dumped.end()) return false;
      bytes[i] = it->second;
    }
    return true;
  }
};

uint64_t hexAt(const std::string& line, size_t at, size_t digits) {
  return strtoull(line.substr(at, digits).c_str(), nullptr, 16);
}

// The log's form in the reporter's width: address digits, stack words, and
// the names of the instruction, stack and frame pointers.
constexpr size_t kDigits = kTargetAddressDigits;
constexpr size_t kSlotWidth = 2 + kDigits;
#if defined(_WIN64)
const char* const kPointerNames[][2] = {{"RIP=", "ip"}, {"RSP=", "sp"}, {"RBP=", "fp"}};
#else
const char* const kPointerNames[][2] = {{"EIP=", "ip"}, {"ESP=", "sp"}, {"EBP=", "fp"}};
#endif

// Enough of the log's form for the test client's logs (module names
// without blanks).
bool parseLoggedCrash(const std::string& text, LoggedCrash* crash) {
  std::istringstream lines(text);
  std::string line;
  std::string section;
  bool crashedThread = false;
  bool crashedSeen = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t caused = line.find(" caused exception ");
    if (caused != std::string::npos && crash->code.empty()) {
      const size_t start = caused + 18;
      const size_t at = line.find(" at address ", start);
      crash->code = line.substr(start, at - start);
      crash->exceptionAddress = hexAt(line, at + 12, kDigits);
      continue;
    }
    if (line.compare(0, 14, "Architecture: ") == 0) {
      crash->architecture = line.substr(14);
      continue;
    }
    if (line.empty()) continue;
    if (line.compare(0, 8, "Thread: ") == 0 || line == "Used DLLs:" || line == "Memory dumps:") {
      section = line.substr(0, line.find(':'));
      continue;
    }
    if (line.compare(0, 12, "Stack dump: ") == 0) {
      section = "Stack";
      continue;
    }
    if (section == "Thread") {
      if (line == "Crashed=1" && !crashedSeen) crashedThread = crashedSeen = true;
      if (line == "Crashed=0") crashedThread = false;
      for (const auto& name : kPointerNames) {
        const size_t at = line.find(name[0]);
        if (crashedThread && at != std::string::npos) {
          crash->registers[name[1]] = hexAt(line, at + 4, kDigits);
        }
      }
    } else if (section == "Stack" && crashedThread) {
      if (crash->words.empty()) crash->stackAddress = hexAt(line, 0, kDigits);
      for (size_t slot = 0;
           slot < 16 / kStackWordBytes && line[kDigits + 2 + kSlotWidth * slot] != ' '; ++slot) {
        crash->words.push_back(hexAt(line, kDigits + 2 + kSlotWidth * slot, kDigits));
      }
    } else if (section == "Used DLLs") {
      const size_t base = line.rfind(" Base: ");
      const size_t size = line.rfind(" Size: ");
      crash->moduleNames.push_back(line.substr(0, line.find(' ')));
      crash->modules.push_back({nullptr, hexAt(line, base + 7, kDigits),
                                static_cast<uint32_t>(hexAt(line, size + 7, 8))});
    } else if (section == "Memory dumps") {
      const uint64_t address = hexAt(line, 0, kDigits);
      size_t offset = kDigits;
      for (uint32_t position = 0; position < 16; ++position) {
        offset += position % 4 == 0 ? 2 : 1;
        if (line[offset] != ' ') crash->dumped[address + position] = hexAt(line, offset, 2) & 0xFF;
        offset += 2;
      }
    }
  }
  for (size_t i = 0; i < crash->modules.size(); ++i) {
    crash->modules[i].name = crash->moduleNames[i].c_str();
  }
  return !crash->code.empty() && crash->architecture == architectureName(kTargetArchitecture) &&
         crash->registers.size() == 3 && !crash->words.empty();
}

// The writer signs the crash from what it wrote: a walk of the written log
// finds the same signature. The crash three calls deep in code without frame
// pointers names its three functions by the stack scan.
TEST_F(CrashLogOfRealProcessTest, TheSignatureIsTheOneOfTheWrittenLog) {
  const struct {
    const char* command;
    size_t distinctClientFrames;  // at the top of the walk, at least
  } kCases[] = {
      {"crash deep 10", 3},        {"crash nested 10", 3},      {"crash write 20", 1},
      {"crash stack-overflow", 1}, {"crash raise E0ABC123", 0},
  };
  ScopedTempDir dir(L"tavra_signature");
  ASSERT_TRUE(dir.isValid());
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.command);
    ChildProcess* client = startClient();
    captureAfter(client, c.command);
    ASSERT_TRUE(run_.result);
    const std::string path = wideToUtf8(joinPath(dir.path(), L"crash.txt"));
    DeleteFileA(path.c_str());
    CrashLogWriter writer;
    {
      LogCapture quiet;
      ASSERT_TRUE(writer.write(*run_.state, CrashMetadata(), path.c_str()));
    }
    SetEvent(run_.release.get());
    std::string text;
    ASSERT_TRUE(readFileToString(utf8ToWide(path), &text));
    LoggedCrash logged;
    ASSERT_TRUE(parseLoggedCrash(text, &logged));

    const ModuleSpanIndex index(logged.modules.data(), logged.modules.size());
    const StackWalkInput input = {kTargetArchitecture,       logged.registers["ip"],
                                  logged.registers["sp"],    logged.registers["fp"],
                                  logged.stackAddress,       logged.words.data(),
                                  logged.words.size(),       &index,
                                  &LoggedCrash::bytesBefore, &logged};
    const std::vector<StackFrame> frames = walkStack(input);

    const StackFrame exceptionFrame = {logged.exceptionAddress, index.find(logged.exceptionAddress),
                                       FrameSource::kInstructionPointer};
    const std::string expected = signatureText(signatureHead(logged.code.c_str(), 0), frames,
                                               logged.modules.data(), exceptionFrame);
    EXPECT_EQ(expected, writer.signature().text);
    EXPECT_EQ(sha256HexPrefix(expected, 12), writer.signature().shortHash);
    EXPECT_EQ(12u, writer.signature().shortHash.size());

    // The top frames in the test client, each at an offset of its own.
    std::set<uint64_t> offsets;
    for (size_t i = 0; i < c.distinctClientFrames && i < frames.size(); ++i) {
      ASSERT_NE(ModuleSpanIndex::kNone, frames[i].module);
      EXPECT_EQ("tavra_test_client.exe", logged.moduleNames[frames[i].module]);
      offsets.insert(frames[i].address - logged.modules[frames[i].module].base);
    }
    EXPECT_EQ(c.distinctClientFrames, offsets.size());
    if (std::string(c.command) == "crash deep 10") {
      // No frame pointer: the callers come from the scan.
      EXPECT_EQ(FrameSource::kStackScan, frames[1].source);
      EXPECT_EQ(FrameSource::kStackScan, frames[2].source);
    }
    DWORD exitCode = 0;
    EXPECT_TRUE(client->waitForExit(testing_support::kCaptureWaitMs, &exitCode));
  }
}

}  // namespace
}  // namespace tavra
