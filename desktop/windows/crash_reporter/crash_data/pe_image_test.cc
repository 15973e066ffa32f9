// Tests of the module file parser on made bytes. Portable: they also build
// and run on the host, under the sanitizers.
#include "desktop/windows/crash_reporter/crash_data/pe_image.h"

#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/pe_image_test_support.h"

namespace tavra {
namespace {

using namespace pe_testing;

// The parser reads the bytes from a source that notes any read outside
// them; the sanitizers catch a copy past their end.
struct Image {
  explicit Image(const Bytes& bytes) : copy(bytes), source(copy), image(&source, copy.size()) {}
  ~Image() { EXPECT_FALSE(source.outside); }
  Bytes copy;
  BytesSource source;
  PeImage image;
};

// The size of the module texts that the parser fills.
constexpr size_t kTextSize = 128;

std::string exportNameOf(PeImage& image, bool* foundDirectory) {
  char out[kTextSize] = "unchanged";
  if (!image.exportName(out, sizeof(out), foundDirectory)) return "<none>";
  return out;
}

// The tests that read whole module files run for both kinds: PE32 (32-bit
// modules) and PE32+ (64-bit modules), which the parser tells apart by the
// optional header's magic.
class PeImageKindTest : public ::testing::TestWithParam<bool> {
 protected:
  bool plus() const { return GetParam(); }
  PeFile module(const std::string& exportName, const Bytes& version) const {
    return namedModule(exportName, version, plus());
  }
  Bytes withVersion(const Bytes& version) const { return module("", version).build(); }
  PeFile emptyFile() const {
    PeFile file;
    file.plus = plus();
    return file;
  }
  // The offset of the data directory count in the file.
  uint32_t directoryCount() const {
    return kOptionalHeaderOffset + emptyFile().directoryCountField();
  }
};

INSTANTIATE_TEST_SUITE_P(BothKinds, PeImageKindTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Pe32Plus" : "Pe32";
                         });

TEST_P(PeImageKindTest, Headers) {
  const Bytes good = module("a.dll", {}).build();
  struct Case {
    const char* what;
    std::function<void(Bytes*)> change;
    bool valid;
  } cases[] = {
      {"well-formed", [](Bytes*) {}, true},
      {"empty", [](Bytes* b) { b->clear(); }, false},
      {"only MZ", [](Bytes* b) { b->resize(2); }, false},
      {"cut before e_lfanew ends", [](Bytes* b) { b->resize(0x3F); }, false},
      {"no MZ", [](Bytes* b) { (*b)[0] = 'X'; }, false},
      {"e_lfanew past the end", [](Bytes* b) { put32(b, 0x3C, 0x7FFFFFF0); }, false},
      {"e_lfanew at the top of 32 bits", [](Bytes* b) { put32(b, 0x3C, 0xFFFFFFFF); }, false},
      {"e_lfanew at the last bytes",
       [](Bytes* b) { put32(b, 0x3C, static_cast<uint32_t>(b->size() - 4)); }, false},
      {"wrong signature", [](Bytes* b) { (*b)[kNewHeaderOffset + 3] = 1; }, false},
      {"headers cut inside the optional header",
       [](Bytes* b) { b->resize(kOptionalHeaderOffset + 23); }, false},
      {"headers cut after BaseOfCode", [](Bytes* b) { b->resize(kOptionalHeaderOffset + 24); },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = good;
    c.change(&bytes);
    Image image(bytes);
    EXPECT_EQ(c.valid, image.image.hasValidHeaders());
    if (c.valid) {
      EXPECT_EQ(0x5E0BE100u, image.image.timeDateStamp());
      EXPECT_EQ(0x1000u, image.image.baseOfCode());
      EXPECT_EQ(0x2345u, image.image.sizeOfCode());
      EXPECT_EQ(plus(), image.image.isPe32Plus());
      // The file cut after BaseOfCode has no ImageBase left.
      if (bytes.size() == good.size()) {
        EXPECT_EQ(emptyFile().usedImageBase(), image.image.imageBase());
      } else {
        EXPECT_EQ(0u, image.image.imageBase());
      }
    } else {
      EXPECT_FALSE(image.image.isPe32Plus());
      EXPECT_EQ(0u, image.image.imageBase());
      EXPECT_EQ(0u, image.image.timeDateStamp());
      EXPECT_EQ(0u, image.image.sizeOfCode());
      bool foundDirectory = true;
      EXPECT_EQ("<none>", exportNameOf(image.image, &foundDirectory));
      EXPECT_FALSE(foundDirectory);
      uint64_t offset = 0;
      size_t size = 0;
      EXPECT_EQ(PeImage::VersionLookup::kNoResourceDirectory,
                image.image.findVersionData(&offset, &size));
    }
  }
  PeImage none(nullptr, 100);
  EXPECT_FALSE(none.hasValidHeaders());
}

TEST_P(PeImageKindTest, RelativeAddresses) {
  PeFile file;
  file.plus = plus();
  file.sections = {
      {0x1000, 0x400, 0x200, Bytes(0x200, 0x11)},
      {0x2000, 0x600, 0x100, Bytes(0x100, 0x22)},
      // Overlaps the first: the first section that holds an address wins.
      {0x1000, 0x700, 0x100, Bytes(0x100, 0x33)},
      // Raw data far past the end of the file.
      {0x5000, 0x10000000, 0x100, {}},
      // VirtualAddress + SizeOfRawData passes the top of 32 bits.
      {0xFFFFF000, 0x500, 0x2000, {}},
  };
  const Bytes bytes = file.build();
  struct Case {
    uint32_t rva;
    long offset;  // -1: not found
  } cases[] = {
      {0x1000, 0x400}, {0x11FF, 0x5FF},     {0x1200, -1},        {0x0FFF, -1},
      {0x2000, 0x600}, {0x20FF, 0x6FF},     {0x2100, -1},        {0x5000, -1},
      {0x0, -1},       {0xFFFFF000, 0x500}, {0xFFFFF2FF, 0x7FF}, {0xFFFFF300, -1},
  };
  Image image(bytes);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rva);
    uint64_t offset = 0;
    EXPECT_EQ(c.offset >= 0, image.image.rvaToOffset(c.rva, &offset));
    if (c.offset >= 0) {
      EXPECT_EQ(static_cast<uint64_t>(c.offset), offset);
    }
  }

