// Feeds arbitrary bytes to the module file parser, as a module file on disk
// might hold them: every lookup runs, and the values found must lie within
// the bytes.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "desktop/windows/crash_reporter/crash_data/pe_image.h"

namespace {

constexpr size_t kTextSize = 128;
constexpr size_t kKeySearchSlice = 4096;

void checkText(const char* text) {
  if (strnlen(text, kTextSize) >= kTextSize) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so that the sanitizers see any read
  // past the end.
  std::vector<uint8_t> bytes(data, data + size);
  const uint8_t* begin = bytes.empty() ? nullptr : bytes.data();
  tavra::PeImage image(begin, bytes.size());

  char name[kTextSize] = {};
  bool foundDirectory = false;
  if (image.exportName(name, sizeof(name), &foundDirectory)) checkText(name);

  const uint8_t* version = nullptr;
  size_t versionSize = 0;
  if (image.findVersionData(&version, &versionSize) == tavra::PeImage::VersionLookup::kFound) {
    if (version < begin || versionSize > bytes.size() ||
        version - begin > static_cast<ptrdiff_t>(bytes.size() - versionSize)) {
      abort();
    }
    char value[kTextSize] = {};
    if (tavra::PeImage::findVersionValue(version, versionSize, "ORIGINALFILENAME", value,
                                         sizeof(value))) {
      checkText(value);
    }
    if (tavra::PeImage::findVersionValue(version, versionSize, "FILEVERSION", value,
                                         sizeof(value))) {
      checkText(value);
    }
  }
  // The key search on its own, with the input's tail as version data: a
  // bounded slice keeps large inputs fast.
  const size_t tail = bytes.size() < kKeySearchSlice ? bytes.size() : kKeySearchSlice;
  char value[kTextSize] = {};
  tavra::PeImage::findVersionValue(tail ? begin + bytes.size() - tail : nullptr, tail,
                                   "FILEVERSION", value, sizeof(value));
  checkText(value);
  // An address from the input's last word.
  if (size >= 8) {
    uint32_t rva = 0;
    memcpy(&rva, data + size - 4, 4);
    size_t available = 0;
    const uint8_t* place = image.rvaToData(rva, &available);
    if (place && (place < begin || place + available != begin + bytes.size() || available == 0)) {
      abort();
    }
  }
  return 0;
}
