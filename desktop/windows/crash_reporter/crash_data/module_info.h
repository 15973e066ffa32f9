// One module loaded in a crashed process, as the crash log sees it.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_INFO_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_INFO_H_

#include <cstdint>

#include "runtime/target_width.h"

namespace tavra {

// Read-only view of one captured module. The slot order is fixed: the crash
// log writer and the snapshot agree on it. Its code range runs from
// `codeStart` up to, not including, `codeStart` + `codeSize` in the
// arithmetic of the target's addresses; a module whose headers could not be read has an empty
// one.
class ModuleInfo {
 public:
  virtual ~ModuleInfo() = default;
  // The file name without its folder; may be empty, never null.
  virtual const char* name() const = 0;
  virtual TargetAddress base() const = 0;
  virtual uint32_t size() const = 0;
  virtual TargetAddress codeStart() const = 0;
  virtual uint32_t codeSize() const = 0;
  // The file version from the version resource; empty when none was found.
  virtual const char* fileVersion() const = 0;
  // The link time stamp; 0 when the headers could not be read.
  virtual uint32_t timestamp() const = 0;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_MODULE_INFO_H_
