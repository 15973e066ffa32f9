#include "desktop/windows/crash_reporter/logs/crash_log_writer.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/logs/crash_log_output.h"
#include "desktop/windows/crash_reporter/logs/memory_range_set.h"
#include "desktop/windows/crash_reporter/logs/reporter_log_test_support.h"
#include "desktop/windows/crash_reporter/logs/stack_extent.h"
#include "runtime/file_util.h"
#include "testing/test_support/scoped_current_directory.h"
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

using testing_support::listDirectory;
using testing_support::ScopedTempDir;

// One past the highest address of the 32-bit space, where x86 reads end.
constexpr uint64_t kTop = 0x100000000ull;

// The registers by their part, in the reporter's width: EAX or RAX, and so
// on. The tests that need no more than these run in both widths.
namespace reg {
#if defined(_WIN64)
TargetAddress& ax(RegisterSet& r) { return r.rax; }
TargetAddress& bx(RegisterSet& r) { return r.rbx; }
TargetAddress& cx(RegisterSet& r) { return r.rcx; }
TargetAddress& dx(RegisterSet& r) { return r.rdx; }
TargetAddress& si(RegisterSet& r) { return r.rsi; }
TargetAddress& di(RegisterSet& r) { return r.rdi; }
TargetAddress& bp(RegisterSet& r) { return r.rbp; }
TargetAddress& sp(RegisterSet& r) { return r.rsp; }
TargetAddress& ip(RegisterSet& r) { return r.rip; }
// R8 to R15 hold 8 to 15.
void setNumberedRegisters(RegisterSet& r) {
  TargetAddress* const numbered[] = {&r.r8, &r.r9, &r.r10, &r.r11, &r.r12, &r.r13, &r.r14, &r.r15};
  for (TargetAddress i = 0; i < 8; ++i) *numbered[i] = 8 + i;
}
#else
TargetAddress& ax(RegisterSet& r) { return r.eax; }
TargetAddress& bx(RegisterSet& r) { return r.ebx; }
TargetAddress& cx(RegisterSet& r) { return r.ecx; }
TargetAddress& dx(RegisterSet& r) { return r.edx; }
TargetAddress& si(RegisterSet& r) { return r.esi; }
TargetAddress& di(RegisterSet& r) { return r.edi; }
TargetAddress& bp(RegisterSet& r) { return r.ebp; }
TargetAddress& sp(RegisterSet& r) { return r.esp; }
TargetAddress& ip(RegisterSet& r) { return r.eip; }
void setNumberedRegisters(RegisterSet&) {}
#endif
}  // namespace reg

constexpr bool kX8664 = kTargetArchitecture == Architecture::kX8664;

// Tests whose expected text is written for the x86 log; the x86-64 layout
// has its own cases, for both widths, in CrashLogWriterTest.EachWidthsLayout.
// Tests whose cases are x86 values and text: the edges of the 32-bit space,
// code ranges that wrap around it, 4-byte stack words. The x86-64 layout and
// edges have their own cases, beside the x86 ones, in the width tables below.
#define X86_CASES_ONLY() \
  if (kX8664) GTEST_SKIP() << "x86 cases; the width tables hold the x86-64 ones"

// An address as the log writes it, with the digits of the reporter's width.
std::string hexAddress(TargetAddress value) {
  char text[24];
  snprintf(text, sizeof(text), "%0*llX", static_cast<int>(kTargetAddressDigits),
           static_cast<unsigned long long>(value));
  return text;
}

const std::string kAllRegisters = std::to_string(kCheckedRegisterCount) + " (all)";

// The count of stack words checked for a known stack whose last non-zero
// word is `words` in: those and the slack above them.
std::string usedStackWords(size_t words) {
  return std::to_string(words + kStackSlack / kStackWordBytes) + " (all)";
}

class FakeModule : public ModuleInfo {
 public:
  FakeModule(std::string name, std::string version, TargetAddress base, uint32_t size,
             uint32_t codeSize, uint32_t timestamp)
      : name_(std::move(name)),
        version_(std::move(version)),
        base_(base),
        size_(size),
        codeSize_(codeSize),
        timestamp_(timestamp) {}
  const char* name() const override { return name_.c_str(); }
  TargetAddress base() const override { return base_; }
  uint32_t size() const override { return size_; }
  TargetAddress codeStart() const override { return base_; }
  uint32_t codeSize() const override { return codeSize_; }
  const char* fileVersion() const override { return version_.c_str(); }
  uint32_t timestamp() const override { return timestamp_; }

 private:
  std::string name_;
  std::string version_;
  TargetAddress base_;
  uint32_t size_, codeSize_, timestamp_;
};

class FakeThread : public ThreadInfo {
 public:
  FakeThread(uint32_t id, bool crashed) : id_(id), crashed_(crashed) {}
  uint32_t threadId() const override { return id_; }
  int32_t priority() const override { return priority_; }
  const RegisterSet& registers() const override { return registers_; }
  uint32_t stackSize() const override { return stackSize_; }
  bool isCrashed() const override { return crashed_; }

  RegisterSet registers_ = {};
  int32_t priority_ = 0;
  uint32_t stackSize_ = 0;

 private:
  uint32_t id_;
  bool crashed_;
};

class FakeProcess;

// Reads only whole spans of one readable segment, and records what it was
// asked for.
class FakeReader : public MemoryReader {
 public:
  explicit FakeReader(FakeProcess* process) : process_(process) {}
  const uint8_t* read(TargetAddress address, uint32_t length, uint32_t* bytesRead) override;

 private:
  FakeProcess* process_;
  std::vector<uint8_t> buffer_;
};

// A crashed process made up by the test: byte-precise readable segments,
// reads that can be made to fail over given spans, threads and modules.
class FakeProcess : public ProcessState {
 public:
  struct Segment {
    uint64_t start;
    std::vector<uint8_t> bytes;
  };

  void addMemory(TargetAddress start, uint32_t size, uint8_t fill = 0) {
    segments_.push_back({start, std::vector<uint8_t>(size, fill)});
  }
  // Memory whose byte at address a is the low byte of a * 13 + 7: varied,
  // partly printable, and easy to recompute.
  void addPatternMemory(TargetAddress start, uint32_t size) {
    addMemory(start, size);
    for (uint32_t i = 0; i < size; ++i) {
      segments_.back().bytes[i] = static_cast<uint8_t>((start + i) * 13 + 7);
    }
  }
  // Stack words of the reporter's width.
  void setWords(TargetAddress address, const std::vector<TargetAddress>& words) {
    for (TargetAddress word : words) {
      for (uint32_t i = 0; i < kStackWordBytes; ++i) {
        *byteAt(address++) = static_cast<uint8_t>(word >> (8 * i));
      }
    }
  }
  // 32-bit words, whatever the width.
  void setWords32(TargetAddress address, const std::vector<uint32_t>& words) {
    for (uint32_t word : words) {
      for (int i = 0; i < 4; ++i) *byteAt(address++) = static_cast<uint8_t>(word >> (8 * i));
    }
  }
  void failReads(TargetAddress start, TargetAddress end) { failing_.push_back({start, end}); }
  FakeThread* addThread(uint32_t id, bool crashed) {
    threads_.push_back(std::make_unique<FakeThread>(id, crashed));
    return static_cast<FakeThread*>(threads_.back().get());
  }
  FakeModule* addModule(const char* name, const char* version, TargetAddress base, uint32_t size,
                        uint32_t codeSize, uint32_t timestamp) {
    modules_.push_back(
        std::make_unique<FakeModule>(name, version, base, size, codeSize, timestamp));
    return static_cast<FakeModule*>(modules_.back().get());
  }

  bool isReadable(TargetAddress address) const override { return find(address, 1) != nullptr; }
  uint32_t exceptionCode() const override { return exceptionCode_; }
  const char* exceptionName() const override { return exceptionName_; }
  TargetAddress exceptionAddress() const override { return exceptionAddress_; }
  const ThreadList& threads() const override { return threads_; }
  const ModuleInfo* mainModule() const override { return mainModule_; }
  const ModuleList& modules() const override { return modules_; }
  std::unique_ptr<MemoryReader> createMemoryReader() const override {
    if (readersLeft_ == 0) return nullptr;
    if (readersLeft_ > 0) --readersLeft_;
    return std::make_unique<FakeReader>(const_cast<FakeProcess*>(this));
  }

  // The segment bytes of [address, address + length), or null.
  const uint8_t* find(TargetAddress address, uint64_t length) const {
    for (const Segment& segment : segments_) {
      if (address >= segment.start && address - segment.start <= segment.bytes.size() &&
          length <= segment.bytes.size() - (address - segment.start)) {
        return segment.bytes.data() + (address - segment.start);
      }
    }
    return nullptr;
  }
  uint8_t* byteAt(TargetAddress address) { return const_cast<uint8_t*>(find(address, 1)); }

  uint32_t exceptionCode_ = 0xC0000005;
  const char* exceptionName_ = nullptr;
  TargetAddress exceptionAddress_ = 0;
  const ModuleInfo* mainModule_ = nullptr;
  // Readers that may still be made; -1 for any number.
  mutable int readersLeft_ = -1;
  // Every read asked for, as (address, length); and whether any ran past the
  // top of the address space.
  std::vector<std::pair<TargetAddress, uint32_t>> reads_;
  bool wrappedRead_ = false;

