#include "desktop/windows/crash_reporter/crash_data/module_info_impl.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/module_file_facts_test_support.h"
#include "desktop/windows/crash_reporter/crash_data/pe_image_test_support.h"
#include "runtime/file_util.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_temp_dir.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

using namespace pe_testing;

constexpr uint32_t kBase = 0x10000000;
constexpr uint32_t kSize = 0x5000;
constexpr uint32_t kMadeCodeSize = 0x1000 + 0x2345;  // BaseOfCode + SizeOfCode of made files

struct Entry {
  LogSeverity severity;
  std::string text;
  bool operator==(const Entry& other) const {
    return severity == other.severity && text == other.text;
  }
};

void PrintTo(const Entry& entry, std::ostream* out) {
  *out << "{" << entry.severity << ", \"" << entry.text << "\"}";
}

// The severities of the messages that the capture takes, in order: the
// capture's own text keeps only file, line and message.
std::vector<LogSeverity>* severities = nullptr;

bool recordSeverity(void* context, LogSeverity severity, const char* file, int line,
                    size_t messageStart, const std::string& fullLine) {
  if (severities && LogCapture::current()) severities->push_back(severity);
  return captureLogMessage(context, severity, file, line, messageStart, fullLine);
}

// A PLOG entry's message: the text, then the system error's description.
std::string withError(const std::string& text, DWORD error) {
  return text + systemErrorSuffix(error);
}

// Inspects made files under Wine with the log captured on the test's thread.
class ModuleInfoImplTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.create(L"tavra_module_test"));
    severities = &severities_;
    setLogMessageHandler(&recordSeverity, nullptr);
  }
  void TearDown() override {
    setLogMessageHandler(nullptr, nullptr);
    severities = nullptr;
    mapViewOfFileSeam.replaceForTesting(nullptr);
    readFileSeam.replaceForTesting(nullptr);
    getMappedFileNameSeam.replaceForTesting(nullptr);
  }

  std::wstring writeBytes(const std::wstring& fileName, const Bytes& bytes) {
    const std::wstring path = joinPath(dir_.path(), fileName);
    EXPECT_TRUE(writeFile(path, std::string(bytes.begin(), bytes.end())));
    return path;
  }

  // Opens the file as the snapshot does, inspects it and returns the log
  // entries that this made.
  std::vector<Entry> inspectFile(const std::wstring& path, const wchar_t* snapshotName,
                                 ModuleInfoImpl* module, TargetAddress base = kBase) {
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(file.isValid());
    return inspectHandle(file.get(), snapshotName, module, base);
  }

  std::vector<Entry> inspectHandle(HANDLE file, const wchar_t* snapshotName, ModuleInfoImpl* module,
                                   TargetAddress base = kBase) {
    severities_.clear();
    LogCapture capture;
    module->inspect(snapshotName, file, base, kSize);
    // Each captured line is "file:line:message".
    std::vector<Entry> entries;
    const std::string& text = capture.text();
    size_t start = 0;
    for (size_t i = 0; start < text.size(); ++i) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      const size_t fileEnd = line.find(':');
      const size_t lineEnd = line.find(':', fileEnd + 1);
      EXPECT_NE(std::string::npos, lineEnd) << line;
      entries.push_back({i < severities_.size() ? severities_[i] : -100,
                         lineEnd == std::string::npos ? line : line.substr(lineEnd + 1)});
      start = end + 1;
    }
    EXPECT_EQ(severities_.size(), entries.size());
    return entries;
  }

  ScopedTempDir dir_;
  std::vector<LogSeverity> severities_;
};

const std::vector<std::pair<std::string, std::string>> kStrings = {
    {"CompanyName", "Example"},
    {"FileVersion", "1.2.3.4"},
    {"OriginalFilename", "original.dll"},
};

Bytes changed(Bytes bytes, std::function<void(Bytes*)> change) {
  change(&bytes);
  return bytes;
}

