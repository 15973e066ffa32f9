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
constexpr uint64_t kImageBaseField32 = 28;  // 4 bytes
constexpr uint64_t kImageBaseField64 = 24;  // 8 bytes
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

uint32_t littleEndian(const uint8_t* p, size_t length) {
  uint32_t value = 0;
  for (size_t i = length; i > 0; --i) value = (value << 8) | p[i - 1];
  return value;
}

// Bit 5 cleared: folds the case of ASCII letters, and turns both 0 and the
// space into 0.
uint8_t folded(uint8_t byte) { return static_cast<uint8_t>(byte & 0xDF); }

}  // namespace

PeImage::PeImage(ByteSource* source, uint64_t size) : source_(source), size_(source ? size : 0) {
  headSize_ = static_cast<size_t>(size_ < kWindowSize ? size_ : kWindowSize);
  if (!fetch(0, head_, headSize_)) headSize_ = 0;
  if (headSize_ < 2 || head_[0] != 'M' || head_[1] != 'Z') return;
  uint32_t signature = 0;
  if (!read32(kNewHeaderOffsetField, &signature)) return;
  uint8_t headers[kSignatureSize + kFileHeaderSize + kOptionalHeaderNeeded];
  if (!read(signature, headers, sizeof(headers))) return;
  if (memcmp(headers, "PE\0\0", 4) != 0) return;

  const uint8_t* fileHeader = headers + kSignatureSize;
  const uint8_t* optional = fileHeader + kFileHeaderSize;
  optionalHeader_ = signature + kSignatureSize + kFileHeaderSize;
  valid_ = true;
  timeDateStamp_ = littleEndian(fileHeader + kTimeDateStampField, 4);
  sizeOfCode_ = littleEndian(optional + kSizeOfCodeField, 4);
  baseOfCode_ = littleEndian(optional + kBaseOfCodeField, 4);
  optionalHeaderSize_ = littleEndian(fileHeader + kOptionalSizeField, 2);
  sectionCount_ = littleEndian(fileHeader + kSectionCountField, 2);
  plus_ = littleEndian(optional, 2) == kPe32PlusMagic;
  sectionTable_ = optionalHeader_ + optionalHeaderSize_;
  const uint64_t imageBaseField = plus_ ? kImageBaseField64 : kImageBaseField32;
  const uint64_t imageBaseSize = plus_ ? 8 : 4;
  uint32_t low = 0;
  uint32_t high = 0;
  if (imageBaseField + imageBaseSize <= optionalHeaderSize_ &&
      read32(optionalHeader_ + imageBaseField, &low) &&
      (!plus_ || read32(optionalHeader_ + imageBaseField + 4, &high))) {
    imageBase_ = (static_cast<uint64_t>(high) << 32) | low;
  }
  // A table that runs past the end makes every address unknown, rather than
  // trusting the part of it that happens to fit.
  sectionTableFits_ =
      sectionCount_ <= kMaxSectionCount && fits(sectionTable_, kSectionHeaderSize * sectionCount_);
}

bool PeImage::fits(uint64_t offset, uint64_t length) const {
  // Both come from 32-bit fields (or sums of a few), far from wrapping in 64
  // bits; the comparison is still written so that it cannot overflow.
  return offset <= size_ && length <= size_ - offset;
}

bool PeImage::fetch(uint64_t offset, void* out, size_t length) {
  if (readFailed_) return false;
  if (length == 0 || source_->read(offset, out, length)) return true;
  readFailed_ = true;
  return false;
}

bool PeImage::read(uint64_t offset, void* out, size_t length) {
  if (!fits(offset, length)) return false;
  if (length == 0) return true;
  if (offset + length <= headSize_) {
    memcpy(out, head_ + offset, length);
    return true;
  }
  if (offset >= windowOffset_ && offset + length - windowOffset_ <= windowSize_) {
    memcpy(out, window_ + (offset - windowOffset_), length);
    return true;
  }
  if (length > kWindowSize) return fetch(offset, out, length);
  // The window moves to `offset`: what the parse reads next mostly follows.
  const size_t windowSize =
      static_cast<size_t>(size_ - offset < kWindowSize ? size_ - offset : kWindowSize);
  windowSize_ = 0;
  if (!fetch(offset, window_, windowSize)) return false;
  windowOffset_ = offset;
  windowSize_ = windowSize;
  memcpy(out, window_, length);
  return true;
}

bool PeImage::read16(uint64_t offset, uint32_t* value) {
  uint8_t bytes[2];
  if (!read(offset, bytes, sizeof(bytes))) return false;
  *value = littleEndian(bytes, sizeof(bytes));
  return true;
}

bool PeImage::read32(uint64_t offset, uint32_t* value) {
  uint8_t bytes[4];
  if (!read(offset, bytes, sizeof(bytes))) return false;
  *value = littleEndian(bytes, sizeof(bytes));
  return true;
}

bool PeImage::rvaToOffset(uint32_t rva, uint64_t* offset) {
  if (!valid_ || !sectionTableFits_) return false;
  for (uint32_t i = 0; i < sectionCount_; ++i) {
    // VirtualAddress, SizeOfRawData and PointerToRawData, in this order.
    uint8_t fields[kSectionRawPointerField + 4 - kSectionAddressField];
    if (!read(sectionTable_ + kSectionHeaderSize * i + kSectionAddressField, fields,
              sizeof(fields))) {
      return false;
    }
    const uint32_t start = littleEndian(fields, 4);
    const uint64_t end = static_cast<uint64_t>(start) +
                         littleEndian(fields + (kSectionRawSizeField - kSectionAddressField), 4);
    if (start > rva || end <= rva) continue;
    const uint64_t place =
        littleEndian(fields + (kSectionRawPointerField - kSectionAddressField), 4) +
        static_cast<uint64_t>(rva - start);
    // The first section that holds the address decides, even when its raw
    // data lies outside the file.
    if (place >= size_) return false;
    *offset = place;
    return true;
  }
  return false;
}