 private:
  friend class FakeReader;
  std::vector<Segment> segments_;
  std::vector<MemoryRange> failing_;
  ThreadList threads_;
  ModuleList modules_;
};

const uint8_t* FakeReader::read(TargetAddress address, uint32_t length, uint32_t* bytesRead) {
  *bytesRead = 0;
  process_->reads_.push_back({address, length});
  // Past the last byte of the address space.
  if (length != 0 && kTargetAddressMax - address < length - 1) process_->wrappedRead_ = true;
  for (const MemoryRange& failing : process_->failing_) {
    if (address < failing.end && address + static_cast<uint64_t>(length) > failing.start) {
      return nullptr;
    }
  }
  const uint8_t* bytes = length != 0 ? process_->find(address, length) : nullptr;
  if (bytes == nullptr) return nullptr;
  buffer_.assign(bytes, bytes + length);
  *bytesRead = length;
  return buffer_.data();
}

std::vector<std::string> splitCrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(text.size(), start) << "the log must end with CR LF";
  for (const std::string& line : lines) {
    EXPECT_EQ(std::string::npos, line.find_first_of("\r\n")) << "bare line end in: " << line;
  }
  return lines;
}

// What a thread section says of one thread.
struct ThreadReport {
  bool found = false;
  std::string contextValues;  // e.g. "9 (all)"
  std::string stackValues;
  std::vector<std::string> stackLines;
};

ThreadReport findThread(const std::vector<std::string>& lines, uint32_t id) {
  ThreadReport report;
  const std::string heading = "ThreadInfo: " + hex8(id);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] != heading || i + 4 >= lines.size()) continue;
    report.found = true;
    report.contextValues = lines[i + 3].substr(lines[i + 3].find('=') + 1);
    report.stackValues = lines[i + 4].substr(lines[i + 4].find('=') + 1);
    for (size_t j = i; j < lines.size(); ++j) {
      if (lines[j] != "Stack dump: " + hex8(id)) continue;
      for (size_t k = j + 1; k < lines.size() && !lines[k].empty(); ++k) {
        report.stackLines.push_back(lines[k]);
      }
      break;
    }
    break;
  }
  return report;
}

// The lines after "Memory dumps:".
std::vector<std::string> dumpLines(const std::vector<std::string>& lines) {
  auto heading = std::find(lines.begin(), lines.end(), "Memory dumps:");
  if (heading == lines.end()) return {};
  return std::vector<std::string>(heading + 1, lines.end());
}

using Ranges = std::vector<std::pair<TargetAddress, TargetAddress>>;

Ranges rangesOf(const CrashLogWriter& writer) {
  Ranges ranges;
  for (const MemoryRange& range : writer.ranges()) ranges.emplace_back(range.start, range.end);
  return ranges;
}

// Logs are written by relative name into a fresh current directory, as the
// crash pipeline does.
class CrashLogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    ASSERT_TRUE(currentDirectory_.enter(dir_.path()));
  }
  void TearDown() override {
    crashLogFileWriteSeam.replaceForTesting(nullptr);
    crashLogFileCloseSeam.replaceForTesting(nullptr);
    rangeAllocationSeam.replaceForTesting(nullptr);
  }

  // Writes "crash.txt", new, and returns its bytes; empty when the write
  // failed.
  std::string write(const FakeProcess& process, const CrashMetadata& metadata = {}) {
    deleteFile(joinPath(dir_.path(), L"crash.txt"));
    if (!writer_.write(process, metadata, "crash.txt")) return std::string();
    std::string text;
    EXPECT_TRUE(readFileToString(joinPath(dir_.path(), L"crash.txt"), &text));
    return text;
  }
  std::vector<std::string> writeLines(const FakeProcess& process,
                                      const CrashMetadata& metadata = {}) {
    std::string text = write(process, metadata);
    EXPECT_FALSE(text.empty());
    return splitCrLfLines(text);
  }

  ScopedTempDir dir_;
  ScopedCurrentDirectory currentDirectory_;
  CrashLogWriter writer_;
};

// A value in EAX of a crashed thread whose stack is empty: the ranges it adds.
struct PointerCase {
  const char* name;
  uint32_t value;
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
};

TEST_F(CrashLogWriterTest, PointerRangesUseTheCodeRadiusInsideCodeAndClampAtTheEdges) {
  X86_CASES_ONLY();
  const PointerCase cases[] = {
      {"code", 0x00401000, {{0x00400FF0, 0x00401010}}},
      {"last byte of code", 0x00401FFF, {{0x00401FEF, 0x0040200F}}},
      {"first byte after the code", 0x00402000, {{0x00401C00, 0x00402400}}},
      {"module but after its code", 0x00402800, {{0x00402400, 0x00402C00}}},
      {"module without a code range", 0x20000800, {{0x20000400, 0x20000C00}}},
      {"near 0", 0x00000005, {{0x00000000, 0x00000405}}},
      {"radius exactly to 0", 0x00000400, {{0x00000000, 0x00000800}}},
      {"near the top", 0xFFFFFFE0, {{0xFFFFFBE0, 0xFFFFFFFF}}},
      {"code near the top", 0xFFFFFFFE, {{0xFFFFFFEE, 0xFFFFFFFF}}},
      {"unreadable", 0x30000000, {}},
      {"zero", 0x00000000, {}},
  };
  for (const PointerCase& test : cases) {
    SCOPED_TRACE(test.name);
    FakeProcess process;
    process.addModule("main.exe", "", 0x00400000, 0x10000, 0x2000, 0);
    // codeEnd 0: the code size is 0 - base in 32 bits.
    process.addModule("nocode.dll", "", 0x20000000, 0x10000, 0u - 0x20000000u, 0);
    process.addModule("high.dll", "", 0xFFFF0000, 0xFFFF, 0x8000, 0);
    process.addModule("top.dll", "", 0xFFFFFFF0, 0xF, 0xF, 0);
    process.addMemory(0x00000000, 0x1000);
    process.addMemory(0x00400000, 0x10000);
    process.addMemory(0x20000000, 0x10000);
    process.addMemory(0xFFFF0000, 0xFFFF);
    reg::ax(process.addThread(1, true)->registers_) = test.value;
    writeLines(process);
    EXPECT_EQ(Ranges(test.ranges.begin(), test.ranges.end()), rangesOf(writer_));
    EXPECT_FALSE(process.wrappedRead_);
  }
}

void* noMemory(size_t) { return nullptr; }

// Without memory for the ranges they are left out; the log is complete.
TEST_F(CrashLogWriterTest, RangesLeftOutWhenMemoryRunsOutGiveACompleteLog) {
  rangeAllocationSeam.replaceForTesting(&noMemory);
  FakeProcess process;
  process.addMemory(0x10000, 0x10000);
  reg::ax(process.addThread(1, true)->registers_) = 0x10800;
  std::vector<std::string> lines = writeLines(process);
  EXPECT_EQ(0u, writer_.ranges().size());
  EXPECT_EQ("Memory dumps:", lines.back());
}

TEST_F(CrashLogWriterTest, HeaderExceptionAndMetadataLines) {
  X86_CASES_ONLY();
  struct Case {
    const char* name;
    bool withMainModule;
    const char* exceptionName;
    uint32_t code;
    CrashMetadata metadata;
    std::vector<std::string> head;
  };
  // clang-format off
  const Case cases[] = {
      {"no main module, no metadata", false, nullptr, 0xC0000005, {"0.0.0.0", "-1", {}},
       {"TAVRA-CRASHLOG V1 desktop 0.0.0.0 -1 windows  release",
        "<no name> caused exception C0000005 at address 0040102A (Base: 00000000)",
        "Architecture: x86", "", "Thread: 00000010"}},
      {"named exception, metadata in order, repeated keys kept", true,
       "EXCEPTION_ACCESS_VIOLATION", 0xC0000005,
       {"1.0", "77", {{"a", "x y"}, {"empty", ""}, {"a", "second"}}},
       {"TAVRA-CRASHLOG V1 desktop 1.0 77 windows  release",
        "main.exe caused exception EXCEPTION_ACCESS_VIOLATION at address 0040102A (Base: 00400000)",
        "Architecture: x86", "", "metadata:", "a=\"x y\"", "empty=\"\"", "a=\"second\"", "", "Thread: 00000010"}},
      {"short code without leading zeros", true, nullptr, 0x3, {"v", "b", {}},
       {"TAVRA-CRASHLOG V1 desktop v b windows  release",
        "main.exe caused exception 3 at address 0040102A (Base: 00400000)",
        "Architecture: x86", "", "Thread: 00000010"}},
  };
  // clang-format on
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FakeProcess process;
    FakeModule* main = process.addModule("main.exe", "", 0x00400000, 0x1000, 0, 0);
    if (test.withMainModule) process.mainModule_ = main;
    process.exceptionName_ = test.exceptionName;
    process.exceptionCode_ = test.code;
    process.exceptionAddress_ = 0x0040102A;
    process.addThread(0x10, true);
    std::vector<std::string> lines = writeLines(process, test.metadata);
    ASSERT_GE(lines.size(), test.head.size());
    EXPECT_EQ(test.head, std::vector<std::string>(lines.begin(), lines.begin() + test.head.size()));
  }
}

