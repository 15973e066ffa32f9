#include "desktop/windows/crash_reporter/crash_data/module_info_impl.h"

#include <psapi.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>

#include "desktop/windows/crash_reporter/crash_data/byte_source.h"
#include "desktop/windows/crash_reporter/crash_data/pe_image.h"
#include "runtime/logging.h"
#include "runtime/scoped_holder.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

// What GetMappedFileNameA gets to write the file's path into.
constexpr DWORD kMappedFileNameSize = 260;
constexpr char kUnknownName[] = "<unknown>";

// Copies at most kTextSize - 1 bytes of `text`, then a NUL.
void copyText(const char* text, size_t length, char* out) {
  length = std::min(length, ModuleInfoImpl::kTextSize - 1);
  memcpy(out, text, length);
  out[length] = 0;
}

// Reads the module's file where the parser asks. After a failed read it
// keeps that read's error, and the parser asks for nothing more.
class FileReader : public ByteSource {
 public:
  explicit FileReader(HANDLE file) : file_(file) {}

  bool read(uint64_t offset, void* out, size_t length) override {
    uint8_t* to = static_cast<uint8_t*>(out);
    // The parser's reads are far below 4 GiB; a short read goes on from
    // where it stopped.
    while (length > 0) {
      OVERLAPPED at = {};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      DWORD count = 0;
      if (!readFileSeam(file_, to, static_cast<DWORD>(length), &count, &at)) {
        error_ = GetLastError();
        return false;
      }
      // Nothing more: the file ended before the size it had when the parse
      // began.
      if (count == 0) {
        error_ = ERROR_HANDLE_EOF;
        return false;
      }
      to += count;
      offset += count;
      length -= count;
    }
    return true;
  }

  DWORD error() const { return error_; }

 private:
  HANDLE file_;
  DWORD error_ = ERROR_SUCCESS;
};

}  // namespace

Seam<MapViewOfFileFunction> mapViewOfFileSeam(&MapViewOfFile);
Seam<ReadFileFunction> readFileSeam(&ReadFile);
Seam<GetMappedFileNameFunction> getMappedFileNameSeam(&GetMappedFileNameA);

ModuleInfoImpl::ModuleInfoImpl() = default;
ModuleInfoImpl::~ModuleInfoImpl() = default;

