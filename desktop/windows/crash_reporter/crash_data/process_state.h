// The snapshot of a crashed process, as the crash log writer sees it.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_STATE_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_STATE_H_

#include <cstdint>

#include "runtime/target_width.h"
#include <memory>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/memory_reader.h"
#include "desktop/windows/crash_reporter/crash_data/module_info.h"
#include "desktop/windows/crash_reporter/crash_data/thread_info.h"

namespace tavra {

using ThreadList = std::vector<std::unique_ptr<ThreadInfo>>;
using ModuleList = std::vector<std::unique_ptr<ModuleInfo>>;

// The slot order is fixed. A snapshot belongs to the one thread that handles
// its crash; nothing in it is locked.
class ProcessState {
 public:
  virtual ~ProcessState() = default;
  // True when one byte at `address` can be read from the crashed process.
  virtual bool isReadable(TargetAddress address) const = 0;
  virtual uint32_t exceptionCode() const = 0;
  // A display name for the exception code, or null for none.
  virtual const char* exceptionName() const = 0;
  virtual TargetAddress exceptionAddress() const = 0;
  // The crashed thread first, then the others.
  virtual const ThreadList& threads() const = 0;
  // The module of the process's executable; may be null.
  virtual const ModuleInfo* mainModule() const = 0;
  virtual const ModuleList& modules() const = 0;
  // A new reader of the crashed process's memory; null when no process is
  // open or memory runs out.
  virtual std::unique_ptr<MemoryReader> createMemoryReader() const = 0;
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_PROCESS_STATE_H_