TEST_F(ModuleInfoImplTest, MadeFiles) {
  const Bytes wide = namedModule("", versionInfo(true, kStrings)).build();
  const Bytes narrowFile = namedModule("", versionInfo(false, kStrings)).build();
  PeFile outside = namedModule("exports.dll", versionInfo(true, kStrings));
  outside.exportAddress = 0x9000;
  outside.resourceAddress = 0xA000;
  // Version data whose key is the data's last bytes.
  const std::string lastKey = "xxxxFILEVERSION";
  // Version data whose size passes the end of the file by a few bytes: still
  // inside the file's last page, which the view shows as zeros.
  PeFile pastEnd = namedModule("", versionInfo(true, kStrings));
  const size_t versionEnd = 0x800 + 0x58 + versionInfo(true, kStrings).size();
  put32(&pastEnd.sections.back().contents, 0x4C,
        static_cast<uint32_t>(versionInfo(true, kStrings).size() + 4));
  PeFile noType = namedModule("", versionInfo(true, kStrings));
  put32(&noType.sections.back().contents, 0x10, 6);

  const Entry noExports = {LOG_SEVERITY_INFO, "Could not find exports directory"};
  struct Case {
    const char* what;
    Bytes bytes;
    const wchar_t* fileName;
    const wchar_t* snapshotName;
    std::string name;
    std::string fileVersion;
    bool headers;
    std::vector<Entry> log;
  } cases[] = {
      {"no MZ",
       changed(wide, [](Bytes* b) { (*b)[0] = 'X'; }),
       L"nomz.dll",
       L"snap.dll",
       "snap.dll",
       "",
       false,
       {{LOG_SEVERITY_ERROR, "GetNtHeaders failed for snap.dll"}}},
      {"no MZ, no name",
       changed(wide, [](Bytes* b) { (*b)[1] = 0; }),
       L"nomz2.dll",
       L"",
       "",
       "",
       false,
       {{LOG_SEVERITY_ERROR, "GetNtHeaders failed for <unknown>"}}},
      {"e_lfanew past the end",
       changed(wide, [](Bytes* b) { put32(b, 0x3C, 0x7FFFFFF0); }),
       L"lfanew.dll",
       L"lfanew.dll",
       "lfanew.dll",
       "",
       false,
       {{LOG_SEVERITY_ERROR, "GetNtHeaders failed for lfanew.dll"}}},
      {"section table past the end",
       changed(wide, [](Bytes* b) { put16(b, kFileHeaderOffset + 2, 0xFFFF); }),
       L"table.dll",
       L"",
       "table.dll",
       "",
       true,
       {noExports, {LOG_SEVERITY_INFO, "Could not find resources directory in <unknown>"}}},
      {"export and resource addresses outside every section",
       outside.build(),
       L"outside.dll",
       L"snap.dll",
       "snap.dll",
       "",
       true,
       {{LOG_SEVERITY_INFO, "Could not find resources directory in snap.dll"}}},
      {"UTF-16 version resource", wide, L"wide.dll", L"Wide.DLL", "Wide.DLL", "1.2.3.4", true, {}},
      {"8-bit version resource",
       narrowFile,
       L"narrow.dll",
       L"narrow.dll",
       "narrow.dll",
       "1.2.3.4",
       true,
       {}},
      {"value longer than 127 characters",
       namedModule("", versionInfo(true, {{"FileVersion", std::string(200, '9')}})).build(),
       L"long.dll",
       L"long.dll",
       "long.dll",
       std::string(127, '9'),
       true,
       {}},
      {"key at the very end of the data",
       namedModule("", Bytes(lastKey.begin(), lastKey.end())).build(),
       L"last.dll",
       L"last.dll",
       "last.dll",
       "",
       true,
       {}},
      {"no version entry",
       noType.build(),
       L"notype.dll",
       L"notype.dll",
       "notype.dll",
       "",
       true,
       {{LOG_SEVERITY_INFO, "Could not find version resource in notype.dll"}}},
      {"version data past the end of the file",
       changed(pastEnd.build(), [&](Bytes* b) { b->resize(versionEnd); }),
       L"cut.dll",
       L"cut.dll",
       "cut.dll",
       "",
       true,
       {{LOG_SEVERITY_INFO, "Could not find version info in cut.dll"}}},
      // The ways to a name when the snapshot has none, best first.
      {"named by its exports",
       namedModule("exports.dll", versionInfo(true, kStrings)).build(),
       L"file1.dll",
       L"",
       "exports.dll",
       "1.2.3.4",
       true,
       {}},
      {"named by OriginalFilename",
       wide,
       L"file2.dll",
       L"",
       "original.dll",
       "1.2.3.4",
       true,
       {noExports}},
      {"named by the mapped file",
       namedModule("", versionInfo(true, {{"FileVersion", "5.6"}})).build(),
       L"file3.dll",
       L"",
       "file3.dll",
       "5.6",
       true,
       {noExports}},
      {"the snapshot's name comes first",
       namedModule("exports.dll", versionInfo(true, kStrings)).build(),
       L"file4.dll",
       L"snapshot.dll",
       "snapshot.dll",
       "1.2.3.4",
       true,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModuleInfoImpl module;
    const std::vector<Entry> log =
        inspectFile(writeBytes(c.fileName, c.bytes), c.snapshotName, &module);
    EXPECT_EQ(c.log, log);
    EXPECT_STREQ(c.name.c_str(), module.name());
    EXPECT_STREQ(c.fileVersion.c_str(), module.fileVersion());
    EXPECT_EQ(kBase, module.base());
    EXPECT_EQ(kSize, module.size());
    EXPECT_EQ(kBase, module.codeStart());
    EXPECT_EQ(c.headers ? kMadeCodeSize : 0u, module.codeSize());
    EXPECT_EQ(c.headers ? 0x5E0BE100u : 0u, module.timestamp());
  }
}

TEST_F(ModuleInfoImplTest, FileThatCannotBeMapped) {
  const std::wstring empty = writeBytes(L"empty.dll", {});
  ScopedHandle emptyFile(CreateFileW(empty.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(emptyFile.isValid());
  struct Case {
    const char* what;
    HANDLE file;
    const wchar_t* snapshotName;
  } cases[] = {
      {"no file", nullptr, L"missing.dll"},
      {"invalid handle", INVALID_HANDLE_VALUE, L"missing.dll"},
      {"empty file", emptyFile.get(), L"empty.dll"},
      {"no name and no file", nullptr, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ModuleInfoImpl module;
    const std::vector<Entry> log = inspectHandle(c.file, c.snapshotName, &module);
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(LOG_SEVERITY_ERROR, log[0].severity);
    const std::string expected = "CreateFileMappingFailed for " + wideToAscii(c.snapshotName);
    if (c.file == emptyFile.get()) {
      // The system's reason for an empty file differs between versions.
      EXPECT_EQ(0u, log[0].text.find(expected + ": ")) << log[0].text;
    } else {
      EXPECT_EQ(withError(expected, ERROR_INVALID_HANDLE), log[0].text);
    }
    EXPECT_STREQ(wideToAscii(c.snapshotName).c_str(), module.name());
    EXPECT_STREQ("", module.fileVersion());
    EXPECT_EQ(0u, module.timestamp());
    EXPECT_EQ(kBase, module.base());
    EXPECT_EQ(kSize, module.size());
    EXPECT_EQ(kBase, module.codeStart());
    // No code range at all, rather than 0 - base.
    EXPECT_EQ(0u, module.codeSize());
  }
}

TEST_F(ModuleInfoImplTest, SnapshotNames) {
  const std::wstring longName(200, L'a');
  struct Case {
    const wchar_t* snapshotName;
    std::string name;
  } cases[] = {
      // Each unit keeps its low 8 bits.
      {L"\u0141\u00e9x.dll", "\x41\xe9x.dll"},
      {longName.c_str(), std::string(127, 'a')},
      {nullptr, ""},
  };
  for (const Case& c : cases) {
    ModuleInfoImpl module;
    inspectHandle(nullptr, c.snapshotName, &module);
    EXPECT_EQ(c.name, module.name());
  }
  ModuleInfoImpl fresh;
  EXPECT_STREQ("", fresh.name());
  EXPECT_STREQ("", fresh.fileVersion());
  EXPECT_EQ(0u, fresh.base() | fresh.size() | fresh.codeSize() | fresh.timestamp());
}

// The code range's start is the base, its size the distance to base +
// BaseOfCode + SizeOfCode, the same in both widths: a code end past 4 GiB,
// which wraps in 32 bits and does not in 64, leaves the same distance. In
// the 64-bit reporter, modules load above 4 GiB, and both kinds of module
// file are read.
TEST_F(ModuleInfoImplTest, CodeRangeInTheTargetsAddresses) {
  struct Case {
    const char* what;
    TargetAddress base;
    bool plus;  // a PE32+ file
    uint32_t baseOfCode;
    uint32_t sizeOfCode;
    uint32_t codeSize;
  } cases[] = {
    {"made file", kBase, false, 0x1000, 0x2345, 0x3345},
    {"no code", kBase, false, 0, 0, 0},
    {"PE32+ file", kBase, true, 0x1000, 0x2345, 0x3345},
    // base + BaseOfCode + SizeOfCode passes the top of 32 bits.
    {"code end past 4 GiB", kBase, false, 0xF0000000, 0x00001000, 0xF0001000},
    {"base just below 4 GiB", 0xFFFF0000, true, 0x1000, 0x2345, 0x3345},
#if defined(_WIN64)
    {"base above 4 GiB", 0x00007FF612340000ull, true, 0x1000, 0x2345, 0x3345},
    {"base above 4 GiB, PE32 file", 0x0000000180000000ull, false, 0x1000, 0x2345, 0x3345},
    {"base above 4 GiB, largest code", 0x00007FF612340000ull, true, 0xFFFFFFFF, 0xFFFFFFFF,
     0xFFFFFFFE},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PeFile file = namedModule("code.dll", {});
    file.plus = c.plus;
    file.baseOfCode = c.baseOfCode;
    file.sizeOfCode = c.sizeOfCode;
    ModuleInfoImpl module;
    inspectFile(writeBytes(L"code.dll", file.build()), L"code.dll", &module, c.base);
    EXPECT_EQ(c.base, module.base());
    EXPECT_EQ(c.base, module.codeStart());
    EXPECT_EQ(c.codeSize, module.codeSize());
    EXPECT_STREQ("code.dll", module.name());
    EXPECT_EQ(0x5E0BE100u, module.timestamp());
  }
}

DWORD failingError = 0;
void* WINAPI failingMapView(HANDLE, DWORD, DWORD, DWORD, SIZE_T) {
  SetLastError(failingError);
  return nullptr;
}
DWORD WINAPI failingMappedFileName(HANDLE, void*, char*, DWORD) {
  SetLastError(failingError);
  return 0;
}

TEST_F(ModuleInfoImplTest, FailedViewAndFailedPathLookUp) {
  const std::wstring path =
      writeBytes(L"seam.dll", namedModule("", versionInfo(true, {{"FileVersion", "1"}})).build());
  failingError = ERROR_NOT_ENOUGH_MEMORY;
  mapViewOfFileSeam.replaceForTesting(&failingMapView);
  ModuleInfoImpl unmapped;
  EXPECT_EQ(std::vector<Entry>(
                {{LOG_SEVERITY_ERROR, withError("MapViewOfFile failed for s.dll", failingError)}}),
            inspectFile(path, L"s.dll", &unmapped));
  EXPECT_STREQ("s.dll", unmapped.name());
  EXPECT_EQ(0u, unmapped.timestamp());
  EXPECT_EQ(0u, unmapped.codeSize());
  mapViewOfFileSeam.replaceForTesting(nullptr);

  failingError = ERROR_ACCESS_DENIED;
  getMappedFileNameSeam.replaceForTesting(&failingMappedFileName);
  ModuleInfoImpl nameless;
  EXPECT_EQ(std::vector<Entry>(
                {{LOG_SEVERITY_INFO, "Could not find exports directory"},
                 {LOG_SEVERITY_ERROR, withError("GetMappedFileNameA failed", failingError)}}),
            inspectFile(path, L"", &nameless));
  EXPECT_STREQ("", nameless.name());
  EXPECT_STREQ("1", nameless.fileVersion());
  EXPECT_EQ(kMadeCodeSize, nameless.codeSize());
}

// What the path look-up answers, for the next call.
std::string mappedPath;
DWORD mappedResult = 0;
DWORD WINAPI fixedMappedFileName(HANDLE, void*, char* name, DWORD size) {
  memcpy(name, mappedPath.data(), std::min<size_t>(mappedPath.size(), size));
  if (mappedPath.size() < size) name[mappedPath.size()] = 0;
  return mappedResult;
}

TEST_F(ModuleInfoImplTest, NameFromTheMappedPath) {
  const std::wstring path = writeBytes(L"paths.dll", namedModule("", {}).build());
  const std::string deep = "\\Device\\HarddiskVolume1\\" + std::string(250, 'd') + "\\x.dll";
  // The look-up's result is the path's length, unless the path was cut.
  constexpr DWORD kLength = 0;
  struct Case {
    std::string path;
    DWORD result;
    std::string name;
  } cases[] = {
      {"\\Device\\HarddiskVolume1\\dir\\file.dll", kLength, "file.dll"},
      {"C:\\short.dll", kLength, "short.dll"},
      {"no separator", kLength, ""},
      {"\\dir\\", kLength, ""},
      // Cut at the buffer's end, without a NUL: only what the buffer holds.
      {deep, 260, std::string(127, 'd')},
      {"\\" + std::string(200, 'n'), kLength, std::string(127, 'n')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    mappedPath = c.path;
    mappedResult = c.result == kLength ? static_cast<DWORD>(c.path.size()) : c.result;
    getMappedFileNameSeam.replaceForTesting(&fixedMappedFileName);
    ModuleInfoImpl module;
    inspectFile(path, L"", &module);
    EXPECT_EQ(c.name, module.name());
  }
}

// Records each view made, and makes it for real.
void* lastView = nullptr;
void* WINAPI recordingMapView(HANDLE mapping, DWORD access, DWORD high, DWORD low, SIZE_T length) {
  lastView = MapViewOfFile(mapping, access, high, low, length);
  return lastView;
}

TEST_F(ModuleInfoImplTest, KeepsNoViewOrHandle) {
  const std::wstring path =
      writeBytes(L"kept.dll", namedModule("kept.dll", versionInfo(true, kStrings)).build());
  mapViewOfFileSeam.replaceForTesting(&recordingMapView);
  DWORD handlesBefore = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesBefore));
  {
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.isValid());
    ModuleInfoImpl module;
    inspectHandle(file.get(), L"", &module);
    EXPECT_STREQ("kept.dll", module.name());
  }
  DWORD handlesAfter = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesAfter));
  EXPECT_EQ(handlesBefore, handlesAfter);
  ASSERT_NE(nullptr, lastView);
  MEMORY_BASIC_INFORMATION region = {};
  ASSERT_EQ(sizeof(region), VirtualQuery(lastView, &region, sizeof(region)));
  EXPECT_EQ(static_cast<DWORD>(MEM_FREE), region.State);
  // Nothing holds the file any more.
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}