// Text that the crashed process chose, in each field that carries such text:
// it is written on its own line with its control bytes, quotes and
// backslashes escaped, so that no text ends its line or adds a section (a
// fake crashed thread least of all), and ordinary text is written as it is.
TEST_F(CrashLogWriterTest, TextFromTheCrashedProcessIsEscapedInEveryField) {
  struct Case {
    const char* name;
    std::string text;
    const char* written;
  };
  const std::string fakeThread =
      "\"\r\n\r\nThread: 00000BAD\r\n\r\nThreadInfo: 00000BAD\r\nPriority=00000000\r\n"
      "Crashed=1\r\nchecked_context_values=9 (all)\r\nchecked_stack_values=0 (all)\r\n\r\n"
      "Registers: 00000BAD\r\n"
      "EAX=00000000   EBX=00000000   ECX=00000000   EDX=00000000   ESI=00000000\r\n";
  // clang-format off
  const Case cases[] = {
      {"CR LF", "a\r\nb", "a\\x0D\\x0Ab"},
      {"lone LF", "a\nb", "a\\x0Ab"},
      {"quotes", "say \"hi\"", "say \\x22hi\\x22"},
      {"backslashes, one already like an escape", "C:\\x41\\", "C:\\x5Cx41\\x5C"},
      {"NUL, DEL, tab and escape", std::string("a\0b\x7F\t\x1B", 6), "a\\x00b\\x7F\\x09\\x1B"},
      {"ordinary text and UTF-8 as they are", "1.0 =<b>~ \xC3\xBC\xE2\x82\xAC",
       "1.0 =<b>~ \xC3\xBC\xE2\x82\xAC"},
      {"a fake crashed thread", fakeThread,
       "\\x22\\x0D\\x0A\\x0D\\x0AThread: 00000BAD\\x0D\\x0A\\x0D\\x0AThreadInfo: 00000BAD\\x0D\\x0A"
       "Priority=00000000\\x0D\\x0ACrashed=1\\x0D\\x0Achecked_context_values=9 (all)\\x0D\\x0A"
       "checked_stack_values=0 (all)\\x0D\\x0A\\x0D\\x0ARegisters: 00000BAD\\x0D\\x0A"
       "EAX=00000000   EBX=00000000   ECX=00000000   EDX=00000000   ESI=00000000\\x0D\\x0A"},
  };
  // clang-format on
  enum Field {
    kVersion,
    kBuild,
    kValue,
    kMainModuleName,
    kExceptionName,
    kModuleName,
    kFileVersion
  };
  auto padded = [](std::string text, size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
  };
  for (const Case& test : cases) {
    for (int field = kVersion; field <= kFileVersion; ++field) {
      SCOPED_TRACE(std::string(test.name) + ", field " + std::to_string(field));
      // Names from a module file or the process are C strings: they end at a NUL.
      const bool cString = field >= kMainModuleName;
      if (cString && test.text.find('\0') != std::string::npos) continue;
      const std::string& text = test.text;
      FakeProcess process;
      FakeModule* main = process.addModule(field == kMainModuleName ? text.c_str() : "main.exe", "",
                                           0x00400000, 0x1000, 0, 0);
      process.addModule(field == kModuleName ? text.c_str() : "lib.dll",
                        field == kFileVersion ? text.c_str() : "1.0", 0x10000000, 0x2000, 0, 0);
      process.mainModule_ = main;
      process.exceptionName_ = field == kExceptionName ? text.c_str() : nullptr;
      process.exceptionAddress_ = 0x0040102A;
      process.addThread(0x10, true);
      process.addThread(0x20, false);
      CrashMetadata metadata{field == kVersion ? text : "v",
                             field == kBuild ? text : "b",
                             {{"k", field == kValue ? text : "x"}, {"last", "y"}}};
      const std::vector<std::string> lines = writeLines(process, metadata);
      ASSERT_GE(lines.size(), 9u);

      const std::string written = test.written;
      const std::string at =
          " at address " + hexAddress(0x0040102A) + " (Base: " + hexAddress(0x00400000) + ")";
      const std::string module =
          " Base: " + hexAddress(0x10000000) + " Size: 00002000 Timestamp: 00000000";
      const std::string expectedLine[] = {
          "TAVRA-CRASHLOG V1 desktop " + written + " b windows  release",
          "TAVRA-CRASHLOG V1 desktop v " + written + " windows  release",
          "k=\"" + written + "\"",
          written + " caused exception C0000005" + at,
          "main.exe caused exception " + written + at,
          padded(written, 26) + " " + padded("1.0", 46) + module,
          padded("lib.dll", 26) + " " + padded(written, 46) + module,
      };
      EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), expectedLine[field]));
      // The log has the real layout and nothing more: one line per metadata
      // entry, the crashed thread's section next, and only the two real
      // threads have sections.
      EXPECT_EQ("metadata:", lines[4]);
      EXPECT_EQ("last=\"y\"", lines[6]);
      EXPECT_EQ("Thread: 00000010", lines[8]);
      size_t headings = 0;
      size_t crashed = 0;
      for (const std::string& line : lines) {
        if (line.compare(0, 8, "Thread: ") == 0) ++headings;
        if (line == "Crashed=1") ++crashed;
      }
      EXPECT_EQ(2u, headings);
      EXPECT_EQ(1u, crashed);
    }
  }
}

// One thread's stack block: how it is read and how much of it is kept.
struct StackCase {
  const char* name;
  bool crashed;
  uint32_t esp;
  uint32_t ebp;
  uint32_t stackSize;
  uint32_t memoryStart;  // readable [memoryStart, memoryEnd)
  uint64_t memoryEnd;
  std::vector<std::pair<uint32_t, uint32_t>> words;  // (address, value)
  std::vector<uint32_t> readLengths;                 // asked of the stack reader
  std::string stackValues;
};

TEST_F(CrashLogWriterTest, StackBlockReadsShrinkAndAreCutToTheUsedStack) {
  X86_CASES_ONLY();
  const uint32_t S = 0x00110000;  // a page boundary
  // clang-format off
  const StackCase cases[] = {
      {"below 4096: empty", true, 0xFFC, 0, 0, 0, 0x2000, {}, {}, "0 (all)"},
      {"ESP rounded down to 4", false, S + 0x102, 0, 0x200, S, S + 0x1000,
       {{S + 0x100, 0x11}}, {0x200}, "17 (all)"},
      {"shrinking to the page of the failed read's last byte", true, S + 0xF00, 0, 0, S,
       S + 0x1000, {}, {0x2000, 0x1100, 0x100}, "64 (all)"},
      {"nothing readable", true, S + 0xF00, 0, 0, 0, 0, {}, {0x2000, 0x1100, 0x100}, "0 (all)"},
      {"stack size asked", false, S, 0, 0x300, S, S + 0x2000, {{S + 0x2FC, 1}}, {0x300},
       "192 (all)"},
      {"stack size above 8192", false, S, 0, 0x3000, S, S + 0x4000, {{S + 0x1FFC, 1}}, {0x2000},
       "2048 (all)"},
      {"crashed: at least 512", true, S, 0, 0x20, S, S + 0x1000, {{S, 0xFF}}, {0x200}, "17 (all)"},
      {"trailing zeros cut, plus 64", false, S, 0, 0x1000, S, S + 0x1000, {{S + 0x64, 0xFFFF}},
       {0x1000}, "42 (all)"},
      {"all zero: 64 bytes", false, S, 0, 0x1000, S, S + 0x1000, {}, {0x1000}, "16 (all)"},
      {"crashed, size unknown: all of it", true, S, 0, 0, S, S + 0x3000, {}, {0x2000},
       "2048 (all)"},
      {"frame chain up, then backwards", false, S, S + 0x40, 0, S, S + 0x3000,
       {{S + 0x40, S + 0x300}, {S + 0x300, S + 0x900}, {S + 0x900, S + 0x880}}, {0x2000},
       "592 (all)"},
      {"frame chain pointing at itself", false, S, S + 0x600, 0, S, S + 0x3000,
       {{S + 0x600, S + 0x600}}, {0x2000}, "400 (all)"},
      {"frame chain leaving the block", false, S, S + 0x280, 0, S, S + 0x3000,
       {{S + 0x280, S + 0x2000}}, {0x2000}, "176 (all)"},
      {"misaligned frame pointer", false, S, S + 0x602, 0, S, S + 0x3000,
       {{S + 0x600, S + 0x700}}, {0x2000}, "144 (all)"},
      {"self-pointers raise the extent in turn", false, S, 0, 0, S, S + 0x3000,
       {{S + 0x8, S + 0x700}, {S + 0x6F0, S + 0x1000}, {S + 0x1800, S + 0x1F00}}, {0x2000},
       "1040 (all)"},
      {"a self-pointer beyond the extent is not seen", false, S, 0, 0, S, S + 0x3000,
       {{S + 0x204, S + 0x1000}}, {0x2000}, "144 (all)"},
      {"a self-pointer right at the extent is seen", false, S, 0, 0, S, S + 0x3000,
       {{S + 0x200, S + 0x400}}, {0x2000}, "272 (all)"},
      {"a frame pointer at the block's last word is not followed", false, S, S + 0x1FFC, 0, S,
       S + 0x3000, {{S + 0x1FFC, S + 0x2FFC}}, {0x2000}, "144 (all)"},
      {"a self-pointer at the block's last word is not taken", false, S, 0, 0, S, S + 0x3000,
       {{S + 0x100, S + 0x1FFC}}, {0x2000}, "144 (all)"},
      {"at the top of the address space", false, 0xFFFFFFFE, 0xFFFFFFFC, 0, 0xFFFFF000, kTop,
       {{0xFFFFFFFC, 0xFFFFFFFC}}, {4}, "1 (all)"},
      {"near the top, crashed", true, 0xFFFFFF00, 0, 0, 0xFFFFF000, kTop, {}, {0x100}, "64 (all)"},
  };
  // clang-format on
  for (const StackCase& test : cases) {
    SCOPED_TRACE(test.name);
    FakeProcess process;
    if (test.memoryEnd > test.memoryStart) {
      process.addMemory(test.memoryStart, static_cast<uint32_t>(test.memoryEnd - test.memoryStart));
    }
    for (const auto& word : test.words) process.setWords32(word.first, {word.second});
    // A first, crashed thread with no stack when the case is about another.
    if (!test.crashed) process.addThread(1, true);
    FakeThread* thread = process.addThread(2, test.crashed);
    reg::sp(thread->registers_) = test.esp;
    reg::bp(thread->registers_) = test.ebp;
    thread->stackSize_ = test.stackSize;
    std::vector<std::string> lines = writeLines(process);
    std::vector<uint32_t> lengths;
    for (const auto& read : process.reads_) {
      if (read.first == (test.esp & ~3u)) lengths.push_back(read.second);
    }
    EXPECT_EQ(test.readLengths, lengths);
    const ThreadReport report = findThread(lines, 2);
    EXPECT_EQ(test.stackValues, report.stackValues);
    EXPECT_FALSE(process.wrappedRead_);
  }
}

