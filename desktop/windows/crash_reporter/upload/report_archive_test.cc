#include "desktop/windows/crash_reporter/upload/report_archive.h"

#include <windows.h>

#include <stdint.h>
#include <string.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "runtime/file_util.h"
#include "runtime/private_security.h"
#include "runtime/scoped_temp_dir.h"
#include "runtime/utf_conversion.h"
#include "testing/test_support/test_files.h"

namespace tavra {
namespace {

constexpr size_t kMiB = 1024 * 1024;

// Records the size of every chunk written, and writes it for real unless
// told to fail from a given chunk on.
std::vector<unsigned> gChunks;
size_t gFailFromChunk = SIZE_MAX;

int recordingZipWrite(zipFile file, const void* buffer, unsigned length) {
  gChunks.push_back(length);
  if (gChunks.size() > gFailFromChunk) return ZIP_ERRNO;
  return zipWriteInFileInZip(file, buffer, length);
}

uint32_t read16(const std::string& bytes, size_t at) {
  return static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8;
}
uint32_t read32(const std::string& bytes, size_t at) {
  return read16(bytes, at) | read16(bytes, at + 2) << 16;
}

// The whole layout of a one-entry archive, every field checked as the crash
// server's unpacking relies on, and the entry's bytes inflated.
void expectOneEntryArchive(const std::string& zip, const std::string& log) {
  constexpr size_t kLocalHeader = 30;
  constexpr size_t kCentralHeader = 46;
  constexpr size_t kEndRecord = 22;
  constexpr size_t kNameLength = 12;
  ASSERT_GE(zip.size(), kLocalHeader + kNameLength + kCentralHeader + kNameLength + kEndRecord);
  const uint32_t crc = static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(log.data()), static_cast<uInt>(log.size())));

  // Local header.
  EXPECT_EQ(read32(zip, 0), 0x04034b50u);
  EXPECT_EQ(read16(zip, 4), 20u) << "version needed";
  EXPECT_EQ(read16(zip, 6), 2u) << "flags: level 9, no data descriptor";
  EXPECT_EQ(read16(zip, 8), 8u) << "method";
  EXPECT_EQ(read16(zip, 10), 0u) << "time";
  EXPECT_EQ(read16(zip, 12), 0u) << "date";
  EXPECT_EQ(read32(zip, 14), crc);
  const uint32_t compressedSize = read32(zip, 18);
  EXPECT_EQ(read32(zip, 22), log.size());
  EXPECT_EQ(read16(zip, 26), kNameLength);
  EXPECT_EQ(read16(zip, 28), 0u) << "local extra field";
  EXPECT_EQ(zip.substr(kLocalHeader, kNameLength), "crashlog.txt");
  const size_t dataStart = kLocalHeader + kNameLength;
  const size_t central = dataStart + compressedSize;
  ASSERT_EQ(zip.size(), central + kCentralHeader + kNameLength + kEndRecord);

  // Central directory.
  EXPECT_EQ(read32(zip, central), 0x02014b50u);
  EXPECT_EQ(read16(zip, central + 4), 0u) << "version made by";
  EXPECT_EQ(read16(zip, central + 6), 20u) << "version needed";
  EXPECT_EQ(read16(zip, central + 8), 2u);
  EXPECT_EQ(read16(zip, central + 10), 8u);
  EXPECT_EQ(read32(zip, central + 12), 0u) << "time and date";
  EXPECT_EQ(read32(zip, central + 16), crc);
  EXPECT_EQ(read32(zip, central + 20), compressedSize);
  EXPECT_EQ(read32(zip, central + 24), log.size());
  EXPECT_EQ(read16(zip, central + 28), kNameLength);
  EXPECT_EQ(read16(zip, central + 30), 0u) << "global extra field";
  EXPECT_EQ(read16(zip, central + 32), 0u) << "entry comment";
  EXPECT_EQ(read16(zip, central + 34), 0u) << "disk";
  EXPECT_EQ(read16(zip, central + 36), 0u) << "internal attributes";
  EXPECT_EQ(read32(zip, central + 38), 0u) << "external attributes";
  EXPECT_EQ(read32(zip, central + 42), 0u) << "local header offset";
  EXPECT_EQ(zip.substr(central + kCentralHeader, kNameLength), "crashlog.txt");