// A module file that stops being readable part-way: the first read that
// takes in byte `dropAt` fails, having read the bytes before it. On a device
// that went away, it and every read after it fail with an error; on a file
// cut short there, they succeed with nothing more to read.
struct Drop {
  uint64_t at = 0;
  bool cut = false;
  bool dropped = false;
  int readsAfter = 0;
} drop;

BOOL WINAPI droppingReadFile(HANDLE file, void* buffer, DWORD length, DWORD* read,
                             OVERLAPPED* overlapped) {
  const uint64_t offset = overlapped->Offset | (uint64_t{overlapped->OffsetHigh} << 32);
  if (drop.dropped) ++drop.readsAfter;
  if (!drop.dropped && offset + length <= drop.at) {
    return ReadFile(file, buffer, length, read, overlapped);
  }
  drop.dropped = true;
  const DWORD before = offset < drop.at ? static_cast<DWORD>(drop.at - offset) : 0;
  if (!ReadFile(file, buffer, before, read, overlapped)) return FALSE;
  if (drop.cut) return TRUE;
  SetLastError(ERROR_DEVICE_NOT_CONNECTED);
  return FALSE;
}

// Each part of the parse fails in turn. The module keeps what was found
// before, one entry says why the rest is missing, and no read follows.
TEST_F(ModuleInfoImplTest, ReadFailingMidParse) {
  const std::wstring path =
      writeBytes(L"spread.dll", spreadModule("spread.dll", versionInfo(true, kStrings)));
  constexpr uint64_t kNever = ~uint64_t{0};
  struct Case {
    const char* what;
    uint64_t dropAt;
    bool cut;
    bool headers;
    std::string name;
    std::string fileVersion;
  } cases[] = {
      {"readable to the end", kNever, false, true, "spread.dll", "1.2.3.4"},
      {"headers", 0, false, false, "", ""},
      {"section table", kSpreadSectionTable, false, true, "", ""},
      {"export directory", kSpreadExportDirectory, false, true, "", ""},
      {"export name", kSpreadExportName, false, true, "", ""},
      {"resource directory", kSpreadResourceRoot, false, true, "spread.dll", ""},
      {"resource tree's language level", kSpreadLanguageLevel, false, true, "spread.dll", ""},
      // The key searches run on the bytes read, not on the file.
      {"version data", kSpreadVersionData, false, true, "spread.dll", ""},
      {"file cut short inside the version data", kSpreadVersionData + 4, true, true, "spread.dll",
       ""},
  };
  readFileSeam.replaceForTesting(&droppingReadFile);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    drop = {c.dropAt, c.cut};
    ModuleInfoImpl module;
    std::vector<Entry> log;
    if (c.dropAt != kNever) {
      const std::string text =
          "ReadFile failed for " + (c.name.empty() ? std::string("<unknown>") : c.name);
      log.push_back({LOG_SEVERITY_ERROR,
                     withError(text, c.cut ? ERROR_HANDLE_EOF : ERROR_DEVICE_NOT_CONNECTED)});
    }
    EXPECT_EQ(log, inspectFile(path, L"", &module));
    EXPECT_EQ(c.name, module.name());
    EXPECT_EQ(c.fileVersion, module.fileVersion());
    EXPECT_EQ(kBase, module.base());
    EXPECT_EQ(kSize, module.size());
    EXPECT_EQ(c.headers ? kMadeCodeSize : 0u, module.codeSize());
    EXPECT_EQ(c.headers ? 0x5E0BE100u : 0u, module.timestamp());
    // After a short read the rest is asked for once, which finds the end.
    EXPECT_EQ(c.cut ? 1 : 0, drop.readsAfter);
  }
}