TEST_F(CrashLogWriterTest, StackLinesMarkTheFrameChainAndPadAShortLastLine) {
  X86_CASES_ONLY();
  FakeProcess process;
  const uint32_t S = 0x00120FD8;
  process.addMemory(0x00120000, 0x1000);
  process.setWords(
      S, {0x41424344, S + 0x10, 0, 0, S + 0x20, 0x7E7F2021, S + 0x14, 0, S + 0x0C, 0x61626364});
  FakeThread* thread = process.addThread(7, true);
  reg::sp(thread->registers_) = S;
  reg::bp(thread->registers_) = S + 4;
  std::vector<std::string> lines = writeLines(process);
  // The chain: EBP = S+4 -> S+0x10 -> S+0x20 -> S+0x0C, which lies behind:
  // no more marks. The block ends at the page: 40 bytes, the last line 8.
  EXPECT_EQ(std::vector<std::string>(
                {"00120FD8  41424344 >00120FE8  00000000  00000000  DCBA............",
                 "00120FE8 >00120FF8  7E7F2021  00120FEC  00000000  ....! .~........",
                 "00120FF8 >00120FE4  61626364" + std::string(22, ' ') + "....dcba"}),
            findThread(lines, 7).stackLines);
}

// Threads with `pointers` stack words each pointing into fresh readable
// memory 4096 bytes apart, every one adding 2048 bytes. The stack size is
// known, so the block is the pointers and 16 zero words.
FakeThread* addThreadWithPointers(FakeProcess* process, uint32_t id, bool crashed,
                                  uint32_t pointers, TargetAddress dataStart) {
  const TargetAddress stack = 0x00010000 + id * 0x4000;
  process->addMemory(stack, 0x2000);
  if (pointers != 0) process->addMemory(dataStart, pointers * 0x1000);
  for (uint32_t i = 0; i < pointers; ++i)
    process->setWords(stack + kStackWordBytes * i, {dataStart + i * 0x1000 + 0x800});
  FakeThread* thread = process->addThread(id, crashed);
  reg::sp(thread->registers_) = stack;
  thread->stackSize_ = 0x2000;
  return thread;
}

