// Reads what the crash log needs from the bytes of a module file: the link
// time stamp, the code range, the export directory's name and the version
// resource with its FileVersion and OriginalFilename values.
//
// The bytes come from a file on disk and are untrusted: every offset, size
// and count taken from them is checked before use, and nothing is ever read
// outside the byte range given, whatever it holds. A value that points
// outside it counts as not found. This unit calls no system function, so that
// it also builds and is fuzzed on the host.
//
// A PeImage only reads the bytes, which its creator keeps alive and unchanged
// for the object's lifetime; it has no lock and may be used on any one thread
// at a time.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PE_IMAGE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PE_IMAGE_H_

#include <stddef.h>
#include <stdint.h>

namespace tavra {

class PeImage {
 public:
  // Where the search for the version data stopped.
  enum class VersionLookup {
    kFound,
    kNoResourceDirectory,
    kNoVersionEntry,
    kNoVersionData,
  };

  // Checks the headers at once: "MZ" at the start, and at the offset held at
  // 0x3C the bytes "PE" 0 0 followed by a whole file header and the optional
  // header's fields up to BaseOfCode. `data` may be null when `size` is 0.
  PeImage(const uint8_t* data, size_t size);

  // False when the headers are missing or do not fit; every lookup below then
  // finds nothing.
  bool hasValidHeaders() const { return valid_; }
  // The file header's TimeDateStamp; 0 without valid headers.
  uint32_t timeDateStamp() const { return timeDateStamp_; }
  // The optional header's BaseOfCode and SizeOfCode; 0 without valid headers.
  uint32_t baseOfCode() const { return baseOfCode_; }
  uint32_t sizeOfCode() const { return sizeOfCode_; }

  // The place in the bytes of the relative virtual address `rva`: the first
  // section whose VirtualAddress is at or below it and whose VirtualAddress +
  // SizeOfRawData is above it gives the place PointerToRawData + (rva -
  // VirtualAddress). Null when no section holds the
  // address, when the section table does not fit in the bytes, or when the
  // place lies outside them. `available` (optional) receives the number of
  // bytes from the place to the end of the range.
  const uint8_t* rvaToData(uint32_t rva, size_t* available) const;

  // Copies the export directory's name into `out`: at most `outSize` - 1
  // bytes up to its NUL, then a NUL. `foundDirectory` (optional) tells whether
  // the directory itself was found. False, with `out` unchanged, when either
  // the directory or its name was not found, or when the name reaches the end
  // of the bytes before its NUL and before the limit.
  bool exportName(char* out, size_t outSize, bool* foundDirectory) const;

  // Finds the version resource's data: the resource directory, in it the
  // entry of type 16 (version), its entry 1, and of that the first language
  // entry that points to data; then that data's place and size. On kFound,
  // `data` and `size` describe bytes that lie wholly within the range.
  VersionLookup findVersionData(const uint8_t** data, size_t* size) const;

  // Searches version data for `key` (upper-case letters) and copies the value
  // that follows it into `out` as 8-bit text: at most `outSize` - 1 bytes,
  // then a NUL. Reads UTF-16 and 8-bit text alike, ignoring the case of
  // letters. False, with `out` unchanged, when the key or its value is not
  // there.
  static bool findVersionValue(const uint8_t* data, size_t size, const char* key, char* out,
                               size_t outSize);

 private:
  // The relative virtual address of data directory `index`; 0 when the
  // optional header has no such entry.
  uint32_t dataDirectoryAddress(uint32_t index) const;
  // True when `length` bytes at `offset` lie within the range.
  bool fits(uint64_t offset, uint64_t length) const;

  const uint8_t* data_;
  size_t size_;
  bool valid_ = false;
  uint32_t timeDateStamp_ = 0;
  uint32_t baseOfCode_ = 0;
  uint32_t sizeOfCode_ = 0;
  // Offsets in the bytes, valid only with valid headers.
  uint64_t optionalHeader_ = 0;
  uint32_t optionalHeaderSize_ = 0;
  uint64_t sectionTable_ = 0;
  uint32_t sectionCount_ = 0;
  bool sectionTableFits_ = false;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PE_IMAGE_H_