  // End record.
  const size_t end = central + kCentralHeader + kNameLength;
  EXPECT_EQ(read32(zip, end), 0x06054b50u);
  EXPECT_EQ(read16(zip, end + 8), 1u);
  EXPECT_EQ(read16(zip, end + 10), 1u);
  EXPECT_EQ(read32(zip, end + 12), kCentralHeader + kNameLength);
  EXPECT_EQ(read32(zip, end + 16), central);
  EXPECT_EQ(read16(zip, end + 20), 0u) << "archive comment";

  // The entry is a raw deflate stream of the log's bytes.
  std::string inflated(log.size() + 1, '\0');
  z_stream stream = {};
  ASSERT_EQ(inflateInit2(&stream, -MAX_WBITS), Z_OK);
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + dataStart));
  stream.avail_in = compressedSize;
  stream.next_out = reinterpret_cast<Bytef*>(&inflated[0]);
  stream.avail_out = static_cast<uInt>(inflated.size());
  EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
  inflated.resize(stream.total_out);
  inflateEnd(&stream);
  EXPECT_TRUE(inflated == log) << "the entry's bytes differ from the log's";
}

// A log that deflates to something, not to nearly nothing.
std::string makeLog(size_t size) {
  std::string log(size, '\0');
  uint32_t state = 12345;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1103515245u + 12345u;
    log[i] = (i % 64 == 63) ? '\n' : static_cast<char>(' ' + (state >> 16) % 95);
  }
  return log;
}

class ReportArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.create(L"archive"));
    gChunks.clear();
    gFailFromChunk = SIZE_MAX;
    zipWriteSeam.replaceForTesting(recordingZipWrite);
  }
  void TearDown() override { zipWriteSeam.replaceForTesting(nullptr); }

  std::wstring path(const wchar_t* name) const { return joinPath(dir_.path(), name); }
  std::string narrow(const wchar_t* name) const { return wideToAscii(path(name)); }

  ScopedTempDir dir_;
};

TEST_F(ReportArchiveTest, StreamsTheWholeLogInChunksOfAtMostOneMebibyte) {
  std::string binary;
  for (int i = 0; i < 4096; ++i) binary.push_back(static_cast<char>(i * 7));
  binary.append("\r\n\0\x1a\r\r\n", 7);
  const unsigned kOne = static_cast<unsigned>(kMiB);
  const struct {
    std::string log;
    std::vector<unsigned> chunks;
  } cases[] = {
      {makeLog(2 * kMiB + 7), {kOne, kOne, 7}},
      {makeLog(kMiB + 1), {kOne, 1}},
      {makeLog(kMiB), {kOne}},
      {binary, {4103}},
      {makeLog(1), {1}},
  };
  std::wstring privateSddl;
  ASSERT_TRUE(privateSecuritySddl(PrivateObject::kFile, &privateSddl));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.log.size());
    gChunks.clear();
    ASSERT_TRUE(writeFile(path(L"tavra-crashlog-1-1.txt"), c.log));
    ASSERT_EQ(createReportArchive(narrow(L"tavra-crashlog-1-1.txt").c_str(),
                                  narrow(L"tavra-crashlog-1-1.zip").c_str()),
              ArchiveResult::kCreated);
    EXPECT_EQ(gChunks, c.chunks);
    std::string zip;
    ASSERT_TRUE(readFileToString(path(L"tavra-crashlog-1-1.zip"), &zip));
    expectOneEntryArchive(zip, c.log);
    // The crashed process's memory is for the user and the system alone.
    EXPECT_EQ(accessEntries(accessListOf(path(L"tavra-crashlog-1-1.zip"))),
              accessEntries(privateSddl));
    ASSERT_TRUE(deleteFile(path(L"tavra-crashlog-1-1.zip")));
  }
}

