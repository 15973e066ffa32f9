// Module files made byte by byte for the tests of the module parser and for
// the fuzzer's seeds. Portable: builds on the host as well.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PE_IMAGE_TEST_SUPPORT_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PE_IMAGE_TEST_SUPPORT_H_

#include <stddef.h>
#include <stdint.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/byte_source.h"

namespace tavra {
namespace pe_testing {

using Bytes = std::vector<uint8_t>;

// Bytes in memory as the parser's source. It counts the bytes read, notes a
// read outside the bytes (which the parser must never ask for), and can play
// a file that stops being readable: the first read that takes in byte
// `failAt` fails, and so does every read after it, which it counts.
class BytesSource : public ByteSource {
 public:
  static constexpr uint64_t kNeverFails = ~uint64_t{0};

  explicit BytesSource(const Bytes& bytes, uint64_t failAt = kNeverFails)
      : bytes_(bytes), failAt_(failAt) {}

  bool read(uint64_t offset, void* out, size_t length) override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) {
      outside = true;
      return false;
    }
    if (failed) {
      ++readsAfterFailure;
      return false;
    }
    if (offset + length > failAt_) {
      failed = true;
      return false;
    }
    if (length != 0) memcpy(out, bytes_.data() + offset, length);
    bytesRead += length;
    return true;
  }

  uint64_t bytesRead = 0;
  bool outside = false;
  bool failed = false;
  uint64_t readsAfterFailure = 0;

 private:
  const Bytes& bytes_;
  const uint64_t failAt_;
};

// Writers that grow the buffer as needed, little-endian.
inline void putBytes(Bytes* out, size_t offset, const void* bytes, size_t length) {
  if (out->size() < offset + length) out->resize(offset + length);
  const uint8_t* from = static_cast<const uint8_t*>(bytes);
  for (size_t i = 0; i < length; ++i) (*out)[offset + i] = from[i];
}
inline void put16(Bytes* out, size_t offset, uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  putBytes(out, offset, bytes, 2);
}
inline void put32(Bytes* out, size_t offset, uint32_t value) {
  put16(out, offset, static_cast<uint16_t>(value));
  put16(out, offset + 2, static_cast<uint16_t>(value >> 16));
}
inline void put64(Bytes* out, size_t offset, uint64_t value) {
  put32(out, offset, static_cast<uint32_t>(value));
  put32(out, offset + 4, static_cast<uint32_t>(value >> 32));
}
inline void append(Bytes* out, const Bytes& more) {
  out->insert(out->end(), more.begin(), more.end());
}
inline void padTo4(Bytes* out) {
  while (out->size() % 4 != 0) out->push_back(0);
}

// Where the made files keep their headers.
constexpr uint32_t kNewHeaderOffset = 0x80;
constexpr uint32_t kFileHeaderOffset = kNewHeaderOffset + 4;
constexpr uint32_t kOptionalHeaderOffset = kFileHeaderOffset + 20;
constexpr uint32_t kOptionalHeaderSize = 224;      // PE32, with 16 data directories
constexpr uint32_t kOptionalHeaderSizePlus = 240;  // PE32+, with 16 data directories
constexpr uint32_t kSectionTableOffset = kOptionalHeaderOffset + kOptionalHeaderSize;
constexpr uint32_t kSectionTableOffsetPlus = kOptionalHeaderOffset + kOptionalHeaderSizePlus;
// Where the data directories (their count, then the entries) lie in the
// optional header of each kind.
constexpr uint32_t kDirectoryCountField = 92;
constexpr uint32_t kDirectoryCountFieldPlus = 108;
constexpr uint32_t kHeadersSize = 0x400;

struct Section {
  uint32_t virtualAddress = 0;
  uint32_t rawPointer = 0;
  // SizeOfRawData; the contents are written whatever it says.
  uint32_t rawSize = 0;
  Bytes contents;
};

// A module file: DOS header, "PE" 0 0, file header, optional header, section
// table, then each section's contents at its PointerToRawData. A PE32 file
// (32-bit module) unless `plus`, which makes a PE32+ file (64-bit module):
// magic 0x20B, a 64-bit ImageBase, no BaseOfData, and so the data
// directories and the section table 16 bytes further on.
struct PeFile {
  bool plus = false;
  // 0: the usual base of the kind, 0x10000000 or 0x180000000.
  uint64_t imageBase = 0;
  uint32_t timeDateStamp = 0x5E0BE100;
  uint32_t baseOfCode = 0x1000;
  uint32_t sizeOfCode = 0x2345;
  uint32_t exportAddress = 0;
  uint32_t resourceAddress = 0;
  std::vector<Section> sections;