  // A section table that runs past the end of the file makes every address
  // unknown, even those of the sections that fit.
  Bytes cut = bytes;
  put16(&cut, kFileHeaderOffset + 2, 0xFFFF);
  Image cutImage(cut);
  EXPECT_TRUE(cutImage.image.hasValidHeaders());
  uint64_t offset = 0;
  EXPECT_FALSE(cutImage.image.rvaToOffset(0x1000, &offset));
  // So does a SizeOfOptionalHeader that moves the table past the end.
  Bytes moved = bytes;
  put16(&moved, kFileHeaderOffset + 16, 0xFFFF);
  EXPECT_FALSE(Image(moved).image.rvaToOffset(0x1000, &offset));
}

TEST_P(PeImageKindTest, ExportName) {
  const std::string longName(200, 'n');
  struct Case {
    const char* what;
    std::function<Bytes()> make;
    bool directory;
    std::string name;
  } cases[] = {
      {"plain", [&] { return module("plain.dll", {}).build(); }, true, "plain.dll"},
      {"cut to 127", [&] { return module(longName, {}).build(); }, true, std::string(127, 'n')},
      {"no export directory", [&] { return module("", {}).build(); }, false, "<none>"},
      {"directory outside every section",
       [&] {
         PeFile file = module("x.dll", {});
         file.exportAddress = 0x9000;
         return file.build();
       },
       false, "<none>"},
      {"name outside every section",
       [&] {
         PeFile file = module("x.dll", {});
         put32(&file.sections[1].contents, 12, 0x9000);
         return file.build();
       },
       true, "<none>"},
      {"directory cut by the end of the file",
       [&] {
         PeFile file = module("x.dll", {});
         file.sections[1].rawSize = 0x1000;
         file.exportAddress = kExportAddress + 0x600 - 20;
         Bytes bytes = file.build();
         bytes.resize(0xC00);
         return bytes;
       },
       false, "<none>"},
      {"unterminated name at the end of the file",
       [&] {
         Bytes bytes = module("abc", {}).build();
         bytes.resize(0x600 + 40 + 3);
         return bytes;
       },
       true, "<none>"},
      {"name of 127 bytes that ends with the file",
       [&] {
         Bytes bytes = module(std::string(127, 'm'), {}).build();
         bytes.resize(0x600 + 40 + 127);
         return bytes;
       },
       true, std::string(127, 'm')},
      // The magic alone decides where the directories are read.
      {"PE32 header whose magic says PE32+",
       [] {
         Bytes bytes = namedModule("wide.dll", {}).build();
         const uint32_t o = kOptionalHeaderOffset;
         put16(&bytes, o, 0x20B);
         put32(&bytes, o + kDirectoryCountField, 0);
         put32(&bytes, o + kDirectoryCountField + 4, 0);
         put32(&bytes, o + kDirectoryCountFieldPlus, 16);
         put32(&bytes, o + kDirectoryCountFieldPlus + 4, kExportAddress);
         return bytes;
       },
       true, "wide.dll"},
      {"PE32+ header whose magic says PE32",
       [] {
         Bytes bytes = namedModule("wide.dll", {}, true).build();
         put16(&bytes, kOptionalHeaderOffset, 0x10B);
         return bytes;
       },
       false, "<none>"},
      {"no data directories",
       [&] {
         Bytes bytes = module("x.dll", {}).build();
         put32(&bytes, directoryCount(), 0);
         return bytes;
       },
       false, "<none>"},
      {"optional header too small for the directory",
       [&] {
         Bytes bytes = module("x.dll", {}).build();
         // The section table moves too; the directory entry no longer counts.
         put16(&bytes, kFileHeaderOffset + 16, 100);
         return bytes;
       },
       false, "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Image image(c.make());
    ASSERT_TRUE(image.image.hasValidHeaders());
    bool foundDirectory = !c.directory;
    EXPECT_EQ(c.name, exportNameOf(image.image, &foundDirectory));
    EXPECT_EQ(c.directory, foundDirectory);
  }
}

TEST_P(PeImageKindTest, VersionData) {
  const Bytes version = versionInfo(true, {{"FileVersion", "1.2.3.4"}});
  using Lookup = PeImage::VersionLookup;
  // A resource section of its own, at raw offset 0x800: root directory at 0,
  // type level at 0x40, language level at 0x80, data entry at 0xC0, room
  // for more up to 0x200, then the version data.
  auto withTree = [&](std::function<void(Bytes * tree)> change) {
    Bytes tree;
    putResourceDirectory(&tree, 0x00, {}, {{16, kSubdirectory | 0x40}});
    putResourceDirectory(&tree, 0x40, {}, {{1, kSubdirectory | 0x80}});
    putResourceDirectory(&tree, 0x80, {}, {{0x409, 0xC0}});
    put32(&tree, 0xC0, kResourceAddress + 0x200);
    put32(&tree, 0xC4, static_cast<uint32_t>(version.size()));
    putBytes(&tree, 0x200, version.data(), version.size());
    change(&tree);
    PeFile file = module("", {});
    file.resourceAddress = kResourceAddress;
    file.sections.push_back({kResourceAddress, 0x800, 0x600, tree});
    return file.build();
  };
  struct Case {
    const char* what;
    std::function<Bytes()> make;
    Lookup result;
  } cases[] = {
      {"well-formed", [&] { return withVersion(version); }, Lookup::kFound},
      {"no resource directory", [&] { return withVersion({}); }, Lookup::kNoResourceDirectory},
      {"resource directory outside every section",
       [&] {
         PeFile file = module("", version);
         file.resourceAddress = 0x9000;
         return file.build();
       },
       Lookup::kNoResourceDirectory},
      {"root header cut by the end of the file",
       [&] {
         Bytes bytes = withVersion(version);
         bytes.resize(0x800 + 8);
         return bytes;
       },
       Lookup::kNoResourceDirectory},
      {"own tree", [&] { return withTree([](Bytes*) {}); }, Lookup::kFound},
      {"no type 16", [&] { return withTree([](Bytes* t) { put32(t, 0x10, 6); }); },
       Lookup::kNoVersionEntry},
      {"no id 1", [&] { return withTree([](Bytes* t) { put32(t, 0x50, 2); }); },
       Lookup::kNoVersionEntry},
      {"named entries are skipped",
       [&] {
         // A named entry whose value would match comes first; taken, it would
         // lead past the end.
         return withTree([](Bytes* t) {
           putResourceDirectory(t, 0x00, {{16, 0x7FFFFFF0}}, {{16, kSubdirectory | 0x40}});
         });
       },
       Lookup::kFound},
      {"type entry points straight to data",
       [&] { return withTree([](Bytes* t) { put32(t, 0x14, 0xC0); }); }, Lookup::kFound},
      {"id entry points straight to data",
       [&] { return withTree([](Bytes* t) { put32(t, 0x54, 0xC0); }); }, Lookup::kFound},
      {"first language entry is a directory, the second has the data",
       [&] {
         return withTree([](Bytes* t) {
           putResourceDirectory(t, 0x80, {}, {{0x407, kSubdirectory | 0x0}, {0x409, 0xC0}});
         });
       },
       Lookup::kFound},
      {"languages that are all directories",
       [&] { return withTree([](Bytes* t) { put32(t, 0x94, kSubdirectory | 0x0); }); },
       Lookup::kNoVersionEntry},
      {"a subdirectory that points back to the root",
       [&] { return withTree([](Bytes* t) { put32(t, 0x54, kSubdirectory | 0x0); }); },
       Lookup::kNoVersionEntry},
      {"entry counts that run past the end",
       [&] { return withTree([](Bytes* t) { put16(t, 0x80 + 14, 0xFFFF); }); },
       Lookup::kNoVersionEntry},
      {"named count that runs past the end",
       [&] { return withTree([](Bytes* t) { put16(t, 0x0C, 0xFFFF); }); }, Lookup::kNoVersionEntry},
      {"subdirectory past the end",
       [&] { return withTree([](Bytes* t) { put32(t, 0x14, kSubdirectory | 0x7FFFFFF0); }); },
       Lookup::kNoVersionEntry},
      {"data entry past the end",
       [&] { return withTree([](Bytes* t) { put32(t, 0x94, 0x7FFFFFF0); }); },
       Lookup::kNoVersionEntry},
      {"data outside every section",
       [&] { return withTree([](Bytes* t) { put32(t, 0xC0, 0x9000); }); }, Lookup::kNoVersionData},
      {"data size past the end of the file",
       [&] { return withTree([](Bytes* t) { put32(t, 0xC4, 0x100000); }); },
       Lookup::kNoVersionData},
      {"data size at the top of 32 bits",
       [&] { return withTree([](Bytes* t) { put32(t, 0xC4, 0xFFFFFFFF); }); },
       Lookup::kNoVersionData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Image image(c.make());
    ASSERT_TRUE(image.image.hasValidHeaders());
    uint64_t offset = 0;
    size_t size = 0;
    ASSERT_EQ(c.result, image.image.findVersionData(&offset, &size));
    if (c.result != Lookup::kFound) continue;
    ASSERT_EQ(version.size(), size);
    ASSERT_LE(offset + size, image.copy.size());
    EXPECT_EQ(0, memcmp(version.data(), image.copy.data() + offset, size));
  }
}

// What a hostile file can make the parse read: the section table and a
// level of the resource tree are searched up to their bounds, the version
// data is cut to its own, and the whole parse reads a few hundred KiB at
// most.
TEST_P(PeImageKindTest, BoundsOfHostileFiles) {
  constexpr uint64_t kMostRead = 512 * 1024;
  // `count` sections, the last of which holds the address 0x1000.
  auto withSections = [&](uint32_t count) {
    PeFile file;
    file.plus = plus();
    for (uint32_t i = 0; i + 1 < count; ++i) {
      file.sections.push_back({0x100000 + 0x1000 * i, 0x10000, 0x10, {}});
    }
    file.sections.push_back({kCodeAddress, 0x10000, 0x200, Bytes(0x200, 0xCC)});
    return file.build();
  };
  // `before` other numbered types ahead of the version type, and version data
  // of `dataSize` bytes that begin with a FileVersion key and its value.
  auto withTypes = [&](uint32_t before, uint32_t dataSize) {
    constexpr uint32_t kLower = 0x80000;  // past 65535 entries
    ResourceEntries types;
    for (uint32_t i = 0; i < before; ++i) types.push_back({1000 + i, kSubdirectory | 0x7FFFFFF0});
    types.push_back({16, kSubdirectory | kLower});
    Bytes tree;
    putResourceDirectory(&tree, 0, {}, types);
    putResourceDirectory(&tree, kLower, {}, {{1, kSubdirectory | (kLower + 0x18)}});
    putResourceDirectory(&tree, kLower + 0x18, {}, {{0x409, kLower + 0x30}});
    put32(&tree, kLower + 0x30, kResourceAddress + kLower + 0x40);
    put32(&tree, kLower + 0x34, dataSize);
    Bytes data(dataSize, 'x');
    const std::string value("FILEVERSION\0007.7\0", 16);
    putBytes(&data, 0, value.data(), value.size());
    putBytes(&tree, kLower + 0x40, data.data(), data.size());
    PeFile file = module("", {});
    file.resourceAddress = kResourceAddress;
    file.sections.push_back({kResourceAddress, 0x800, static_cast<uint32_t>(tree.size()), tree});
    return file.build();
  };
  struct Case {
    const char* what;
    Bytes bytes;
    bool addressFound;
    PeImage::VersionLookup version;
    size_t versionSize;
  } cases[] = {
      {"as many sections as the bound", withSections(PeImage::kMaxSectionCount), true,
       PeImage::VersionLookup::kNoResourceDirectory, 0},
      {"one section more", withSections(PeImage::kMaxSectionCount + 1), false,
       PeImage::VersionLookup::kNoResourceDirectory, 0},
      {"version type as the last entry searched", withTypes(PeImage::kMaxResourceEntries - 1, 100),
       true, PeImage::VersionLookup::kFound, 100},
      {"version type one entry further", withTypes(PeImage::kMaxResourceEntries, 100), true,
       PeImage::VersionLookup::kNoVersionEntry, 0},
      {"a type level of 65535 entries", withTypes(0xFFFE, 100), true,
       PeImage::VersionLookup::kNoVersionEntry, 0},
      {"version data of 1 MiB", withTypes(0, 1024 * 1024), true, PeImage::VersionLookup::kFound,
       PeImage::kMaxVersionDataSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Image image(c.bytes);
    uint64_t offset = 0;
    EXPECT_EQ(c.addressFound, image.image.rvaToOffset(kCodeAddress, &offset));
    size_t size = 0;
    EXPECT_EQ(c.version, image.image.findVersionData(&offset, &size));
    if (c.version == PeImage::VersionLookup::kFound) {
      EXPECT_EQ(c.versionSize, size);
      std::vector<uint8_t> data(size);
      ASSERT_TRUE(image.image.read(offset, data.data(), size));
      char value[kTextSize] = {};
      EXPECT_TRUE(PeImage::findVersionValue(data.data(), size, "FILEVERSION", value, kTextSize));
      EXPECT_STREQ("7.7", value);
    }
    EXPECT_FALSE(image.image.readFailed());
    EXPECT_LE(image.source.bytesRead, kMostRead);
  }
}

// ImageBase, 64 bits wide in PE32+ files, and the kind of file, which the
// magic alone decides.
TEST(PeImageTest, ImageBaseAndKind) {
  auto made = [](bool plus, uint64_t imageBase) {
    PeFile file = namedModule("a.dll", {}, plus);
    file.imageBase = imageBase;
    return file.build();
  };
  auto withOptionalSize = [](Bytes bytes, uint16_t size) {
    put16(&bytes, kFileHeaderOffset + 16, size);
    return bytes;
  };
  auto withMagic = [](Bytes bytes, uint16_t magic) {
    put16(&bytes, kOptionalHeaderOffset, magic);
    return bytes;
  };
  struct Case {
    const char* what;
    Bytes bytes;
    bool plus;
    uint64_t imageBase;
  } cases[] = {
      {"PE32", made(false, 0x10000000), false, 0x10000000},
      {"PE32 at the top of 32 bits", made(false, 0xFFFF0000), false, 0xFFFF0000},
      {"PE32+", made(true, 0x180000000ull), true, 0x180000000ull},
      {"PE32+ far above 4 GiB", made(true, 0x00007FF612340000ull), true, 0x00007FF612340000ull},
      {"PE32+ with every bit set", made(true, ~uint64_t{0}), true, ~uint64_t{0}},
      // BaseOfData, where a PE32+ file has the ImageBase's low half, is not
      // taken for it.
      {"PE32+ below 4 GiB", made(true, 0x00400000), true, 0x00400000},
      {"PE32 optional header too small for ImageBase", withOptionalSize(made(false, 0x400000), 31),
       false, 0},
      {"PE32+ optional header too small for ImageBase",
       withOptionalSize(made(true, 0x140000000ull), 31), true, 0},
      {"PE32+ optional header just large enough", withOptionalSize(made(true, 0x140000000ull), 32),
       true, 0x140000000ull},
      {"ROM magic, read as PE32", withMagic(made(false, 0x400000), 0x107), false, 0x400000},
      {"PE32+ relabelled as PE32: the high half is not read",
       withMagic(made(true, 0x0000000200400000ull), 0x10B), false, 0x00000002},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Image image(c.bytes);
    ASSERT_TRUE(image.image.hasValidHeaders());
    EXPECT_EQ(c.plus, image.image.isPe32Plus());
    EXPECT_EQ(c.imageBase, image.image.imageBase());
    // The code range's fields lie where they do in PE32, in both kinds.
    EXPECT_EQ(0x1000u, image.image.baseOfCode());
    EXPECT_EQ(0x2345u, image.image.sizeOfCode());
  }
}

TEST(PeImageTest, VersionValues) {
  auto bytes = [](const std::string& text) { return Bytes(text.begin(), text.end()); };
  const std::string longValue(300, '7');
  struct Case {
    const char* what;
    Bytes data;
    const char* key;
    size_t outSize;
    std::string value;  // "<none>": not found
  } cases[] = {
      {"UTF-16 resource", versionInfo(true, {{"FileVersion", "1.2.3.4"}}), "FILEVERSION", 128,
       "1.2.3.4"},
      {"8-bit resource", versionInfo(false, {{"FileVersion", "1.2.3.4"}, {"Comments", "x"}}),
       "FILEVERSION", 128, "1.2.3.4"},
      {"8-bit resource, padded key",
       versionInfo(false, {{"OriginalFilename", "orig.dll"}, {"FileVersion", "5"}}),
       "ORIGINALFILENAME", 128, "orig.dll"},
      {"UTF-16, second of several",
       versionInfo(true, {{"CompanyName", "C"}, {"OriginalFilename", "o.exe"}}), "ORIGINALFILENAME",
       128, "o.exe"},
      {"absent key", versionInfo(true, {{"ProductVersion", "1.0"}}), "FILEVERSION", 128, "<none>"},
      {"UTF-16 value cut to 127", versionInfo(true, {{"FileVersion", longValue}}), "FILEVERSION",
       128, std::string(127, '7')},
      {"8-bit value cut to 127", versionInfo(false, {{"FileVersion", longValue}}), "FILEVERSION",
       128, std::string(127, '7')},
      {"small destination", versionInfo(true, {{"FileVersion", "1.2.3.4"}}), "FILEVERSION", 4,
       "1.2"},
      {"mixed case, UTF-16",
       [] {
         Bytes b = utf16("fIlEvErSiOn");
         append(&b, utf16("9.8"));
         return b;
       }(),
       "FILEVERSION", 128, "9.8"},
      {"key at the very end", bytes("xxFILEVERSION"), "FILEVERSION", 128, "<none>"},
      {"UTF-16 key at the very end",
       [] {
         Bytes b = utf16("FILEVERSION");
         b.resize(b.size() - 2);
         return b;
       }(),
       "FILEVERSION", 128, "<none>"},
      {"only zeros after the key", bytes(std::string("FILEVERSION\0\0\0\0", 15)), "FILEVERSION",
       128, "<none>"},
      {"longer word is not the key", bytes(std::string("FILEVERSIONS\0no\0FILEVERSION\0yes", 31)),
       "FILEVERSION", 128, "yes"},
      {"value that runs to the end",
       bytes(std::string("FILEVERSION\0"
                         "3.1",
                         15)),
       "FILEVERSION", 128, "3.1"},
      {"UTF-16 value that runs to the end",
       [] {
         Bytes b = utf16("FileVersion");
         append(&b, {'4', 0, '.', 0, '2'});
         return b;
       }(),
       "FILEVERSION", 128, "4.2"},
      {"empty data", Bytes(), "FILEVERSION", 128, "<none>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Exactly the data's size, so that the sanitizers see any read past it.
    Bytes data = c.data;
    std::vector<char> out(c.outSize, 'u');
    out.back() = 0;
    const std::string before(out.data());
    const bool found = PeImage::findVersionValue(data.empty() ? nullptr : data.data(), data.size(),
                                                 c.key, out.data(), out.size());
    if (c.value == "<none>") {
      EXPECT_FALSE(found);
      EXPECT_EQ(before, std::string(out.data()));
    } else {
      EXPECT_TRUE(found);
      EXPECT_EQ(c.value, std::string(out.data()));
    }
  }
}

}  // namespace
}  // namespace tavra
