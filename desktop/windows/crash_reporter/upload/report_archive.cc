#include "desktop/windows/crash_reporter/upload/report_archive.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <windows.h>

#include <memory>
#include <new>

#include "runtime/private_security.h"
#include "runtime/scoped_holder.h"

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

// The archive's file as minizip sees it: the handle of its creation, which
// minizip's close leaves open, and whether any call on it failed.
struct ArchiveStream {
  HANDLE file = nullptr;
  bool failed = false;
};

ArchiveStream* streamOf(voidpf stream) { return static_cast<ArchiveStream*>(stream); }

// Moves the file position; `to` is taken as fseek takes its offset.
bool seekArchive(ArchiveStream* stream, LONGLONG to, DWORD method) {
  LARGE_INTEGER distance;
  distance.QuadPart = to;
  if (SetFilePointerEx(stream->file, distance, nullptr, method)) return true;
  stream->failed = true;
  return false;
}

bool readArchive(ArchiveStream* stream, void* buffer, DWORD size) {
  DWORD read = 0;
  if (ReadFile(stream->file, buffer, size, &read, nullptr) && read == size) return true;
  stream->failed = true;
  return false;
}

bool writeArchive(ArchiveStream* stream, const void* buffer, DWORD size) {
  DWORD written = 0;
  if (WriteFile(stream->file, buffer, size, &written, nullptr) && written == size) return true;
  stream->failed = true;
  return false;
}

// minizip's I/O functions on an ArchiveStream, which is also the functions'
// opaque value: opening hands it back whatever the name, so minizip never
// opens a file itself.
voidpf ZCALLBACK openArchiveFunction(voidpf opaque, const char* /*name*/, int /*mode*/) {
  return opaque;
}
uLong ZCALLBACK readArchiveFunction(voidpf, voidpf stream, void* buffer, uLong size) {
  return readArchive(streamOf(stream), buffer, size) ? size : 0;
}
uLong ZCALLBACK writeArchiveFunction(voidpf, voidpf stream, const void* buffer, uLong size) {
  return writeArchive(streamOf(stream), buffer, size) ? size : 0;
}
long ZCALLBACK tellArchiveFunction(voidpf, voidpf stream) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  LARGE_INTEGER at;
  if (!SetFilePointerEx(streamOf(stream)->file, zero, &at, FILE_CURRENT) ||
      at.QuadPart > LONG_MAX) {
    streamOf(stream)->failed = true;
    return -1;
  }
  return static_cast<long>(at.QuadPart);
}
long ZCALLBACK seekArchiveFunction(voidpf, voidpf stream, uLong offset, int origin) {
  DWORD method = FILE_BEGIN;
  LONGLONG to = offset;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR || origin == ZLIB_FILEFUNC_SEEK_END) {
    method = origin == ZLIB_FILEFUNC_SEEK_CUR ? FILE_CURRENT : FILE_END;
    to = static_cast<long>(offset);
  } else if (origin != ZLIB_FILEFUNC_SEEK_SET) {
    return -1;
  }
  return seekArchive(streamOf(stream), to, method) ? 0 : -1;
}
int ZCALLBACK closeArchiveFunction(voidpf, voidpf stream) {
  return streamOf(stream)->failed ? -1 : 0;
}
int ZCALLBACK archiveErrorFunction(voidpf, voidpf stream) {
  return streamOf(stream)->failed ? 1 : 0;
}

// Deflate guesses whether its input is text, and this minizip copies the
// guess into the entry's internal attributes (1 for text). The entry always
// carries 0, so that the archive's headers do not depend on what the log
// holds. The archive is ours and just closed: one entry, no comment.
bool clearInternalAttributes(ArchiveStream* archive) {
  constexpr LONGLONG kEndRecordBytes = 22;
  constexpr LONGLONG kInternalAttributesOffset = 36;
  unsigned char end[kEndRecordBytes];
  if (!seekArchive(archive, -kEndRecordBytes, FILE_END) ||
      !readArchive(archive, end, sizeof(end)) || littleEndian32(end) != 0x06054b50u ||
      littleEndian16(end + 10) != 1) {
    return false;
  }
  const LONGLONG central = littleEndian32(end + 16);
  unsigned char signature[4];
  if (!seekArchive(archive, central, FILE_BEGIN) ||
      !readArchive(archive, signature, sizeof(signature)) ||
      littleEndian32(signature) != 0x02014b50u) {
    return false;
  }
  static const unsigned char kZero[2] = {0, 0};
  return seekArchive(archive, central + kInternalAttributesOffset, FILE_BEGIN) &&
         writeArchive(archive, kZero, sizeof(kZero));
}

}  // namespace

ArchiveResult createReportArchive(const char* crashLogPath, const char* archivePath) {
  ScopedHandle file;
  if (!createPrivateFile(archivePath, GENERIC_READ | GENERIC_WRITE, &file)) {
    return GetLastError() == ERROR_FILE_EXISTS ? ArchiveResult::kNameTaken : ArchiveResult::kFailed;
  }
  ArchiveStream stream;
  stream.file = file.get();
  zlib_filefunc_def functions = {
      &openArchiveFunction, &readArchiveFunction,  &writeArchiveFunction, &tellArchiveFunction,
      &seekArchiveFunction, &closeArchiveFunction, &archiveErrorFunction, &stream};
  zipFile archive = zipOpen2(archivePath, APPEND_STATUS_CREATE, nullptr, &functions);
  bool made = false;
  if (archive != nullptr) {
    const bool added = addCrashLogEntry(crashLogPath, archive);
    // Closing also finishes the open entry: its checksum and sizes.
    const bool closed = zipClose(archive, nullptr) == ZIP_OK;
    made = added && closed && clearInternalAttributes(&stream);
  }
  file.reset();
  if (made) return ArchiveResult::kCreated;
  // The file is ours, made above: nothing else has its name.
  remove(archivePath);
  return ArchiveResult::kFailed;
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