  uint32_t optionalHeaderSize() const {
    return plus ? kOptionalHeaderSizePlus : kOptionalHeaderSize;
  }
  uint32_t sectionTableOffset() const { return kOptionalHeaderOffset + optionalHeaderSize(); }
  uint32_t directoryCountField() const {
    return plus ? kDirectoryCountFieldPlus : kDirectoryCountField;
  }
  uint64_t usedImageBase() const {
    return imageBase != 0 ? imageBase : plus ? 0x180000000ull : 0x10000000ull;
  }

  Bytes build() const {
    Bytes out(kHeadersSize, 0);
    out[0] = 'M';
    out[1] = 'Z';
    put32(&out, 0x3C, kNewHeaderOffset);
    putBytes(&out, kNewHeaderOffset, "PE\0\0", 4);
    put16(&out, kFileHeaderOffset, plus ? 0x8664 : 0x14C);  // x86-64 or x86
    put16(&out, kFileHeaderOffset + 2, static_cast<uint16_t>(sections.size()));
    put32(&out, kFileHeaderOffset + 4, timeDateStamp);
    put16(&out, kFileHeaderOffset + 16, static_cast<uint16_t>(optionalHeaderSize()));
    // Executable and library; 32-bit, or able to use addresses above 2 GiB.
    put16(&out, kFileHeaderOffset + 18, plus ? 0x2022 : 0x2102);
    const uint32_t o = kOptionalHeaderOffset;
    put16(&out, o, plus ? 0x20B : 0x10B);
    put32(&out, o + 4, sizeOfCode);
    put32(&out, o + 20, baseOfCode);
    if (plus) {
      put64(&out, o + 24, usedImageBase());
    } else {
      put32(&out, o + 28, static_cast<uint32_t>(usedImageBase()));
    }
    put32(&out, o + 32, 0x1000);    // section alignment
    put32(&out, o + 36, 0x200);     // file alignment
    put32(&out, o + 56, 0x100000);  // size of image
    put32(&out, o + 60, kHeadersSize);
    put16(&out, o + 68, 2);  // GUI subsystem
    const uint32_t d = o + directoryCountField();
    put32(&out, d, 16);
    put32(&out, d + 4, exportAddress);
    put32(&out, d + 8, 40);
    put32(&out, d + 20, resourceAddress);
    put32(&out, d + 24, 0x100);
    for (size_t i = 0; i < sections.size(); ++i) {
      const Section& s = sections[i];
      const size_t h = sectionTableOffset() + 40 * i;
      const char name[8] = {'.', 's', static_cast<char>('0' + i % 10), 0, 0, 0, 0, 0};
      putBytes(&out, h, name, 8);
      put32(&out, h + 8, s.rawSize);
      put32(&out, h + 12, s.virtualAddress);
      put32(&out, h + 16, s.rawSize);
      put32(&out, h + 20, s.rawPointer);
      put32(&out, h + 36, 0x40000040);  // initialised data, readable
    }
    for (const Section& s : sections) {
      if (!s.contents.empty()) putBytes(&out, s.rawPointer, s.contents.data(), s.contents.size());
    }
    return out;
  }
};

// An export directory at the start of a section at `address`, followed by
// the module name and its NUL.
inline Bytes exportSection(uint32_t address, const std::string& name) {
  Bytes out(40, 0);
  put32(&out, 12, address + 40);
  putBytes(&out, 40, name.c_str(), name.size() + 1);
  return out;
}

// A resource directory header at `offset` with the given named and numbered
// entries, each an id (or name offset) and the offset it points to, which
// carries the high bit for a subdirectory.
using ResourceEntries = std::vector<std::pair<uint32_t, uint32_t>>;
constexpr uint32_t kSubdirectory = 0x80000000u;
inline void putResourceDirectory(Bytes* out, size_t offset, const ResourceEntries& named,
                                 const ResourceEntries& numbered) {
  putBytes(out, offset, std::string(16, '\0').data(), 16);
  put16(out, offset + 12, static_cast<uint16_t>(named.size()));
  put16(out, offset + 14, static_cast<uint16_t>(numbered.size()));
  size_t at = offset + 16;
  for (const auto* list : {&named, &numbered}) {
    for (const auto& entry : *list) {
      put32(out, at, entry.first);
      put32(out, at + 4, entry.second);
      at += 8;
    }
  }
}