void ModuleInfoImpl::inspect(const wchar_t* moduleName, HANDLE file, TargetAddress base,
                             uint32_t size) {
  base_ = base;
  size_ = size;
  const wchar_t* snapshotName = moduleName ? moduleName : L"";
  size_t length = 0;
  for (; length < kTextSize - 1 && snapshotName[length] != 0; ++length) {
    name_[length] = static_cast<char>(snapshotName[length] & 0xFF);
  }
  name_[length] = 0;

  // A missing file takes the mapping's failure path, with the error that the
  // system gives for an invalid handle. It is never passed on: with
  // INVALID_HANDLE_VALUE the call would make a mapping of no file at all.
  ScopedHandle mapping;
  if (isValidHandle(file)) {
    mapping.reset(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  } else {
    SetLastError(ERROR_INVALID_HANDLE);
  }
  if (!mapping.isValid()) {
    TAVRA_PLOG(ERROR) << "CreateFileMappingFailed for " << wideToUtf8(snapshotName);
    return;
  }
  ScopedMappedView view(mapViewOfFileSeam(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  if (!view.isValid()) {
    TAVRA_PLOG(ERROR) << "MapViewOfFile failed for " << wideToUtf8(snapshotName);
    return;
  }
  LARGE_INTEGER fileSize;
  if (!GetFileSizeEx(file, &fileSize) || fileSize.QuadPart < 0) {
    TAVRA_PLOG(ERROR) << "GetFileSizeEx failed for " << wideToUtf8(snapshotName);
    return;
  }
  parse(file, static_cast<uint64_t>(fileSize.QuadPart), view.get());
}

void ModuleInfoImpl::parse(HANDLE file, uint64_t fileSize, const void* view) {
  FileReader reader(file);
  PeImage image(&reader, fileSize);
  if (!image.hasValidHeaders()) {
    if (image.readFailed()) return logReadFailure(reader.error());
    TAVRA_LOG(ERROR) << "GetNtHeaders failed for " << nameForLog();
    return;
  }
  // In the arithmetic of the target's addresses: a 64-bit module's code may
  // lie above 4 GiB.
  codeEnd_ = base_ + image.baseOfCode() + image.sizeOfCode();
  timestamp_ = image.timeDateStamp();

  if (name_[0] == 0) {
    bool foundDirectory = false;
    image.exportName(name_, kTextSize, &foundDirectory);
    if (image.readFailed()) return logReadFailure(reader.error());
    if (!foundDirectory) TAVRA_LOG(INFO) << "Could not find exports directory";
  }

  uint64_t versionOffset = 0;
  size_t versionSize = 0;
  const PeImage::VersionLookup lookup = image.findVersionData(&versionOffset, &versionSize);
  if (image.readFailed()) return logReadFailure(reader.error());
  switch (lookup) {
    case PeImage::VersionLookup::kNoResourceDirectory:
      TAVRA_LOG(INFO) << "Could not find resources directory in " << nameForLog();
      break;
    case PeImage::VersionLookup::kNoVersionEntry:
      TAVRA_LOG(INFO) << "Could not find version resource in " << nameForLog();
      break;
    case PeImage::VersionLookup::kNoVersionData:
      TAVRA_LOG(INFO) << "Could not find version info in " << nameForLog();
      break;
    case PeImage::VersionLookup::kFound: {
      // At most PeImage::kMaxVersionDataSize bytes.
      std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[versionSize]);
      if (!data) {
        TAVRA_LOG(ERROR) << "No memory for the version info of " << nameForLog();
        break;
      }
      if (!image.read(versionOffset, data.get(), versionSize)) {
        return logReadFailure(reader.error());
      }
      if (name_[0] == 0) {
        PeImage::findVersionValue(data.get(), versionSize, "ORIGINALFILENAME", name_, kTextSize);
      }
      PeImage::findVersionValue(data.get(), versionSize, "FILEVERSION", fileVersion_, kTextSize);
      break;
    }
  }

  if (name_[0] != 0) return;
  char path[kMappedFileNameSize];
  const DWORD pathLength = getMappedFileNameSeam(GetCurrentProcess(), const_cast<void*>(view), path,
                                                 kMappedFileNameSize);
  if (pathLength == 0) {
    TAVRA_PLOG(ERROR) << "GetMappedFileNameA failed";
    return;
  }
  // The count excludes the NUL; a cut path may come without one.
  const size_t usable = std::min<size_t>(pathLength, kMappedFileNameSize);
  const char* lastSeparator = nullptr;
  for (size_t i = 0; i < usable && path[i] != 0; ++i) {
    if (path[i] == '\\') lastSeparator = path + i;
  }
  if (!lastSeparator) return;
  const char* fileName = lastSeparator + 1;
  copyText(fileName, strnlen(fileName, usable - (fileName - path)), name_);
}

void ModuleInfoImpl::logReadFailure(DWORD error) const {
  SetLastError(error);
  TAVRA_PLOG(ERROR) << "ReadFile failed for " << nameForLog();
}

const char* ModuleInfoImpl::nameForLog() const { return name_[0] != 0 ? name_ : kUnknownName; }

const char* ModuleInfoImpl::name() const { return name_; }
TargetAddress ModuleInfoImpl::base() const { return base_; }
uint32_t ModuleInfoImpl::size() const { return size_; }
TargetAddress ModuleInfoImpl::codeStart() const { return base_; }
// Without headers there is no code range at all. 0 - base would describe
// the whole address space to a reader that compares v - codeStart < codeSize.
// BaseOfCode and SizeOfCode are 32-bit fields, so that the distance fits in
// 32 bits but for the carry of their sum, which the 32-bit reporter has always
// dropped; both widths drop it alike.
uint32_t ModuleInfoImpl::codeSize() const {
  return codeEnd_ == 0 ? 0 : static_cast<uint32_t>(codeEnd_ - base_);
}
const char* ModuleInfoImpl::fileVersion() const { return fileVersion_; }
uint32_t ModuleInfoImpl::timestamp() const { return timestamp_; }

}  // namespace tavra