// The view that the next mapping gives.
void* fakeView = nullptr;
void* WINAPI fakeMapView(HANDLE, DWORD, DWORD, DWORD, SIZE_T) { return fakeView; }

// A view whose pages past the file's head cannot be read: the module's
// facts still come whole from the file, since the view is never read.
TEST_F(ModuleInfoImplTest, ViewIsNeverRead) {
  const Bytes bytes = namedModule("", versionInfo(true, kStrings)).build();
  const std::wstring path = writeBytes(L"view.dll", bytes);
  // One committed page whose last kHeadersSize bytes begin the view; the
  // pages after it are only reserved, and touching them faults. The region
  // of the view's page is the page alone.
  void* region = VirtualAlloc(nullptr, 0x10000, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(nullptr, region);
  ASSERT_NE(nullptr, VirtualAlloc(region, 0x1000, MEM_COMMIT, PAGE_READWRITE));
  fakeView = static_cast<uint8_t*>(region) + 0x1000 - kHeadersSize;
  memcpy(fakeView, bytes.data(), kHeadersSize);
  mapViewOfFileSeam.replaceForTesting(&fakeMapView);
  ModuleInfoImpl module;
  EXPECT_EQ(std::vector<Entry>({{LOG_SEVERITY_INFO, "Could not find exports directory"}}),
            inspectFile(path, L"", &module));
  EXPECT_STREQ("original.dll", module.name());
  EXPECT_STREQ("1.2.3.4", module.fileVersion());
  EXPECT_EQ(kMadeCodeSize, module.codeSize());
  mapViewOfFileSeam.replaceForTesting(nullptr);
  EXPECT_TRUE(VirtualFree(region, 0, MEM_RELEASE));
}

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST(ModuleInfoImplRealFilesTest, AgreesWithTheSystem) {
  std::vector<std::wstring> paths;
  std::wstring self;
  ASSERT_TRUE(getExecutablePath(&self));
  paths.push_back(self);
  wchar_t system[MAX_PATH];
  const UINT length = GetSystemDirectoryW(system, MAX_PATH);
  ASSERT_TRUE(length > 0 && length < MAX_PATH);
  for (const wchar_t* name : {L"kernel32.dll", L"ntdll.dll", L"user32.dll", L"version.dll",
                              L"comctl32.dll", L"wininet.dll", L"psapi.dll"}) {
    paths.push_back(joinPath(system, name));
  }
  int withVersion = 0;
  for (const std::wstring& path : paths) {
    SCOPED_TRACE(wideToUtf8(path));
    testing_support::ModuleHeaders headers;
    ASSERT_TRUE(testing_support::readModuleHeaders(path, &headers));
    const std::string version = testing_support::systemFileVersion(path);
    if (!version.empty()) ++withVersion;

    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.isValid());
    ModuleInfoImpl module;
    module.inspect(L"", file.get(), kBase, kSize);
    EXPECT_EQ(headers.timestamp, module.timestamp());
    EXPECT_EQ(headers.codeSize, module.codeSize());
    EXPECT_EQ(version, module.fileVersion());
    // Libraries name themselves by their exports, the test program by its
    // file; either way the file's name, but for its case.
    EXPECT_EQ(lowerCase(wideToUtf8(baseName(path))), lowerCase(module.name()));
  }
  // Wine's libraries carry version resources: the comparison above is not
  // only of empty texts.
  EXPECT_GE(withVersion, 3);
}

}  // namespace
}  // namespace tavra
