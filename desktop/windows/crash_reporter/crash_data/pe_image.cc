#include "desktop/windows/crash_reporter/crash_data/pe_image.h"

#include <string.h>

namespace tavra {
namespace {

// Offsets and sizes of the on-disk structures that are read here.
constexpr uint64_t kNewHeaderOffsetField = 0x3C;
constexpr uint64_t kSignatureSize = 4;
constexpr uint64_t kFileHeaderSize = 20;
constexpr uint64_t kSectionCountField = 2;      // in the file header
constexpr uint64_t kTimeDateStampField = 4;     // in the file header
constexpr uint64_t kOptionalSizeField = 16;     // in the file header
constexpr uint64_t kSizeOfCodeField = 4;        // in the optional header
constexpr uint64_t kBaseOfCodeField = 20;       // in the optional header
constexpr uint64_t kOptionalHeaderNeeded = 24;  // up to and with BaseOfCode
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint64_t kDirectoryCountField32 = 92;
constexpr uint64_t kDirectories32 = 96;
constexpr uint64_t kDirectoryCountField64 = 108;
constexpr uint64_t kDirectories64 = 112;
constexpr uint64_t kDirectoryEntrySize = 8;
constexpr uint64_t kSectionHeaderSize = 40;
constexpr uint64_t kSectionAddressField = 12;
constexpr uint64_t kSectionRawSizeField = 16;
constexpr uint64_t kSectionRawPointerField = 20;

constexpr uint32_t kExportDirectoryIndex = 0;
constexpr uint32_t kResourceDirectoryIndex = 2;
constexpr uint64_t kExportDirectorySize = 40;
constexpr uint64_t kExportNameField = 12;

constexpr uint64_t kResourceDirectoryHeaderSize = 16;
constexpr uint64_t kResourceNamedCountField = 12;
constexpr uint64_t kResourceIdCountField = 14;
constexpr uint64_t kResourceEntrySize = 8;
constexpr uint64_t kResourceDataEntrySize = 16;
constexpr uint32_t kResourceSubdirectoryBit = 0x80000000u;
constexpr uint32_t kVersionResourceType = 16;
constexpr uint32_t kVersionResourceId = 1;

uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Bit 5 cleared: folds the case of ASCII letters, and turns both 0 and the
// space into 0.
uint8_t folded(uint8_t byte) { return static_cast<uint8_t>(byte & 0xDF); }

}  // namespace

PeImage::PeImage(const uint8_t* data, size_t size) : data_(data), size_(data ? size : 0) {
  if (!fits(0, 2) || data_[0] != 'M' || data_[1] != 'Z') return;
  if (!fits(kNewHeaderOffsetField, 4)) return;
  const uint64_t signature = read32(data_ + kNewHeaderOffsetField);
  if (!fits(signature, kSignatureSize + kFileHeaderSize + kOptionalHeaderNeeded)) return;
  if (memcmp(data_ + signature, "PE\0\0", 4) != 0) return;

  const uint8_t* fileHeader = data_ + signature + kSignatureSize;
  optionalHeader_ = signature + kSignatureSize + kFileHeaderSize;
  const uint8_t* optional = data_ + optionalHeader_;
  valid_ = true;
  timeDateStamp_ = read32(fileHeader + kTimeDateStampField);
  sizeOfCode_ = read32(optional + kSizeOfCodeField);
  baseOfCode_ = read32(optional + kBaseOfCodeField);
  optionalHeaderSize_ = read16(fileHeader + kOptionalSizeField);
  sectionCount_ = read16(fileHeader + kSectionCountField);
  sectionTable_ = optionalHeader_ + optionalHeaderSize_;
  // A table that runs past the end makes every address unknown, rather than
  // trusting the part of it that happens to fit.
  sectionTableFits_ = fits(sectionTable_, kSectionHeaderSize * sectionCount_);
}

bool PeImage::fits(uint64_t offset, uint64_t length) const {
  // Both come from 32-bit fields (or sums of a few), far from wrapping in 64
  // bits; the comparison is still written so that it cannot overflow.
  return offset <= size_ && length <= size_ - offset;
}

const uint8_t* PeImage::rvaToData(uint32_t rva, size_t* available) const {
  if (!valid_ || !sectionTableFits_) return nullptr;
  for (uint32_t i = 0; i < sectionCount_; ++i) {
    const uint8_t* section = data_ + sectionTable_ + kSectionHeaderSize * i;
    const uint32_t start = read32(section + kSectionAddressField);
    const uint64_t end = static_cast<uint64_t>(start) + read32(section + kSectionRawSizeField);
    if (start > rva || end <= rva) continue;
    const uint64_t place =
        static_cast<uint64_t>(read32(section + kSectionRawPointerField)) + (rva - start);
    // The first section that holds the address decides, even when its raw
    // data lies outside the file.
    if (place >= size_) return nullptr;
    if (available) *available = static_cast<size_t>(size_ - place);
    return data_ + place;
  }
  return nullptr;
}

uint32_t PeImage::dataDirectoryAddress(uint32_t index) const {
  if (!valid_) return 0;
  const bool plus = read16(data_ + optionalHeader_) == kPe32PlusMagic;
  const uint64_t countField = plus ? kDirectoryCountField64 : kDirectoryCountField32;
  const uint64_t directories = plus ? kDirectories64 : kDirectories32;
  const uint64_t entryEnd = directories + kDirectoryEntrySize * (index + 1);
  // The entry must lie within the optional header as the file sizes it, and
  // within the bytes.
  if (entryEnd > optionalHeaderSize_ || !fits(optionalHeader_, entryEnd)) return 0;
  if (read32(data_ + optionalHeader_ + countField) <= index) return 0;
  return read32(data_ + optionalHeader_ + directories + kDirectoryEntrySize * index);
}

bool PeImage::exportName(char* out, size_t outSize, bool* foundDirectory) const {
  if (foundDirectory) *foundDirectory = false;
  const uint32_t address = dataDirectoryAddress(kExportDirectoryIndex);
  if (address == 0) return false;
  size_t available = 0;
  const uint8_t* directory = rvaToData(address, &available);
  if (!directory || available < kExportDirectorySize) return false;
  if (foundDirectory) *foundDirectory = true;
  if (outSize == 0) return false;

  const uint8_t* name = rvaToData(read32(directory + kExportNameField), &available);
  if (!name) return false;
  size_t length = 0;
  while (length < outSize - 1 && length < available && name[length] != 0) ++length;
  // A name that runs into the end of the bytes is unterminated: not a name.
  if (length < outSize - 1 && length == available) return false;
  memcpy(out, name, length);
  out[length] = 0;
  return true;
}

PeImage::VersionLookup PeImage::findVersionData(const uint8_t** data, size_t* size) const {
  const uint32_t address = dataDirectoryAddress(kResourceDirectoryIndex);
  if (address == 0) return VersionLookup::kNoResourceDirectory;
  size_t available = 0;
  const uint8_t* root = rvaToData(address, &available);
  if (!root || available < kResourceDirectoryHeaderSize) return VersionLookup::kNoResourceDirectory;
  // Offsets inside the resource tree count from its root.
  const uint64_t rootOffset = static_cast<uint64_t>(root - data_);

  // Three levels at most: type, id, language. The depth is fixed, so an
  // entry that points back up the tree cannot make the descent go round.
  uint64_t directory = 0;
  uint32_t target = 0;
  bool isData = false;
  for (int level = 0; level < 3 && !isData; ++level) {
    const uint64_t header = rootOffset + directory;
    if (!fits(header, kResourceDirectoryHeaderSize)) return VersionLookup::kNoVersionEntry;
    const uint32_t named = read16(data_ + header + kResourceNamedCountField);
    const uint32_t numbered = read16(data_ + header + kResourceIdCountField);
    const uint64_t entries = header + kResourceDirectoryHeaderSize;
    if (!fits(entries, kResourceEntrySize * (named + numbered))) {
      return VersionLookup::kNoVersionEntry;
    }
    bool found = false;
    // The named entries come first and are skipped.
    for (uint32_t i = named; i < named + numbered && !found; ++i) {
      const uint8_t* entry = data_ + entries + kResourceEntrySize * i;
      const uint32_t id = read32(entry);
      const uint32_t offset = read32(entry + 4);
      if (level == 0) {
        found = id == kVersionResourceType;
      } else if (level == 1) {
        found = id == kVersionResourceId;
      } else {
        // Languages: the first entry that points to data.
        found = (offset & kResourceSubdirectoryBit) == 0;
      }
      if (found) {
        isData = (offset & kResourceSubdirectoryBit) == 0;
        target = offset & ~kResourceSubdirectoryBit;
      }
    }
    if (!found) return VersionLookup::kNoVersionEntry;
    directory = target;
  }
  if (!isData) return VersionLookup::kNoVersionEntry;

  const uint64_t entry = rootOffset + target;
  if (!fits(entry, kResourceDataEntrySize)) return VersionLookup::kNoVersionEntry;
  const uint32_t dataAddress = read32(data_ + entry);
  const uint32_t dataSize = read32(data_ + entry + 4);
  const uint8_t* place = rvaToData(dataAddress, &available);
  if (!place || dataSize > available) return VersionLookup::kNoVersionData;
  *data = place;
  *size = dataSize;
  return VersionLookup::kFound;
}

// A character is one byte, together with the byte after it when that one is
// 0: the same walk reads UTF-16 text (each ASCII character and its zero high
// byte) and 8-bit text. Which of the two a match is in follows from its first
// letter. In 8-bit text each character is exactly one byte, so that the NUL
// after a key or a value ends it instead of being taken as the second half
// of its last character.
bool PeImage::findVersionValue(const uint8_t* data, size_t size, const char* key, char* out,
                               size_t outSize) {
  if (!data || !key || key[0] == 0 || !out || outSize == 0) return false;
  auto width = [&](size_t at) -> size_t { return at + 1 < size && data[at + 1] == 0 ? 2 : 1; };

  for (size_t start = 0; start < size; start += width(start)) {
    const bool wide = width(start) == 2;
    auto next = [&](size_t at) -> size_t { return wide ? at + width(at) : at + 1; };
    size_t at = start;
    const char* letter = key;
    while (*letter != 0 && at < size && folded(data[at]) == static_cast<uint8_t>(*letter)) {
      at = next(at);
      ++letter;
    }
    // Every letter matched and a character ends the key: 0, or a space.
    if (*letter != 0 || at >= size || folded(data[at]) != 0) continue;

    while (at < size && data[at] == 0) ++at;
    if (at == size) return false;
    size_t length = 0;
    while (at < size && data[at] != 0 && length < outSize - 1) {
      out[length++] = static_cast<char>(data[at++]);
      // In UTF-16 text the high byte of each ASCII character is 0.
      if (wide && at < size && data[at] == 0) ++at;
    }
    out[length] = 0;
    return true;
  }
  return false;
}

}  // namespace tavra
