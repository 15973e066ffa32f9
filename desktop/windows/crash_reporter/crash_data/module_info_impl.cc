#include "desktop/windows/crash_reporter/crash_data/module_info_impl.h"

#include <psapi.h>
#include <string.h>

#include <algorithm>

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

// How many bytes of the view may be read: the view's committed region, and
// no more than the file holds when its size can be had.
bool readableViewSize(HANDLE file, const void* view, size_t* size) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(view, &region, sizeof(region)) != sizeof(region)) return false;
  *size = region.RegionSize;
  LARGE_INTEGER fileSize;
  if (GetFileSizeEx(file, &fileSize) && fileSize.QuadPart >= 0 &&
      static_cast<uint64_t>(fileSize.QuadPart) < *size) {
    *size = static_cast<size_t>(fileSize.QuadPart);
  }
  return true;
}

}  // namespace

Seam<MapViewOfFileFunction> mapViewOfFileSeam(&MapViewOfFile);
Seam<GetMappedFileNameFunction> getMappedFileNameSeam(&GetMappedFileNameA);

ModuleInfoImpl::ModuleInfoImpl() = default;
ModuleInfoImpl::~ModuleInfoImpl() = default;

void ModuleInfoImpl::inspect(const wchar_t* moduleName, HANDLE file, uint32_t base, uint32_t size) {
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
  size_t viewSize = 0;
  if (!readableViewSize(file, view.get(), &viewSize)) {
    TAVRA_PLOG(ERROR) << "VirtualQuery failed for " << wideToUtf8(snapshotName);
    return;
  }
  parse(static_cast<const uint8_t*>(view.get()), viewSize);
}

void ModuleInfoImpl::parse(const uint8_t* view, size_t viewSize) {
  PeImage image(view, viewSize);
  if (!image.hasValidHeaders()) {
    TAVRA_LOG(ERROR) << "GetNtHeaders failed for " << nameForLog();
    return;
  }
  codeEnd_ = base_ + image.baseOfCode() + image.sizeOfCode();
  timestamp_ = image.timeDateStamp();

  if (name_[0] == 0) {
    bool foundDirectory = false;
    image.exportName(name_, kTextSize, &foundDirectory);
    if (!foundDirectory) TAVRA_LOG(INFO) << "Could not find exports directory";
  }

  const uint8_t* versionData = nullptr;
  size_t versionSize = 0;
  switch (image.findVersionData(&versionData, &versionSize)) {
    case PeImage::VersionLookup::kNoResourceDirectory:
      TAVRA_LOG(INFO) << "Could not find resources directory in " << nameForLog();
      break;
    case PeImage::VersionLookup::kNoVersionEntry:
      TAVRA_LOG(INFO) << "Could not find version resource in " << nameForLog();
      break;
    case PeImage::VersionLookup::kNoVersionData:
      TAVRA_LOG(INFO) << "Could not find version info in " << nameForLog();
      break;
    case PeImage::VersionLookup::kFound:
      if (name_[0] == 0) {
        PeImage::findVersionValue(versionData, versionSize, "ORIGINALFILENAME", name_, kTextSize);
      }
      PeImage::findVersionValue(versionData, versionSize, "FILEVERSION", fileVersion_, kTextSize);
      break;
  }

  if (name_[0] != 0) return;
  char path[kMappedFileNameSize];
  const DWORD pathLength = getMappedFileNameSeam(GetCurrentProcess(), const_cast<uint8_t*>(view),
                                                 path, kMappedFileNameSize);
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

const char* ModuleInfoImpl::nameForLog() const { return name_[0] != 0 ? name_ : kUnknownName; }

const char* ModuleInfoImpl::name() const { return name_; }
uint32_t ModuleInfoImpl::base() const { return base_; }
uint32_t ModuleInfoImpl::size() const { return size_; }
uint32_t ModuleInfoImpl::codeStart() const { return base_; }
// Without headers there is no code range at all. 0 - base would describe
// the whole address space to a reader that compares v - codeStart < codeSize.
uint32_t ModuleInfoImpl::codeSize() const { return codeEnd_ == 0 ? 0 : codeEnd_ - base_; }
const char* ModuleInfoImpl::fileVersion() const { return fileVersion_; }
uint32_t ModuleInfoImpl::timestamp() const { return timestamp_; }

}  // namespace tavra