// A resource section at `address` holding one version resource, type 16, id
// 1, language 0x409, with `data` as its contents.
inline Bytes versionResourceSection(uint32_t address, const Bytes& data) {
  Bytes out;
  putResourceDirectory(&out, 0x00, {}, {{16, kSubdirectory | 0x18}});
  putResourceDirectory(&out, 0x18, {}, {{1, kSubdirectory | 0x30}});
  putResourceDirectory(&out, 0x30, {}, {{0x409, 0x48}});
  put32(&out, 0x48, address + 0x58);
  put32(&out, 0x4C, static_cast<uint32_t>(data.size()));
  putBytes(&out, 0x58, data.data(), data.size());
  return out;
}

inline Bytes utf16(const std::string& text) {
  Bytes out;
  for (char c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}
inline Bytes narrow(const std::string& text) {
  Bytes out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

// One node of a version resource: its length, the value's length, in UTF-16
// a type, the key, the value and the children, each part aligned to 4 bytes.
inline Bytes versionNode(bool wide, const std::string& key, const Bytes& value,
                         uint16_t valueLength, bool text, const std::vector<Bytes>& children) {
  Bytes out(wide ? 6 : 4, 0);
  append(&out, wide ? utf16(key) : narrow(key));
  padTo4(&out);
  append(&out, value);
  for (const Bytes& child : children) {
    padTo4(&out);
    append(&out, child);
  }
  put16(&out, 0, static_cast<uint16_t>(out.size()));
  put16(&out, 2, valueLength);
  if (wide) put16(&out, 4, text ? 1 : 0);
  return out;
}

// A whole version resource as resource compilers write it: the fixed file
// information, then the strings of one table "040904B0" and the translation.
// `wide` chooses UTF-16, else the 8-bit layout.
inline Bytes versionInfo(bool wide,
                         const std::vector<std::pair<std::string, std::string>>& strings) {
  std::vector<Bytes> entries;
  for (const auto& entry : strings) {
    const Bytes value = wide ? utf16(entry.second) : narrow(entry.second);
    const uint16_t valueLength = static_cast<uint16_t>(wide ? value.size() / 2 : value.size());
    entries.push_back(versionNode(wide, entry.first, value, valueLength, true, {}));
  }
  const Bytes table = versionNode(wide, "040904B0", {}, 0, true, entries);
  const Bytes stringInfo = versionNode(wide, "StringFileInfo", {}, 0, true, {table});
  Bytes translation;
  put16(&translation, 0, 0x0409);
  put16(&translation, 2, 0x04B0);
  const Bytes var = versionNode(wide, "Translation", translation, 4, false, {});
  const Bytes varInfo = versionNode(wide, "VarFileInfo", {}, 0, true, {var});
  Bytes fixed(52, 0);
  put32(&fixed, 0, 0xFEEF04BD);
  put32(&fixed, 4, 0x00010000);
  return versionNode(wide, "VS_VERSION_INFO", fixed, 52, false, {stringInfo, varInfo});
}

// A module with an export name, a version resource and a code section, the
// common base of the made files.
constexpr uint32_t kCodeAddress = 0x1000;
constexpr uint32_t kExportAddress = 0x2000;
constexpr uint32_t kResourceAddress = 0x3000;

inline PeFile namedModule(const std::string& exportName, const Bytes& version, bool plus = false) {
  PeFile file;
  file.plus = plus;
  file.sections.push_back({kCodeAddress, 0x400, 0x200, Bytes(0x200, 0xCC)});
  if (!exportName.empty()) {
    file.exportAddress = kExportAddress;
    file.sections.push_back(
        {kExportAddress, 0x600, 0x200, exportSection(kExportAddress, exportName)});
  }
  if (!version.empty()) {
    file.resourceAddress = kResourceAddress;
    Bytes resources = versionResourceSection(kResourceAddress, version);
    const uint32_t rawSize = static_cast<uint32_t>((resources.size() + 0x1FF) & ~size_t{0x1FF});
    file.sections.push_back({kResourceAddress, 0x800, rawSize, resources});
  }
  return file;
}

// Where the parts of a spread module lie in its file: each a page or more
// from the others, so that the parse reads each with a read of its own.
constexpr uint32_t kSpreadSectionTable = 0x2000;
constexpr uint32_t kSpreadExportDirectory = 0x4000;
constexpr uint32_t kSpreadExportName = 0x6000;
constexpr uint32_t kSpreadResourceRoot = 0x8000;
constexpr uint32_t kSpreadLanguageLevel = 0xA000;
constexpr uint32_t kSpreadVersionData = 0xC000;

// A module with an export name and a version resource whose headers alone
// fill the first page: the section table, the export directory, its name,
// the resource tree's first levels, its language level and the version data
// each lie at the offset above.
inline Bytes spreadModule(const std::string& exportName, const Bytes& version, bool plus = false) {
  PeFile file;
  file.plus = plus;
  file.sections.push_back({kCodeAddress, 0x1000, 0x200, Bytes(0x200, 0xCC)});
  const uint32_t nameAt = kSpreadExportName - kSpreadExportDirectory;
  Bytes exports(40, 0);
  put32(&exports, 12, kExportAddress + nameAt);
  putBytes(&exports, nameAt, exportName.c_str(), exportName.size() + 1);
  file.exportAddress = kExportAddress;
  file.sections.push_back({kExportAddress, kSpreadExportDirectory, nameAt + 0x1000, exports});

  // The export section ends at 0x5000.
  const uint32_t resources = 0x6000;
  const uint32_t languages = kSpreadLanguageLevel - kSpreadResourceRoot;
  const uint32_t data = kSpreadVersionData - kSpreadResourceRoot;
  Bytes tree;
  putResourceDirectory(&tree, 0x00, {}, {{16, kSubdirectory | 0x18}});
  putResourceDirectory(&tree, 0x18, {}, {{1, kSubdirectory | languages}});
  putResourceDirectory(&tree, languages, {}, {{0x409, languages + 0x18}});
  put32(&tree, languages + 0x18, resources + data);
  put32(&tree, languages + 0x1C, static_cast<uint32_t>(version.size()));
  putBytes(&tree, data, version.data(), version.size());
  file.resourceAddress = resources;
  file.sections.push_back(
      {resources, kSpreadResourceRoot, static_cast<uint32_t>(tree.size()), tree});

  Bytes bytes = file.build();
  // The table moves out of the first page; the optional header grows to
  // reach it, its data directories where they were.
  const uint32_t tableAt = file.sectionTableOffset();
  const Bytes table(bytes.begin() + tableAt, bytes.begin() + tableAt + 40 * file.sections.size());
  putBytes(&bytes, kSpreadSectionTable, table.data(), table.size());
  const Bytes zeros(table.size(), 0);
  putBytes(&bytes, tableAt, zeros.data(), zeros.size());
  put16(&bytes, kFileHeaderOffset + 16, kSpreadSectionTable - kOptionalHeaderOffset);
  return bytes;
}

// A handful of made files for the fuzzer to start from, each named.
inline std::vector<std::pair<std::string, Bytes>> seedImages() {
  std::vector<std::pair<std::string, Bytes>> seeds;
  const std::vector<std::pair<std::string, std::string>> strings = {
      {"CompanyName", "Example"},
      {"FileVersion", "1.2.3.4"},
      {"OriginalFilename", "seed.dll"},
  };
  seeds.push_back({"wide_version", namedModule("seed.dll", versionInfo(true, strings)).build()});
  seeds.push_back({"narrow_version", namedModule("", versionInfo(false, strings)).build()});
  seeds.push_back({"no_resources", namedModule("exports.dll", {}).build()});
  PeFile bare = namedModule("", {});
  bare.sections.clear();
  seeds.push_back({"no_sections", bare.build()});
  seeds.push_back({"spread", spreadModule("seed.dll", versionInfo(true, strings))});
  // The same kinds as 64-bit module files.
  seeds.push_back(
      {"plus_wide_version", namedModule("seed.dll", versionInfo(true, strings), true).build()});
  seeds.push_back(
      {"plus_narrow_version", namedModule("", versionInfo(false, strings), true).build()});
  PeFile bigBase = namedModule("exports.dll", {}, true);
  bigBase.imageBase = 0x00007FF612340000ull;
  seeds.push_back({"plus_no_resources", bigBase.build()});
  seeds.push_back({"plus_spread", spreadModule("seed.dll", versionInfo(true, strings), true)});
  return seeds;
}

}  // namespace pe_testing
}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PE_IMAGE_TEST_SUPPORT_H_
