// Describes one module of a crashed process from its file on disk: name,
// file version, link time stamp and code range.
//
// Runs on the thread that handles the crash; an object belongs to the
// snapshot that made it and is filled once by `inspect`, which keeps no handle
// or view afterwards. Failures are logged to the reporter's diagnostic log.
// The parsing of the file's bytes is PeImage's; this class maps the file,
// gives the parser the bytes it asks for, read from the file with ReadFile,
// and turns what the parse found into its fields and log entries.
//
// The view of the file is never read: a page of it whose file stopped being
// readable (a network drive that dropped, a removable medium pulled) would
// raise an in-page error, which nothing here can catch, and would end the
// reporter. A read that fails instead ends the parse with one log entry; the
// module keeps what was found before it. The view serves only to ask the
// system for the file's path.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_INFO_IMPL_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_INFO_IMPL_H_

#include <windows.h>

#include <cstdint>

#include "desktop/windows/crash_reporter/crash_data/module_info.h"
#include "runtime/seam.h"

namespace tavra {

class ModuleInfoImpl : public ModuleInfo {
 public:
  // Texts in 8-bit characters, at most this many bytes with their NUL.
  static constexpr size_t kTextSize = 128;

  // Every field starts empty or 0.
  ModuleInfoImpl();
  ~ModuleInfoImpl() override;

  // Stores `base` and `size` and the module snapshot's `moduleName` (UTF-16,
  // may be empty; each unit keeps its low 8 bits), then maps `file` read-only
  // and reads the rest from it. `file`, opened for synchronous reads, may be
  // null or INVALID_HANDLE_VALUE when the module's file could not be opened.
  // Nothing is ever read outside the file's size.
  void inspect(const wchar_t* moduleName, HANDLE file, TargetAddress base, uint32_t size);

  const char* name() const override;
  TargetAddress base() const override;
  uint32_t size() const override;
  TargetAddress codeStart() const override;
  uint32_t codeSize() const override;
  const char* fileVersion() const override;
  uint32_t timestamp() const override;

 private:
  // Reads the fields from `file`, of `fileSize` bytes, whose view is `view`.
  void parse(HANDLE file, uint64_t fileSize, const void* view);
  // The entry of a read that failed with `error`.
  void logReadFailure(DWORD error) const;
  // `name_`, or "<unknown>" when it is empty, for log entries.
  const char* nameForLog() const;

  char name_[kTextSize] = {};
  char fileVersion_[kTextSize] = {};
  uint32_t timestamp_ = 0;
  TargetAddress base_ = 0;
  uint32_t size_ = 0;
  TargetAddress codeEnd_ = 0;
};

// Test seams: the MapViewOfFile, ReadFile and GetMappedFileNameA that
// `inspect` calls. Replace them only while no other thread inspects.
using MapViewOfFileFunction = void*(WINAPI*)(HANDLE mapping, DWORD access, DWORD offsetHigh,
                                             DWORD offsetLow, SIZE_T length);
extern Seam<MapViewOfFileFunction> mapViewOfFileSeam;
using ReadFileFunction = BOOL(WINAPI*)(HANDLE file, void* buffer, DWORD length, DWORD* read,
                                       OVERLAPPED* overlapped);
extern Seam<ReadFileFunction> readFileSeam;
using GetMappedFileNameFunction = DWORD(WINAPI*)(HANDLE process, void* address, char* name,
                                                 DWORD size);
extern Seam<GetMappedFileNameFunction> getMappedFileNameSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_INFO_IMPL_H_
