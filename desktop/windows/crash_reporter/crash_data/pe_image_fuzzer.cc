// Feeds arbitrary bytes to the module file parser, as a module file on disk
// might hold them: every lookup runs, the values found must lie within the
// bytes, and the parse may read no byte outside them and only a bounded
// amount in all. Each input is parsed twice: whole, then as a file that
// stops being readable part-way, at a point that the input chooses.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "desktop/windows/crash_reporter/crash_data/pe_image.h"
#include "desktop/windows/crash_reporter/crash_data/pe_image_test_support.h"

namespace {

constexpr size_t kTextSize = 128;
constexpr size_t kKeySearchSlice = 4096;
// What one parse may read at most; see the bounds in pe_image.h.
constexpr uint64_t kMostRead = 512 * 1024;

void checkText(const char* text) {
  if (strnlen(text, kTextSize) >= kTextSize) abort();
}

// Every lookup of the parser, as the reporter makes them.
void parse(const tavra::pe_testing::Bytes& bytes, uint64_t failAt) {
  tavra::pe_testing::BytesSource source(bytes, failAt);
  tavra::PeImage image(&source, bytes.size());

  // Without headers there is no kind and no ImageBase.
  if (!image.hasValidHeaders() && (image.isPe32Plus() || image.imageBase() != 0)) abort();
  // A PE32 file's ImageBase has 32 bits.
  if (!image.isPe32Plus() && (image.imageBase() >> 32) != 0) abort();

  char name[kTextSize] = {};
  bool foundDirectory = false;
  if (image.exportName(name, sizeof(name), &foundDirectory)) checkText(name);

  uint64_t offset = 0;
  size_t versionSize = 0;
  if (image.findVersionData(&offset, &versionSize) == tavra::PeImage::VersionLookup::kFound) {
    if (versionSize > tavra::PeImage::kMaxVersionDataSize || offset > bytes.size() ||
        versionSize > bytes.size() - offset) {
      abort();
    }
    // Exactly the data's size, so that the sanitizers see any read past it.
    std::vector<uint8_t> version(versionSize);
    if (image.read(offset, version.data(), versionSize)) {
      char value[kTextSize] = {};
      if (tavra::PeImage::findVersionValue(version.data(), versionSize, "ORIGINALFILENAME", value,
                                           sizeof(value))) {
        checkText(value);
      }
      if (tavra::PeImage::findVersionValue(version.data(), versionSize, "FILEVERSION", value,
                                           sizeof(value))) {
        checkText(value);
      }
    }
  }
  // An address from the input's last word.
  if (bytes.size() >= 8) {
    uint32_t rva = 0;
    memcpy(&rva, bytes.data() + bytes.size() - 4, 4);
    if (image.rvaToOffset(rva, &offset) && offset >= bytes.size()) abort();
  }
  // Nothing outside the bytes, a bounded amount in all, and after a failed
  // read nothing more.
  if (source.outside || source.bytesRead > kMostRead) abort();
  if (source.failed != image.readFailed() || source.readsAfterFailure != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so that the sanitizers see any read
  // past the end.
  const tavra::pe_testing::Bytes bytes(data, data + size);
  parse(bytes, tavra::pe_testing::BytesSource::kNeverFails);
  // The same file, cut off at a point taken from its first word.
  if (size >= 4) {
    uint32_t failAt = 0;
    memcpy(&failAt, data, 4);
    parse(bytes, failAt % (size + 1));
  }

  // The key search on its own, with the input's tail as version data: a
  // bounded slice keeps large inputs fast.
  const size_t tail = bytes.size() < kKeySearchSlice ? bytes.size() : kKeySearchSlice;
  char value[kTextSize] = {};
  tavra::PeImage::findVersionValue(tail ? bytes.data() + bytes.size() - tail : nullptr, tail,
                                   "FILEVERSION", value, sizeof(value));
  checkText(value);
  return 0;
}