TEST_F(CrashLogWriterTest, BudgetsLimitEveryThreadButTheCrashedOne) {
  struct Case {
    const char* name;
    uint32_t crashedPointers;
    std::vector<uint32_t> otherPointers;
    std::vector<std::string> contextValues;
    std::vector<std::string> stackValues;
  };
  const Case cases[] = {
      {"cut to 61440", 0, {40, 40}, {kAllRegisters, kAllRegisters}, {"30", "30"}},
      {"halved, not for the last thread",
       296,
       {10, 10},
       {kAllRegisters, kAllRegisters},
       {"2", "2"}},
      {"exactly 61440 left is halved", 270, {20, 20}, {kAllRegisters, kAllRegisters}, {"15", "15"}},
      {"total at the budget", 300, {5, 0}, {"0", "0"}, {"0", "0 (all)"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FakeProcess process;
    addThreadWithPointers(&process, 1, true, test.crashedPointers, 0x01000000);
    for (size_t i = 0; i < test.otherPointers.size(); ++i) {
      FakeThread* thread =
          addThreadWithPointers(&process, static_cast<uint32_t>(i + 2), false,
                                test.otherPointers[i], static_cast<uint32_t>(0x02000000 * (i + 1)));
      if (test.otherPointers[i] == 0) reg::sp(thread->registers_) = 0x100;
    }
    std::vector<std::string> lines = writeLines(process);
    const ThreadReport crashed = findThread(lines, 1);
    EXPECT_EQ(kAllRegisters, crashed.contextValues);
    EXPECT_EQ(usedStackWords(test.crashedPointers), crashed.stackValues);
    for (size_t i = 0; i < test.otherPointers.size(); ++i) {
      const ThreadReport report = findThread(lines, static_cast<uint32_t>(i + 2));
      EXPECT_EQ(test.contextValues[i], report.contextValues) << "thread " << i + 2;
      EXPECT_EQ(test.stackValues[i], report.stackValues) << "thread " << i + 2;
    }
  }
}

TEST_F(CrashLogWriterTest, RegistersAreCheckedInOrderWhileBudgetLasts) {
  FakeProcess process;
  addThreadWithPointers(&process, 1, true, 296, 0x01000000);  // 8192 left
  process.addMemory(0x30000000, 0x10000);
  FakeThread* thread = addThreadWithPointers(&process, 2, false, 4, 0x02000000);
  // Budget 4096 (halved): EAX and EBX use it up, ECX is never looked at.
  reg::ax(thread->registers_) = 0x30000800;
  reg::bx(thread->registers_) = 0x30001800;
  reg::cx(thread->registers_) = 0x30002800;
  addThreadWithPointers(&process, 3, false, 0, 0);
  std::vector<std::string> lines = writeLines(process);
  EXPECT_EQ("2", findThread(lines, 2).contextValues);
  EXPECT_EQ("0", findThread(lines, 2).stackValues);
  const auto ranges = rangesOf(writer_);
  auto has = [&ranges](TargetAddress start) {
    return std::find(ranges.begin(), ranges.end(), std::make_pair(start, start + 0x800)) !=
           ranges.end();
  };
  EXPECT_TRUE(has(0x30000400));
  EXPECT_TRUE(has(0x30001400));
  EXPECT_FALSE(has(0x30002400));
  EXPECT_EQ(606208u + 4096, writer_.ranges().total());
}

TEST_F(CrashLogWriterTest, CrashedThreadChecksEverythingWhateverTheTotal) {
  FakeProcess process;
  // Fourteen threads fill the budget: nine get 61440 bytes each, the next
  // ones half of what is left. The fifteenth gets none; the crashed thread
  // comes last.
  for (uint32_t i = 0; i < 15; ++i) {
    addThreadWithPointers(&process, i + 1, false, 40, 0x01000000 + i * 0x00100000);
  }
  process.addMemory(0x40000000, 0x10000);
  FakeThread* crashed = addThreadWithPointers(&process, 16, true, 3, 0x30000000);
  RegisterSet& r = crashed->registers_;
  TargetAddress next = 0x40000800;
  for (TargetAddress* value : {&reg::ax(r), &reg::bx(r), &reg::cx(r), &reg::dx(r), &reg::si(r),
                               &reg::di(r), &reg::bp(r)}) {
    *value = next;
    next += 0x1000;
  }
  std::vector<std::string> lines = writeLines(process);
  const char* const expected[] = {"30", "30", "30", "30", "30", "30", "30",
                                  "30", "30", "15", "8",  "4",  "2",  "1"};
  for (uint32_t i = 0; i < 14; ++i) {
    EXPECT_EQ(expected[i], findThread(lines, i + 1).stackValues) << "thread " << i + 1;
  }
  EXPECT_EQ("0", findThread(lines, 15).contextValues);
  EXPECT_EQ(kAllRegisters, findThread(lines, 16).contextValues);
  EXPECT_EQ(usedStackWords(3), findThread(lines, 16).stackValues);
  EXPECT_EQ(614400u + 10 * 2048, writer_.ranges().total());
}

TEST_F(CrashLogWriterTest, ThreadsAfterThe499thAreWrittenOnlyWhenCrashed) {
  for (uint32_t crashedPosition : {1u, 500u}) {
    SCOPED_TRACE(crashedPosition);
    FakeProcess process;
    for (uint32_t position = 1; position <= 501; ++position) {
      process.addThread(position, position == crashedPosition);
    }
    std::vector<std::string> lines = writeLines(process);
    std::vector<uint32_t> written;
    for (const std::string& line : lines) {
      if (line.compare(0, 8, "Thread: ") == 0)
        written.push_back(std::stoul(line.substr(8), nullptr, 16));
    }
    ASSERT_EQ(crashedPosition == 500 ? 500u : 499u, written.size());
    EXPECT_EQ(499u, written[498]);
    if (crashedPosition == 500) {
      EXPECT_EQ(500u, written[499]);
    }
  }
}

TEST_F(CrashLogWriterTest, DumpsSkipUnreadablePagesAndSeparateRangesByBlankLines) {
  FakeProcess process;
  process.addPatternMemory(0x00020000, 0x1000);
  process.addPatternMemory(0x00030000, 0x10);    // too little for a whole page
  process.addPatternMemory(0x00040000, 0x2000);  // read fails over it
  process.failReads(0x00040000, 0x00042000);
  process.addPatternMemory(0x00051000, 0x20);
  FakeThread* thread = process.addThread(1, true);
  // One range from below the readable page to above it: cut to the page.
  reg::ax(thread->registers_) = 0x00020010;
  reg::bx(thread->registers_) = 0x00020800;
  reg::cx(thread->registers_) = 0x00020FF0;
  reg::dx(thread->registers_) = 0x00030008;  // nothing left of it: skipped
  reg::si(thread->registers_) = 0x00041000;  // the read fails: no lines
  reg::di(thread->registers_) = 0x00051010;  // skipped, the last range
  std::vector<std::string> lines = dumpLines(writeLines(process));
  const Ranges ranges = {{0x0001FC10, 0x000213F0},
                         {0x0002FC08, 0x00030408},
                         {0x00040C00, 0x00041400},
                         {0x00050C10, 0x00051410}};
  EXPECT_EQ(ranges, rangesOf(writer_));
  // 0x1000 bytes of the first range, a blank line, nothing of the second,
  // the third's blank line, nothing of the last.
  ASSERT_EQ(256u + 2, lines.size());
  EXPECT_EQ(hexAddress(0x00020000) +
                "  07 14 21 2E  3B 48 55 62  6F 7C 89 96  A3 B0 BD CA ..!.;HUbo|......",
            lines[0]);
  EXPECT_EQ(hexAddress(0x00020FF0) +
                "  37 44 51 5E  6B 78 85 92  9F AC B9 C6  D3 E0 ED FA 7DQ^kx..........",
            lines[255]);
  EXPECT_EQ("", lines[256]);
  EXPECT_EQ("", lines[257]);
}

TEST_F(CrashLogWriterTest, ShortLastDumpLineIsPadded) {
  FakeProcess process;
  process.addModule("m.dll", "", 0x00400000, 0x1000, 0x1000, 0);
  process.addPatternMemory(0x00400000, 0x1000);
  FakeThread* thread = process.addThread(1, true);
  reg::ip(thread->registers_) = 0x00400100;
  reg::ax(thread->registers_) = 0x00400114;  // merged: [0x4000F0, 0x400124)
  std::vector<std::string> lines = dumpLines(writeLines(process));
  EXPECT_EQ(std::vector<std::string>(
                {hexAddress(0x004000F0) +
                     "  37 44 51 5E  6B 78 85 92  9F AC B9 C6  D3 E0 ED FA 7DQ^kx..........",
                 hexAddress(0x00400100) +
                     "  07 14 21 2E  3B 48 55 62  6F 7C 89 96  A3 B0 BD CA ..!.;HUbo|......",
                 hexAddress(0x00400110) +
                     "  D7 E4 F1 FE  0B 18 25 32  3F 4C 59 66  73 80 8D 9A ......%2?LYfs...",
                 hexAddress(0x00400120) + "  A7 B4 C1 CE" + std::string(40, ' ') + "...."}),
            lines);
}

int failingWrites = 0;
size_t writeUntilFailure(const void* data, size_t size, size_t count, FILE* file) {
  if (failingWrites > 0 && --failingWrites == 0) return 0;
  return fwrite(data, size, count, file);
}
int failingClose(FILE* file) {
  fclose(file);
  return EOF;
}

TEST_F(CrashLogWriterTest, FailuresLeaveNoFile) {
  struct Case {
    const char* name;
    const char* path;
    int readersLeft;    // -1: any
    int failWriteCall;  // 0: none
    bool failClose;
  };
  const Case cases[] = {
      {"missing folder", "no_such_folder\\crash.txt", -1, 0, false},
      {"no reader for the first stack", "crash.txt", 0, 0, false},
      {"no reader for the dumps", "crash.txt", 3, 0, false},
      {"the first write fails", "crash.txt", -1, 1, false},
      {"a later write fails", "crash.txt", -1, 3, false},
      {"the close fails", "crash.txt", -1, 0, true},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FakeProcess process;
    // Enough text for several buffer flushes.
    for (uint32_t id = 1; id <= 3; ++id) {
      addThreadWithPointers(&process, id, id == 1, 200, 0x01000000 * id);
    }
    process.readersLeft_ = test.readersLeft;
    failingWrites = test.failWriteCall;
    crashLogFileWriteSeam.replaceForTesting(&writeUntilFailure);
    crashLogFileCloseSeam.replaceForTesting(test.failClose ? &failingClose : nullptr);
    EXPECT_FALSE(writer_.write(process, CrashMetadata(), test.path));
    crashLogFileWriteSeam.replaceForTesting(nullptr);
    crashLogFileCloseSeam.replaceForTesting(nullptr);
    EXPECT_TRUE(listDirectory(dir_.path()).empty());
    // A failed write is not signed, not even when asked again.
    writer_.computeSignature(process);
    EXPECT_TRUE(writer_.signature().text.empty());
  }
  // A name that is taken: what has it is left as it was.
  ASSERT_TRUE(writeFile(joinPath(dir_.path(), L"crash.txt"), "old"));
  EXPECT_FALSE(writer_.write(FakeProcess(), CrashMetadata(), "crash.txt"));
  std::string old;
  ASSERT_TRUE(readFileToString(joinPath(dir_.path(), L"crash.txt"), &old));
  EXPECT_EQ(old, "old");
  EXPECT_FALSE(writer_.write(FakeProcess(), CrashMetadata(), nullptr));
}

// The snapshot of FakeProcess, recording every readability question.
class AskedProcess : public FakeProcess {
 public:
  bool isReadable(TargetAddress address) const override {
    asked_.push_back(address);
    return FakeProcess::isReadable(address);
  }
  mutable std::vector<TargetAddress> asked_;
};

// The crashed thread's stack words, in order, on a stack of its own; the
// registers stay 0.
void addCrashedStack(FakeProcess* process, const std::vector<TargetAddress>& words) {
  process->addMemory(0x00010000, 0x2000);
  process->setWords(0x00010000, words);
  FakeThread* thread = process->addThread(1, true);
  reg::sp(thread->registers_) = 0x00010000;
  thread->stackSize_ = 0x2000;
}

TEST_F(CrashLogWriterTest, OnlyValuesWhoseRangeIsNotDumpedYetAreAskedAbout) {
  const TargetAddress D = 0x00500800;  // readable data, outside any code
  const TargetAddress C = 0x00401000;  // code
  const TargetAddress U = 0x30000000;  // unreadable
  struct Case {
    const char* name;
    std::vector<TargetAddress> words;
    std::vector<TargetAddress> asked;
    Ranges ranges;
  };
  // clang-format off
  const Case cases[] = {
      {"the same pointer again and again", std::vector<TargetAddress>(300, D), {D},
       {{D - 1024, D + 1024}}},
      {"inside the range of an earlier one", {D, D + 100, D + 50, D + 100, D + 24},
       {D, D + 100}, {{D - 1024, D + 1124}}},
      {"a range that would reach one byte past is asked about", {D, D + 1, D - 1},
       {D, D + 1, D - 1}, {{D - 1025, D + 1025}}},
      {"code: only its own small range counts", {C, C + 8, C, C + 4},
       {C, C + 8}, {{C - 16, C + 24}}},
      {"code inside a dumped data range", {0x00402100, 0x00401FF0, C},
       {0x00402100, C}, {{C - 16, C + 16}, {0x00401D00, 0x00402500}}},
      {"unreadable values take no range, so each is asked about", {U, U, U + 4},
       {U, U, U + 4}, {}},
      {"zero is never asked about", {0, 0, D}, {D}, {{D - 1024, D + 1024}}},
  };
  // clang-format on
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    AskedProcess process;
    process.addModule("main.exe", "", 0x00400000, 0x10000, 0x2000, 0);
    process.addMemory(0x00400000, 0x10000);
    process.addMemory(0x00500000, 0x10000);
    addCrashedStack(&process, test.words);
    const std::vector<std::string> lines = writeLines(process);
    // The stack block is cut to the used stack: every word is checked.
    EXPECT_EQ(usedStackWords(test.words.size()), findThread(lines, 1).stackValues);
    std::vector<TargetAddress> asked;
    for (TargetAddress address : process.asked_) {
      // The memory dumps ask about the ends of each range as well.
      if (address >= 0x00010000 + 0x2000 || address < 0x00010000) asked.push_back(address);
    }
    asked.resize(std::min(asked.size(), test.asked.size()));
    EXPECT_EQ(test.asked, asked);
    EXPECT_EQ(test.ranges, rangesOf(writer_));
  }
}

void* noMemoryForShortLists(size_t bytes) {
  return bytes < 64 * sizeof(MemoryRange) ? nullptr : ::operator new(bytes, std::nothrow);
}

TEST_F(CrashLogWriterTest, CodeRangesInAnyOrderOverlappingOrWrappingGiveTheCodeRadius) {
  X86_CASES_ONLY();
  struct Case {
    const char* name;
    uint32_t value;
    uint32_t radius;
  };
  const Case cases[] = {
      {"inside the outer of two nested ranges only", 0x004F0000, 16},
      {"inside both nested ranges", 0x00400800, 16},
      {"just past the outer range", 0x00500000, 1024},
      {"in a range listed before a lower one", 0x00700010, 16},
      {"in the second of two overlapping ranges", 0x00880000, 16},
      {"between ranges", 0x00600000, 1024},
      {"below every range", 0x00100000, 1024},
      {"in a module whose code end wraps", 0xFFFF9000, 1024},
      {"in a module with a code end of 0", 0x20000800, 1024},
  };
  for (bool listMemory : {true, false}) {
    for (const Case& test : cases) {
      SCOPED_TRACE(std::string(test.name) + (listMemory ? "" : ", modules scanned"));
      rangeAllocationSeam.replaceForTesting(listMemory ? nullptr : &noMemoryForShortLists);
      FakeProcess process;
      process.addModule("late.dll", "", 0x00700000, 0x10000, 0x1000, 0);
      process.addModule("inner.dll", "", 0x00400000, 0x10000, 0x1000, 0);
      process.addModule("outer.dll", "", 0x00300000, 0x200000, 0x200000, 0);
      process.addModule("first.dll", "", 0x00800000, 0x100000, 0x90000, 0);
      process.addModule("second.dll", "", 0x00850000, 0x100000, 0x40000, 0);
      process.addModule("wrap.dll", "", 0xFFFF8000, 0x8000, 0x10000, 0);
      process.addModule("nocode.dll", "", 0x20000000, 0x10000, 0u - 0x20000000u, 0);
      process.addMemory(0x00100000, 0x00900000);
      process.addMemory(0x20000000, 0x10000);
      process.addMemory(0xFFFF0000, 0x10000);
      reg::ax(process.addThread(1, true)->registers_) = test.value;
      writeLines(process);
      EXPECT_EQ((Ranges{{test.value - test.radius, test.value + test.radius}}), rangesOf(writer_));
    }
  }
}

// The layout of each width, from one crash: the exception line and the
// architecture, the thread's counts, its register block, the stack lines
// with their words, marks and short last line, the module line and the
// dumps. A test program runs the row of its own width.
struct LayoutCase {
  Architecture architecture;
  TargetAddress base;   // of the one module, whose code the dumps show
  TargetAddress stack;  // the stack pointer; the block ends at its page's end
  std::vector<TargetAddress> words;
  TargetAddress ax, dx;
  std::vector<std::string> lines;  // from the exception line to the end
};

TEST_F(CrashLogWriterTest, EachWidthsLayout) {
  const uint64_t S32 = 0x00120FD8;
  const uint64_t S64 = 0x000000E700120FD8;
  const std::string fpu[] = {"",
                             "FPU stack: 000001A4",
                             "3FFF8000000000000000 00000000000000000000 00000000000000000000",
                             "00000000000000000000 00000000000000000000 00000000000000000000",
                             "00000000000000000000 00000000000000000000 SW=4020 CW=027F",
                             ""};
  const std::string stackDump = "Stack dump: 000001A4";
  // clang-format off
  const LayoutCase cases[] = {
      {Architecture::kX86, 0x00400000, static_cast<TargetAddress>(S32),
       {0x41424344, static_cast<TargetAddress>(S32 + 0x10), 0, 0,
        static_cast<TargetAddress>(S32 + 0x20), 0x7E7F2021, static_cast<TargetAddress>(S32 + 0x14),
        0, static_cast<TargetAddress>(S32 + 0x0C), 0x61626364},
       1, 0xFFFFFFFF,
       {"tavra.exe caused exception C0000005 at address 00400F10 (Base: 00400000)",
        "Architecture: x86", "", "Thread: 000001A4", "", "ThreadInfo: 000001A4",
        "Priority=00000000", "Crashed=1", "checked_context_values=9 (all)",
        "checked_stack_values=10 (all)", "", "Registers: 000001A4",
        "EAX=00000001   EBX=00000002   ECX=00000003   EDX=FFFFFFFF   ESI=00000005",
        "EDI=00000006   EBP=00120FDC   ESP=00120FD8   EIP=00400F10 FLAGS=00010246",
        "CS=001B   DS=0023   SS=0023   ES=0023   FS=003B   GS=0000",
        fpu[0], fpu[1], fpu[2], fpu[3], fpu[4], fpu[5], stackDump,
        "00120FD8  41424344 >00120FE8  00000000  00000000  DCBA............",
        "00120FE8 >00120FF8  7E7F2021  00120FEC  00000000  ....! .~........",
        "00120FF8 >00120FE4  61626364" + std::string(22, ' ') + "....dcba",
        "", "Used DLLs:",
        "tavra.exe                  1.2.3.4                                        "
        "Base: 00400000 Size: 00100000 Timestamp: 5F000000",
        "", "Memory dumps:",
        "00400F00  07 14 21 2E  3B 48 55 62  6F 7C 89 96  A3 B0 BD CA ..!.;HUbo|......",
        "00400F10  D7 E4 F1 FE  0B 18 25 32  3F 4C 59 66  73 80 8D 9A ......%2?LYfs..."}},
      {Architecture::kX8664, static_cast<TargetAddress>(0x00007FF600000000ull),
       static_cast<TargetAddress>(S64),
       {static_cast<TargetAddress>(0x4142434445464748ull), static_cast<TargetAddress>(S64 + 0x18),
        static_cast<TargetAddress>(0x7E7F202122232425ull), static_cast<TargetAddress>(S64 + 0x20),
        static_cast<TargetAddress>(S64 + 0x10)},
       static_cast<TargetAddress>(0x0000000100000001ull),
       static_cast<TargetAddress>(0xFFFFFFFFFFFFFFFFull),
       {"tavra.exe caused exception C0000005 at address 00007FF600000F10 "
        "(Base: 00007FF600000000)",
        "Architecture: x86-64", "", "Thread: 000001A4", "", "ThreadInfo: 000001A4",
        "Priority=00000000", "Crashed=1", "checked_context_values=17 (all)",
        "checked_stack_values=5 (all)", "", "Registers: 000001A4",
        "RAX=0000000100000001   RBX=0000000000000002   RCX=0000000000000003   RDX=FFFFFFFFFFFFFFFF",
        "RSI=0000000000000005   RDI=0000000000000006   RBP=000000E700120FE0   RSP=000000E700120FD8",
        "R8=0000000000000008    R9=0000000000000009    R10=000000000000000A   R11=000000000000000B",
        "R12=000000000000000C   R13=000000000000000D   R14=000000000000000E   R15=000000000000000F",
        "RIP=00007FF600000F10 FLAGS=00010246",
        "CS=001B   DS=0023   SS=0023   ES=0023   FS=003B   GS=0000",
        fpu[0], fpu[1], fpu[2], fpu[3], fpu[4], fpu[5], stackDump,
        "000000E700120FD8  4142434445464748 >000000E700120FF0  HGFEDCBA........",
        "000000E700120FE8  7E7F202122232425 >000000E700120FF8  %$#\"! .~........",
        "000000E700120FF8 >000000E700120FE8" + std::string(20, ' ') + "........",
        "", "Used DLLs:",
        "tavra.exe                  1.2.3.4                                        "
        "Base: 00007FF600000000 Size: 00100000 Timestamp: 5F000000",
        "", "Memory dumps:",
        "00007FF600000F00  07 14 21 2E  3B 48 55 62  6F 7C 89 96  A3 B0 BD CA ..!.;HUbo|......",
        "00007FF600000F10  D7 E4 F1 FE  0B 18 25 32  3F 4C 59 66  73 80 8D 9A ......%2?LYfs..."}},
  };
  // clang-format on
  for (const LayoutCase& test : cases) {
    if (test.architecture != kTargetArchitecture) continue;
    SCOPED_TRACE(architectureName(test.architecture));
    FakeProcess process;
    FakeModule* main =
        process.addModule("tavra.exe", "1.2.3.4", test.base, 0x00100000, 0x1000, 0x5F000000);
    process.mainModule_ = main;
    process.exceptionAddress_ = test.base + 0xF10;
    process.addPatternMemory(test.base, 0x1000);
    const TargetAddress page = test.stack & ~static_cast<TargetAddress>(0xFFF);
    process.addMemory(page, 0x1000);
    process.setWords(test.stack, test.words);
    FakeThread* crashed = process.addThread(0x1A4, true);
    RegisterSet& r = crashed->registers_;
    reg::ax(r) = test.ax;
    reg::bx(r) = 2;
    reg::cx(r) = 3;
    reg::dx(r) = test.dx;
    reg::si(r) = 5;
    reg::di(r) = 6;
    reg::bp(r) = test.stack + kStackWordBytes;
    reg::sp(r) = test.stack;
    reg::ip(r) = test.base + 0xF10;
    reg::setNumberedRegisters(r);
    r.eflags = 0x00010246;
    r.cs = 0x1B;
    r.ds = r.ss = r.es = 0x23;
    r.fs = 0x3B;
    const uint8_t one[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
    memcpy(r.fpuRegisters, one, sizeof(one));
    r.fpuStatusWord = 0xFFFF4020;
    r.fpuControlWord = 0x027F;
    const std::vector<std::string> lines = writeLines(process);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(test.lines, std::vector<std::string>(lines.begin() + 1, lines.end()));
  }
}

// The stack block of each width: read from the stack pointer rounded down to
// a stack word, shrunk page by page, cut to the used stack or to the frame
// extent, in words of 4 or 8 bytes, and never past the top of the space.
struct WidthStackCase {
  Architecture architecture;
  const char* name;
  bool crashed;
  TargetAddress sp;
  TargetAddress fp;
  uint32_t stackSize;
  TargetAddress memoryStart;  // readable: memorySize bytes from here
  uint32_t memorySize;
  std::vector<std::pair<TargetAddress, TargetAddress>> words;  // (address, value)
  std::vector<uint32_t> readLengths;                           // asked of the stack reader
  std::string stackValues;
};

TEST_F(CrashLogWriterTest, StackBlocksOfEachWidth) {
  const TargetAddress S32 = 0x00110000;  // page boundaries
  const TargetAddress S = static_cast<TargetAddress>(0x000000E700110000ull);
  const TargetAddress kMax = kTargetAddressMax;
  // clang-format off
  const WidthStackCase cases[] = {
      {Architecture::kX86, "ESP rounded down to 4", false, S32 + 0x102, 0, 0x200, S32, 0x1000,
       {{S32 + 0x100, 0x11}}, {0x200}, "17 (all)"},
      {Architecture::kX86, "at the top of the address space", false, 0xFFFFFFFE, 0xFFFFFFFC, 0,
       0xFFFFF000, 0x1000, {{0xFFFFFFFC, 0xFFFFFFFC}}, {4}, "1 (all)"},
      {Architecture::kX8664, "RSP rounded down to 8", false, S + 0x104, 0, 0x200, S, 0x1000,
       {{S + 0x100, 0x11}}, {0x200}, "9 (all)"},
      {Architecture::kX8664, "trailing zeros cut to a whole word, plus 64", false, S, 0, 0x1000,
       S, 0x1000, {{S + 0x60, 0xFFFF}}, {0x1000}, "21 (all)"},
      {Architecture::kX8664, "shrinking to the page of the failed read's last byte", true,
       S + 0xF00, 0, 0, S, 0x1000, {}, {0x2000, 0x1100, 0x100}, "32 (all)"},
      {Architecture::kX8664, "frame chain up, then backwards", false, S, S + 0x40, 0, S, 0x3000,
       {{S + 0x40, S + 0x300}, {S + 0x300, S + 0x900}, {S + 0x900, S + 0x880}}, {0x2000},
       "296 (all)"},
      {Architecture::kX8664, "a frame pointer only 4-aligned is not followed", false, S,
       S + 0x604, 0, S, 0x3000, {{S + 0x604, S + 0x700}}, {0x2000}, "72 (all)"},
      {Architecture::kX8664, "a frame pointer at the block's last word is not followed", false,
       S, S + 0x1FF8, 0, S, 0x3000, {{S + 0x1FF8, S + 0x2FF8}}, {0x2000}, "72 (all)"},
      {Architecture::kX8664, "self-pointers raise the extent in turn", false, S, 0, 0, S, 0x3000,
       {{S + 0x8, S + 0x700}, {S + 0x6F0, S + 0x1000}, {S + 0x1800, S + 0x1F00}}, {0x2000},
       "520 (all)"},
      {Architecture::kX8664, "at the top of the address space", false, kMax - 1, kMax - 7, 0,
       kMax - 0xFFF, 0x1000, {{kMax - 7, kMax - 7}}, {8}, "1 (all)"},
      {Architecture::kX8664, "near the top, crashed", true, kMax - 0xFF, 0, 0, kMax - 0xFFF,
       0x1000, {}, {0x100}, "32 (all)"},
  };
  // clang-format on
  for (const WidthStackCase& test : cases) {
    if (test.architecture != kTargetArchitecture) continue;
    SCOPED_TRACE(test.name);
    FakeProcess process;
    process.addMemory(test.memoryStart, test.memorySize);
    for (const auto& word : test.words) process.setWords(word.first, {word.second});
    // A first, crashed thread with no stack when the case is about another.
    if (!test.crashed) process.addThread(1, true);
    FakeThread* thread = process.addThread(2, test.crashed);
    reg::sp(thread->registers_) = test.sp;
    reg::bp(thread->registers_) = test.fp;
    thread->stackSize_ = test.stackSize;
    const std::vector<std::string> lines = writeLines(process);
    std::vector<uint32_t> lengths;
    const TargetAddress start = test.sp & ~static_cast<TargetAddress>(kStackWordBytes - 1);
    for (const auto& read : process.reads_) {
      if (read.first == start) lengths.push_back(read.second);
    }
    EXPECT_EQ(test.readLengths, lengths);
    EXPECT_EQ(test.stackValues, findThread(lines, 2).stackValues);
    EXPECT_FALSE(process.wrappedRead_);
  }
}

// The writer signs the crash from what it wrote, in its own width: a stack
// word after a direct call into the crashed function is the caller's frame,
// a stale one after an indirect call below it is passed over.
TEST_F(CrashLogWriterTest, SignsTheCrashInEachWidth) {
  const struct {
    Architecture architecture;
    TargetAddress base;
    TargetAddress stack;
  } kCases[] = {
      {Architecture::kX86, 0x00400000, 0x00120F00},
      {Architecture::kX8664, static_cast<TargetAddress>(0x00007FF600000000ull),
       static_cast<TargetAddress>(0x000000E700120F00ull)},
  };
  for (const auto& test : kCases) {
    if (test.architecture != kTargetArchitecture) continue;
    FakeProcess process;
    FakeModule* main = process.addModule("tavra.exe", "", test.base, 0x10000, 0x10000, 0);
    process.mainModule_ = main;
    process.exceptionAddress_ = test.base + 0x1010;
    process.addMemory(test.base, 0x10000);
    // call rel32 to base + 0x1000, returning to base + 0x2005.
    *process.byteAt(test.base + 0x2000) = 0xE8;
    process.setWords32(test.base + 0x2001, {0x1000u - 0x2005u});
    // call eax, returning to base + 0x3005.
    *process.byteAt(test.base + 0x3003) = 0xFF;
    *process.byteAt(test.base + 0x3004) = 0xD0;
    process.addMemory(test.stack & ~static_cast<TargetAddress>(0xFFF), 0x1000);
    process.setWords(test.stack, {test.base + 0x3005, 0, test.base + 0x2005});
    FakeThread* thread = process.addThread(1, true);
    reg::sp(thread->registers_) = test.stack;
    reg::ip(thread->registers_) = test.base + 0x1010;
    thread->stackSize_ = 0x100;
    writeLines(process);
    EXPECT_EQ("C0000005 tavra.exe+0x1010 | tavra.exe+0x2005", writer_.signature().text);
    EXPECT_EQ(12u, writer_.signature().shortHash.size());
  }
}

// The ranges of values near the edges of each width's address space: cut at
// 0 and at the top, and nothing cut at 4 GiB in a 64-bit process.
struct EdgeCase {
  Architecture architecture;
  const char* name;
  TargetAddress value;
  Ranges ranges;
};

TEST_F(CrashLogWriterTest, PointerRangesAtTheEdgesOfEachWidth) {
  const TargetAddress kMax = kTargetAddressMax;
  // clang-format off
  const EdgeCase cases[] = {
      {Architecture::kX86, "near 0", 5, {{0, 0x405}}},
      {Architecture::kX86, "near the top", 0xFFFFFFE0, {{0xFFFFFBE0, 0xFFFFFFFF}}},
      {Architecture::kX86, "code near the top", 0xFFFFFFFE, {{0xFFFFFFEE, 0xFFFFFFFF}}},
      {Architecture::kX8664, "near 0", 5, {{0, 0x405}}},
      {Architecture::kX8664, "below 4 GiB: not cut there", 0xFFFFFFE0,
       {{0xFFFFFBE0, static_cast<TargetAddress>(0x1000003E0ull)}}},
      {Architecture::kX8664, "above 4 GiB", static_cast<TargetAddress>(0x100000010ull),
       {{static_cast<TargetAddress>(0xFFFFFC10ull), static_cast<TargetAddress>(0x100000410ull)}}},
      {Architecture::kX8664, "near the top", kMax - 0x1F, {{kMax - 0x41F, kMax}}},
      {Architecture::kX8664, "code near the top", kMax - 1, {{kMax - 0x11, kMax}}},
  };
  // clang-format on
  for (const EdgeCase& test : cases) {
    if (test.architecture != kTargetArchitecture) continue;
    SCOPED_TRACE(test.name);
    FakeProcess process;
    // The top 16 bytes of the address space hold a module's code.
    process.addModule("top.dll", "", kMax - 0xF, 0xF, 0xF, 0);
    process.addMemory(0, 0x1000);
    process.addMemory(kMax - 0xFFFF, 0xFFFF);
    if (kX8664) process.addMemory(0xFFFF0000, 0x20000);
    reg::ax(process.addThread(1, true)->registers_) = test.value;
    writeLines(process);
    EXPECT_EQ(test.ranges, rangesOf(writer_));
    // No read, of the stack or of the dumps, passes the top.
    EXPECT_FALSE(process.wrappedRead_);
  }
}

// The expected log is kept beside the test with its CR LF line ends; the
// build copies it next to the test program.
std::string expectedLogPath() {
  std::wstring dir;
  EXPECT_TRUE(getExecutableDirectory(&dir));
  std::string narrow(dir.begin(), dir.end());
  return narrow + "\\testdata\\logs\\small_crash_log.txt";
}

std::string visible(const std::string& line) {
  std::string shown;
  for (char c : line) {
    if (c == '\r') {
      shown += "\\r";
    } else {
      shown += c;
    }
  }
  return shown;
}

TEST_F(CrashLogWriterTest, SmallCompleteLogMatchesTheExpectedFile) {
  X86_CASES_ONLY();
  FakeProcess process;
  FakeModule* main =
      process.addModule("tavra.exe", "1.2.3.4", 0x00400000, 0x00100000, 0x1000, 0x5F000000);
  process.addModule("a_library_with_a_long_name.dll", "", 0x10000000, 0x00020000, 0x8000,
                    0x12345678);
  process.mainModule_ = main;
  process.exceptionAddress_ = 0x00400F10;
  process.addPatternMemory(0x00400000, 0x1000);
  process.addPatternMemory(0x10000000, 0x2000);
  process.addMemory(0x00020000, 0x20);
  process.addMemory(0x0012F000, 0x1000);
  process.addMemory(0x0022F000, 0x1000);
  process.setWords32(0x0012FF80, {0x00400F04, 0x0012FFA0, 0x44434241, 0, 0x00020008, 0x6C6C6568,
                                  0x6F, 0, 0x0012FFC0});
  process.setWords32(0x0022FE00, {0x7FFE0304, 0x10001008, 0x0022FE30});
  process.setWords32(0x0022FE30, {0x0022FE08});

  FakeThread* crashed = process.addThread(0x1A4, true);
  crashed->priority_ = -2;
  crashed->stackSize_ = 0x80;
  RegisterSet& r = crashed->registers_;
  reg::bx(r) = 0x7FFDF000;
  reg::cx(r) = 0x0012FF84;
  reg::dx(r) = 0xFFFFFFFF;
  reg::si(r) = 1;
  reg::bp(r) = 0x0012FF84;
  reg::sp(r) = 0x0012FF80;
  reg::ip(r) = 0x00400F10;
  r.eflags = 0x00010246;
  r.cs = 0x1B;
  r.ds = r.ss = r.es = 0x23;
  r.fs = 0x3B;
  const uint8_t one[10] = {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F};
  memcpy(r.fpuRegisters, one, sizeof(one));
  for (int i = 0; i < 10; ++i) r.fpuRegisters[10 + i] = static_cast<uint8_t>(i + 1);
  r.fpuStatusWord = 0xFFFF4020;
  r.fpuControlWord = 0x027F;

  FakeThread* other = process.addThread(0x2B8, false);
  other->priority_ = 2;
  other->stackSize_ = 0x200;
  reg::ax(other->registers_) = 0x10001010;
  reg::bp(other->registers_) = 0x0022FE08;
  reg::sp(other->registers_) = 0x0022FE02;
  reg::ip(other->registers_) = 0x00400F18;

  CrashMetadata metadata{
      "1.2.3.4",
      "5678",
      {{"ptype", "renderer"}, {"enabled_extensions", ""}, {"os_version", "6.1.7601"}}};
  const std::string actual = write(process, metadata);
  std::string expected;
  const std::string expectedPath = expectedLogPath();
  ASSERT_TRUE(readFileToString(std::wstring(expectedPath.begin(), expectedPath.end()), &expected));
  if (actual == expected) return;

  const std::string actualPath = expectedPath.substr(0, expectedPath.size() - 4) + ".actual.txt";
  writeFile(std::wstring(actualPath.begin(), actualPath.end()), actual);
  std::vector<std::string> want = testing_support::splitLines(expected);
  std::vector<std::string> got = testing_support::splitLines(actual);
  size_t line = 0;
  while (line < want.size() && line < got.size() && want[line] == got[line]) ++line;
  ADD_FAILURE() << "the log differs from " << expectedPath << " first at line " << line + 1
                << "\n  expected: " << (line < want.size() ? visible(want[line]) : "<end>")
                << "\n  actual:   " << (line < got.size() ? visible(got[line]) : "<end>")
                << "\n  the whole log: " << actualPath << " (compare them with diff)";
}

// Stacks full of pointers into readable memory, frame chains that loop and
// run backwards, values at the edges of the address space and odd code
// ranges: the write ends, complete, within the budgets.
TEST_F(CrashLogWriterTest, HostileProcessGivesACompleteBoundedLog) {
  std::mt19937 random(20240611);
  // The top 64 KiB of the address space.
  const TargetAddress kHigh = kTargetAddressMax - 0xFFFF;
  const TargetAddress edges[] = {0,
                                 1,
                                 3,
                                 0xFFF,
                                 0x1000,
                                 0x1002,
                                 0x7FFFFFFF,
                                 0x80000000,
                                 0xFFFFEFFF,
                                 0xFFFFF000,
                                 0xFFFFFFF0,
                                 0xFFFFFFFC,
                                 0xFFFFFFFE,
                                 0xFFFFFFFF,
                                 static_cast<TargetAddress>(0x100000000ull),
                                 kTargetAddressMax - 0x1000,
                                 kTargetAddressMax - 0xFFF,
                                 kTargetAddressMax - 15,
                                 kTargetAddressMax - 7,
                                 kTargetAddressMax - 3,
                                 kTargetAddressMax - 1,
                                 kTargetAddressMax};
  auto build = [&](FakeProcess* process, uint32_t threads) {
    random.seed(20240611);
    process->addModule("wrap.dll", "", kHigh + 0x8000, 0x8000, 0x10000, 0);
    process->addModule("nocode.dll", "", 0x00400000, 0x10000, 0u - 0x00400000u, 0);
    process->addModule("code.dll", "", 0x00800000, 0x100000, 0x100000, 0);
    process->addMemory(0x00001000, 0x1000);
    process->addMemory(0x00400000, 0x10000);
    process->addMemory(0x00800000, 0x100000);
    process->addMemory(0x01000000, 0x00400000);  // stacks and heap
    process->addMemory(kHigh, 0x10000);
    auto anyValue = [&](TargetAddress stack) -> TargetAddress {
      switch (random() % 6) {
        case 0:
          return edges[random() % (sizeof(edges) / sizeof(edges[0]))];
        case 1:
          return 0x00800000 + random() % 0x100000;
        case 2:
          return 0x01000000 + random() % 0x00400000;
        case 3:
          return stack + (random() % 0x2000);  // into its own stack, often backwards
        case 4:
          return kHigh + random() % 0x10000;
        default:
          return static_cast<TargetAddress>(static_cast<uint64_t>(random()) << 32 | random());
      }
    };
    for (uint32_t id = 1; id <= threads; ++id) {
      const TargetAddress stack = 0x01000000 + id * 0x2800;
      for (uint32_t offset = 0; offset < 0x2000; offset += kStackWordBytes) {
        process->setWords(stack + offset, {anyValue(stack)});
      }
      // A frame chain with a loop in it.
      process->setWords(stack + 0x40, {stack + 0x80});
      process->setWords(stack + 0x80, {stack + 0x40});
      FakeThread* thread = process->addThread(id, id == 1);
      RegisterSet& r = thread->registers_;
      for (TargetAddress* value : {&reg::ax(r), &reg::bx(r), &reg::cx(r), &reg::dx(r), &reg::si(r),
                                   &reg::di(r), &reg::ip(r)}) {
        *value = anyValue(stack);
      }
      reg::sp(r) = id % 7 == 0 ? edges[random() % (sizeof(edges) / sizeof(edges[0]))] : stack;
      reg::bp(r) = id % 2 == 0 ? stack + 0x40 : anyValue(stack);
      // A short crashed stack leaves room in the budget for the others.
      thread->stackSize_ = id == 1 ? 0x400 : id % 3 == 0 ? 0 : random() % 0x3000;
    }
  };
  FakeProcess crashedOnly;
  build(&crashedOnly, 1);
  ASSERT_TRUE(writer_.write(crashedOnly, CrashMetadata(), "crash.txt"));
  const uint64_t crashedTotal = writer_.ranges().total();

  FakeProcess process;
  build(&process, 120);
  const auto started = std::chrono::steady_clock::now();
  const std::string text = write(process);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  ASSERT_FALSE(text.empty());
  printf("hostile log: 120 threads, %u ranges, %llu bytes covered, %u bytes of log in %lld ms\n",
         static_cast<unsigned>(writer_.ranges().size()),
         static_cast<unsigned long long>(writer_.ranges().total()),
         static_cast<unsigned>(text.size()),
         static_cast<long long>(
             std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));

  std::vector<std::string> lines = splitCrLfLines(text);
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "Used DLLs:"));
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), "Memory dumps:"));
  for (uint32_t id = 1; id <= 120; ++id) {
    const ThreadReport report = findThread(lines, id);
    ASSERT_TRUE(report.found) << id;
    EXPECT_LE(report.stackLines.size(), 8192u / 16);
  }
  // Every other thread together stops at the budget; the last range may go a
  // little past it.
  EXPECT_LE(writer_.ranges().total(),
            std::max<uint64_t>(crashedTotal, ThreadBudget::kMemoryBudget) + 2048);
  EXPECT_GT(writer_.ranges().total(), crashedTotal);
  uint64_t covered = 0;
  for (const MemoryRange* range = writer_.ranges().begin(); range != writer_.ranges().end();
       ++range) {
    EXPECT_LT(range->start, range->end);
    if (range != writer_.ranges().begin()) {
      EXPECT_LT((range - 1)->end, range->start);
    }
    covered += range->end - range->start;
  }
  EXPECT_EQ(covered, writer_.ranges().total());
  EXPECT_FALSE(process.wrappedRead_);
}

}  // namespace
}  // namespace tavra