uint32_t PeImage::dataDirectoryAddress(uint32_t index) {
  if (!valid_) return 0;
  const uint64_t countField = plus_ ? kDirectoryCountField64 : kDirectoryCountField32;
  const uint64_t directories = plus_ ? kDirectories64 : kDirectories32;
  const uint64_t entryEnd = directories + kDirectoryEntrySize * (index + 1);
  // The entry must lie within the optional header as the file sizes it, and
  // within the file.
  if (entryEnd > optionalHeaderSize_ || !fits(optionalHeader_, entryEnd)) return 0;
  uint32_t count = 0;
  uint32_t address = 0;
  if (!read32(optionalHeader_ + countField, &count) || count <= index) return 0;
  if (!read32(optionalHeader_ + directories + kDirectoryEntrySize * index, &address)) return 0;
  return address;
}

bool PeImage::exportName(char* out, size_t outSize, bool* foundDirectory) {
  if (foundDirectory) *foundDirectory = false;
  const uint32_t address = dataDirectoryAddress(kExportDirectoryIndex);
  if (address == 0) return false;
  uint64_t directory = 0;
  if (!rvaToOffset(address, &directory) || !fits(directory, kExportDirectorySize)) return false;
  if (foundDirectory) *foundDirectory = true;
  if (outSize == 0) return false;

  uint32_t nameAddress = 0;
  uint64_t name = 0;
  if (!read32(directory + kExportNameField, &nameAddress) || !rvaToOffset(nameAddress, &name)) {
    return false;
  }
  // The name's length first, a piece at a time, so that `out` changes only
  // for a whole name; the copy then comes from the window.
  const uint64_t available = size_ - name;
  size_t length = 0;
  bool ended = false;
  while (!ended && length < outSize - 1 && length < available) {
    uint8_t piece[64];
    size_t pieceSize = sizeof(piece);
    if (pieceSize > outSize - 1 - length) pieceSize = outSize - 1 - length;
    if (pieceSize > available - length) pieceSize = static_cast<size_t>(available - length);
    if (!read(name + length, piece, pieceSize)) return false;
    const void* end = memchr(piece, 0, pieceSize);
    ended = end != nullptr;
    length += ended ? static_cast<size_t>(static_cast<const uint8_t*>(end) - piece) : pieceSize;
  }
  // A name that runs into the end of the file is unterminated: not a name.
  if (length < outSize - 1 && length == available) return false;
  if (!read(name, out, length)) return false;
  out[length] = 0;
  return true;
}

PeImage::VersionLookup PeImage::findVersionData(uint64_t* offset, size_t* size) {
  const uint32_t address = dataDirectoryAddress(kResourceDirectoryIndex);
  if (address == 0) return VersionLookup::kNoResourceDirectory;
  // Offsets inside the resource tree count from its root.
  uint64_t root = 0;
  if (!rvaToOffset(address, &root) || !fits(root, kResourceDirectoryHeaderSize)) {
    return VersionLookup::kNoResourceDirectory;
  }

  // Three levels at most: type, id, language. The depth is fixed, so an
  // entry that points back up the tree cannot make the descent go round.
  uint64_t directory = 0;
  uint32_t target = 0;
  bool isData = false;
  for (int level = 0; level < 3 && !isData; ++level) {
    const uint64_t header = root + directory;
    uint32_t named = 0;
    uint32_t numbered = 0;
    if (!fits(header, kResourceDirectoryHeaderSize) ||
        !read16(header + kResourceNamedCountField, &named) ||
        !read16(header + kResourceIdCountField, &numbered)) {
      return VersionLookup::kNoVersionEntry;
    }
    const uint64_t entries = header + kResourceDirectoryHeaderSize;
    if (!fits(entries, kResourceEntrySize * (named + numbered))) {
      return VersionLookup::kNoVersionEntry;
    }
    if (numbered > kMaxResourceEntries) numbered = kMaxResourceEntries;
    bool found = false;
    // The named entries come first and are skipped.
    for (uint32_t i = named; i < named + numbered && !found; ++i) {
      uint8_t entry[kResourceEntrySize];
      if (!read(entries + kResourceEntrySize * i, entry, sizeof(entry))) {
        return VersionLookup::kNoVersionEntry;
      }
      const uint32_t id = littleEndian(entry, 4);
      const uint32_t place = littleEndian(entry + 4, 4);
      if (level == 0) {
        found = id == kVersionResourceType;
      } else if (level == 1) {
        found = id == kVersionResourceId;
      } else {
        // Languages: the first entry that points to data.
        found = (place & kResourceSubdirectoryBit) == 0;
      }
      if (found) {
        isData = (place & kResourceSubdirectoryBit) == 0;
        target = place & ~kResourceSubdirectoryBit;
      }
    }
    if (!found) return VersionLookup::kNoVersionEntry;
    directory = target;
  }
  if (!isData) return VersionLookup::kNoVersionEntry;

  const uint64_t entry = root + target;
  uint32_t dataAddress = 0;
  uint32_t dataSize = 0;
  if (!fits(entry, kResourceDataEntrySize) || !read32(entry, &dataAddress) ||
      !read32(entry + 4, &dataSize)) {
    return VersionLookup::kNoVersionEntry;
  }
  uint64_t place = 0;
  if (!rvaToOffset(dataAddress, &place) || dataSize > size_ - place) {
    return VersionLookup::kNoVersionData;
  }
  *offset = place;
  *size = dataSize < kMaxVersionDataSize ? dataSize : kMaxVersionDataSize;
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