TEST_F(ReportArchiveTest, FailureLeavesNoArchiveAndATakenNameIsLeftAlone) {
  const struct {
    const char* name;
    std::string log;  // "missing": no log file
    size_t failFromChunk;
    // What has the archive's name before: nothing, a file, or a folder.
    const char* taken;
    const wchar_t* archive;
    ArchiveResult result;
    size_t chunks;
  } cases[] = {
      {"empty log", "", SIZE_MAX, nullptr, L"log.zip", ArchiveResult::kFailed, 0},
      {"missing log", "missing", SIZE_MAX, nullptr, L"log.zip", ArchiveResult::kFailed, 0},
      {"first write fails", "some text", 0, nullptr, L"log.zip", ArchiveResult::kFailed, 1},
      {"second write fails", makeLog(3 * kMiB), 1, nullptr, L"log.zip", ArchiveResult::kFailed, 2},
      {"archive in a missing folder", "text", SIZE_MAX, nullptr, L"missing\\log.zip",
       ArchiveResult::kFailed, 0},
      // A planted archive is neither written into nor removed, even when the
      // log would have made a good one.
      {"a file has the name", "text", SIZE_MAX, "file", L"log.zip", ArchiveResult::kNameTaken, 0},
      {"a folder has the name", "text", SIZE_MAX, "folder", L"log.zip", ArchiveResult::kNameTaken,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    gChunks.clear();
    deleteFile(path(L"log.txt"));
    if (c.log != "missing") {
      ASSERT_TRUE(writeFile(path(L"log.txt"), c.log));
    }
    const std::wstring archive = path(c.archive);
    if (c.taken != nullptr && std::string(c.taken) == "file") {
      ASSERT_TRUE(writeFile(archive, "planted"));
    } else if (c.taken != nullptr) {
      ASSERT_TRUE(createDirectoryWithParents(archive));
    }
    const std::wstring before = accessListOf(archive);
    gFailFromChunk = c.failFromChunk;
    EXPECT_EQ(createReportArchive(narrow(L"log.txt").c_str(), narrow(c.archive).c_str()), c.result);
    EXPECT_EQ(gChunks.size(), c.chunks);
    if (c.taken == nullptr) {
      EXPECT_FALSE(pathExists(archive));
      continue;
    }
    EXPECT_EQ(accessListOf(archive), before);
    std::string planted;
    if (std::string(c.taken) == "file") {
      ASSERT_TRUE(readFileToString(archive, &planted));
      EXPECT_EQ(planted, "planted");
      deleteFile(archive);
    } else {
      EXPECT_TRUE(directoryExists(archive));
      RemoveDirectoryW(archive.c_str());
    }
  }
}

TEST(ArchiveNameForTest, ReplacesOnlyAThreeCharacterExtensionOfTheLastComponent) {
  const struct {
    const char* log;
    const char* archive;
  } cases[] = {
      {"tavra-crashlog-12-3.txt", "tavra-crashlog-12-3.zip"},
      {"log.abc", "log.zip"},
      {"log.text", "log.text.zip"},
      {"log.tx", "log.tx.zip"},
      {"log.", "log..zip"},
      {"log", "log.zip"},
      {"a.b.txt", "a.b.zip"},
      {".txt", ".zip"},
      {"C:\\crash\\tavra-crashlog-1-2.txt", "C:\\crash\\tavra-crashlog-1-2.zip"},
      // A dot in a folder's name is no extension of the file's.
      {"C:\\logs.old\\a1", "C:\\logs.old\\a1.zip"},
      {"logs.d/x", "logs.d/x.zip"},
      {"", ".zip"},
  };
  for (const auto& c : cases) EXPECT_EQ(archiveNameFor(c.log), c.archive) << c.log;
}

}  // namespace
}  // namespace tavra
