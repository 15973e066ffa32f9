// Describes one module of a crashed process from its file on disk: name,
// file version, link time stamp and code range.
//
// Runs on the thread that handles the crash; an object belongs to the
// snapshot that made it and is filled once by `inspect`, which keeps no handle
// or view afterwards. Failures are logged to the reporter's diagnostic log.
// The parsing of the file's bytes is PeImage's; this class maps the file and
// turns what the parse found into its fields and log entries.
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
  // and reads the rest from it. `file` may be null or INVALID_HANDLE_VALUE
  // when the module's file could not be opened. Nothing is ever read outside
  // the mapped view.
  void inspect(const wchar_t* moduleName, HANDLE file, uint32_t base, uint32_t size);

  const char* name() const override;
  uint32_t base() const override;
  uint32_t size() const override;
  uint32_t codeStart() const override;
  uint32_t codeSize() const override;
  const char* fileVersion() const override;
  uint32_t timestamp() const override;

 private:
  // Reads the fields from the mapped bytes of the file.
  void parse(const uint8_t* view, size_t viewSize);
  // `name_`, or "<unknown>" when it is empty, for log entries.
  const char* nameForLog() const;

  char name_[kTextSize] = {};
  char fileVersion_[kTextSize] = {};
  uint32_t timestamp_ = 0;
  uint32_t base_ = 0;
  uint32_t size_ = 0;
  uint32_t codeEnd_ = 0;
};

// Test seams: the MapViewOfFile and GetMappedFileNameA that `inspect` calls.
// Replace them only while no other thread inspects.
using MapViewOfFileFunction = void*(WINAPI*)(HANDLE mapping, DWORD access, DWORD offsetHigh,
                                             DWORD offsetLow, SIZE_T length);
extern Seam<MapViewOfFileFunction> mapViewOfFileSeam;
using GetMappedFileNameFunction = DWORD(WINAPI*)(HANDLE process, void* address, char* name,
                                                 DWORD size);
extern Seam<GetMappedFileNameFunction> getMappedFileNameSeam;

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_INFO_IMPL_H_
