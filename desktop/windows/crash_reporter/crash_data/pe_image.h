// Reads what the crash log needs from a module file: the link time stamp,
// the code range, the export directory's name and the version resource with
// its FileVersion and OriginalFilename values.
//
// Both kinds of module file are read, whichever the file is by its optional
// header's magic: PE32 (32-bit modules) and PE32+ (64-bit modules, magic
// 0x20B), whose ImageBase is 64 bits wide and whose data directories lie 16
// bytes further on. BaseOfCode and SizeOfCode lie where they do in PE32. A
// reporter of either width may meet either kind of file and is not fooled by
// it.
//
// The bytes come from a file on disk and are untrusted: every offset, size
// and count taken from them is checked before use, and nothing is ever read
// outside the file's size, whatever it holds. A value that points outside
// it counts as not found. This unit calls no system function, so that it
// also builds and is fuzzed on the host.
//
// The bytes are read from a ByteSource as the parse needs them, never
// through a view of the file: a file that stops being readable part-way (a
// network drive that drops, a removable medium pulled) fails a read, which
// the parse survives, where a mapped page would raise an in-page error. The
// first failed read ends every later one (`readFailed`): a device that went
// away may take long to answer each. What the parse reads and holds is
// bounded, whatever the file says (the constants below): at most a few
// hundred KiB read and 72 KiB held per file.
//
// A PeImage reads through its source, which its creator keeps alive for the
// object's lifetime, and keeps what it read in buffers of its own; it has no
// lock and may be used on any one thread at a time.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PE_IMAGE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PE_IMAGE_H_

#include <stddef.h>
#include <stdint.h>

#include "desktop/windows/crash_reporter/crash_data/byte_source.h"

namespace tavra {

class PeImage {
 public:
  // Bytes read at once: the file's head, read first, and the window that
  // serves the later small reads. One page holds the headers and the section
  // table of nearly every module file (linkers write 1 KiB of headers or
  // less), and the export directory with its name, or a resource tree, lie
  // within a page of each other: a parse takes a handful of reads, where a
  // read on a network drive is a round trip, as a page of a view was.
  static constexpr size_t kWindowSize = 4096;
  // A longer section table counts as not fitting, which makes every address
  // unknown: linkers write tens of sections (the loader once refused more
  // than 96), and each address look-up walks the table.
  static constexpr uint32_t kMaxSectionCount = 1024;
  // Numbered entries searched in one level of the resource tree; the search
  // finds nothing beyond them. A version resource's levels hold a few, and
  // the type level some twenty.
  static constexpr uint32_t kMaxResourceEntries = 1024;
  // Version data read at most: its first node's length field has 16 bits,
  // so that a version resource never holds more.
  static constexpr size_t kMaxVersionDataSize = 0x10000;

  // Where the search for the version data stopped.
  enum class VersionLookup {
    kFound,
    kNoResourceDirectory,
    kNoVersionEntry,
    kNoVersionData,
  };

  // Reads the file's head and checks the headers at once: "MZ" at the start,
  // and at the offset held at 0x3C the bytes "PE" 0 0 followed by a whole
  // file header and the optional header's fields up to BaseOfCode. `size` is
  // the file's; `source` may be null when `size` is 0.
  PeImage(ByteSource* source, uint64_t size);
  PeImage(const PeImage&) = delete;
  PeImage& operator=(const PeImage&) = delete;

  // False when the headers are missing, do not fit or could not be read;
  // every lookup below then finds nothing.
  bool hasValidHeaders() const { return valid_; }
  // True once a read of the source failed: what was looked up then, and
  // everything after it, counts as not found, and nothing more is read.
  bool readFailed() const { return readFailed_; }
  // The file header's TimeDateStamp; 0 without valid headers.
  uint32_t timeDateStamp() const { return timeDateStamp_; }
  // The optional header's BaseOfCode and SizeOfCode; 0 without valid headers.
  uint32_t baseOfCode() const { return baseOfCode_; }
  uint32_t sizeOfCode() const { return sizeOfCode_; }
  // True for a PE32+ file (magic 0x20B); any other magic is read as PE32.
  bool isPe32Plus() const { return plus_; }
  // The optional header's ImageBase (64 bits in PE32+, 32 in PE32); 0 without
  // valid headers or when the field does not lie within the file and within
  // the optional header as the file sizes it.
  uint64_t imageBase() const { return imageBase_; }

  // The place in the file of the relative virtual address `rva`: the first
  // section whose VirtualAddress is at or below it and whose VirtualAddress +
  // SizeOfRawData is above it gives the place PointerToRawData + (rva -
  // VirtualAddress). False when no section holds the address, when the
  // section table does not fit in the file (or is longer than
  // kMaxSectionCount), or when the place lies outside the file.
  bool rvaToOffset(uint32_t rva, uint64_t* offset);

  // Copies the export directory's name into `out`: at most `outSize` - 1
  // bytes up to its NUL, then a NUL. `foundDirectory` (optional) tells whether
  // the directory itself was found. False, with `out` unchanged, when either
  // the directory or its name was not found, or when the name reaches the end
  // of the file before its NUL and before the limit.
  bool exportName(char* out, size_t outSize, bool* foundDirectory);

  // Finds the version resource's data: the resource directory, in it the
  // entry of type 16 (version), its entry 1, and of that the first language
  // entry that points to data; then that data's place and size. On kFound,
  // `offset` and `size` describe bytes that lie wholly within the file, the
  // size cut to kMaxVersionDataSize.
  VersionLookup findVersionData(uint64_t* offset, size_t* size);

  // Copies the `length` bytes at `offset` into `out`; false when they do not
  // lie within the file or could not be read. What the head or the window
  // holds is not read again.
  bool read(uint64_t offset, void* out, size_t length);

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
  uint32_t dataDirectoryAddress(uint32_t index);
  // True when `length` bytes at `offset` lie within the file.
  bool fits(uint64_t offset, uint64_t length) const;
  // Little-endian values at `offset` of the file; false as `read` is.
  bool read16(uint64_t offset, uint32_t* value);
  bool read32(uint64_t offset, uint32_t* value);
  // Asks the source, once no read has failed yet.
  bool fetch(uint64_t offset, void* out, size_t length);

  ByteSource* source_;
  uint64_t size_;
  bool valid_ = false;
  bool readFailed_ = false;
  uint32_t timeDateStamp_ = 0;
  uint32_t baseOfCode_ = 0;
  uint32_t sizeOfCode_ = 0;
  bool plus_ = false;
  uint64_t imageBase_ = 0;
  // Offsets in the file, valid only with valid headers.
  uint64_t optionalHeader_ = 0;
  uint32_t optionalHeaderSize_ = 0;
  uint64_t sectionTable_ = 0;
  uint32_t sectionCount_ = 0;
  bool sectionTableFits_ = false;
  // The file's first bytes, and the last block read elsewhere.
  uint8_t head_[kWindowSize];
  size_t headSize_ = 0;
  uint8_t window_[kWindowSize];
  uint64_t windowOffset_ = 0;
  size_t windowSize_ = 0;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PE_IMAGE_H_
