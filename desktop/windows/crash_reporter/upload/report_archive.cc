#include "desktop/windows/crash_reporter/upload/report_archive.h"

#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <new>

namespace tavra {

const char kCrashLogEntryName[] = "crashlog.txt";

Seam<ZipWriteFunction> zipWriteSeam(&zipWriteInFileInZip);

namespace {

// Closes a C stream once.
struct StreamCloser {
  void operator()(FILE* stream) const { fclose(stream); }
};
using ScopedStream = std::unique_ptr<FILE, StreamCloser>;

// The stream's length in bytes, its position left where it was; 0 when it
// cannot be found.
size_t streamLength(FILE* stream) {
  const long start = ftell(stream);
  if (start < 0 || fseek(stream, 0, SEEK_END) != 0) return 0;
  const long end = ftell(stream);
  if (fseek(stream, start, SEEK_SET) != 0 || end <= start) return 0;
  return static_cast<size_t>(end - start);
}

uint32_t littleEndian16(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}
uint32_t littleEndian32(const unsigned char* bytes) {
  return littleEndian16(bytes) | littleEndian16(bytes + 2) << 16;
}

// Deflate guesses whether its input is text, and this minizip copies the
// guess into the entry's internal attributes (1 for text). The entry always
// carries 0, so that the archive's headers do not depend on what the log
// holds. The archive is ours and just closed: one entry, no comment.
bool clearInternalAttributes(const char* archivePath) {
  constexpr long kEndRecordBytes = 22;
  constexpr long kInternalAttributesOffset = 36;
  ScopedStream archive(fopen(archivePath, "r+b"));
  if (!archive) return false;
  unsigned char end[kEndRecordBytes];
  if (fseek(archive.get(), -kEndRecordBytes, SEEK_END) != 0 ||
      fread(end, 1, sizeof(end), archive.get()) != sizeof(end) ||
      littleEndian32(end) != 0x06054b50u || littleEndian16(end + 10) != 1) {
    return false;
  }
  const uint32_t central = littleEndian32(end + 16);
  unsigned char signature[4];
  if (central > 0x7FFFFFFFu - kInternalAttributesOffset ||
      fseek(archive.get(), static_cast<long>(central), SEEK_SET) != 0 ||
      fread(signature, 1, sizeof(signature), archive.get()) != sizeof(signature) ||
      littleEndian32(signature) != 0x02014b50u) {
    return false;
  }
  static const unsigned char kZero[2] = {0, 0};
  if (fseek(archive.get(), static_cast<long>(central) + kInternalAttributesOffset, SEEK_SET) != 0 ||
      fwrite(kZero, 1, sizeof(kZero), archive.get()) != sizeof(kZero)) {
    return false;
  }
  return fclose(archive.release()) == 0;
}

}  // namespace

bool createReportArchive(const char* crashLogPath, const char* archivePath) {
  // Append mode 0 creates the file anew, replacing one left by an earlier run.
  zipFile archive = zipOpen(archivePath, APPEND_STATUS_CREATE);
  if (archive == nullptr) return false;
  const bool added = addCrashLogEntry(crashLogPath, archive);
  // Closing also finishes the open entry: its checksum and sizes.
  const bool closed = zipClose(archive, nullptr) == ZIP_OK;
  if (added && closed && clearInternalAttributes(archivePath)) return true;
  remove(archivePath);
  return false;
}

bool addCrashLogEntry(const char* crashLogPath, zipFile archive) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kArchiveCopyBufferBytes]);
  if (!buffer) return false;
  // No file information (time 0), no extra fields, no comment; level 9 sets
  // flag bit 1, and this minizip writes "version made by" 0.
  if (zipOpenNewFileInZip(archive, kCrashLogEntryName, nullptr, nullptr, 0, nullptr, 0, nullptr,
                          Z_DEFLATED, Z_BEST_COMPRESSION) != ZIP_OK) {
    return false;
  }
  ScopedStream log(fopen(crashLogPath, "rb"));
  if (!log) return false;
  const size_t length = streamLength(log.get());
  if (length == 0) return false;

  size_t written = 0;
  while (written < length) {
    const size_t missing = length - written;
    const size_t chunk = missing < kArchiveCopyBufferBytes ? missing : kArchiveCopyBufferBytes;
    if (fread(buffer.get(), 1, chunk, log.get()) != chunk) break;
    if (zipWriteSeam(archive, buffer.get(), static_cast<unsigned>(chunk)) != ZIP_OK) break;
    written += chunk;
  }
  return written == length;
}

std::string archiveNameFor(const std::string& crashLogPath) {
  // Only a dot in the last component starts an extension: "logs.old\a1"
  // must not lose its last component.
  const size_t separator = crashLogPath.find_last_of("\\/");
  const size_t dot = crashLogPath.rfind('.');
  const bool inLastComponent =
      dot != std::string::npos && (separator == std::string::npos || dot > separator);
  if (inLastComponent && crashLogPath.size() - dot - 1 == 3) {
    return crashLogPath.substr(0, dot) + ".zip";
  }
  return crashLogPath + ".zip";
}

}  // namespace tavra
