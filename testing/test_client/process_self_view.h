// The test client's own view of itself, for the tests to compare a snapshot
// taken from outside against: its modules (its threads it lists with
// process_figures.h). Also grows both: threads that block for good, and
// system libraries loaded on request.
//
// Everything runs on the client's command thread. The blocked threads only
// wait for an event that is never set; nothing else touches them.
#ifndef TESTING_TEST_CLIENT_PROCESS_SELF_VIEW_H_
#define TESTING_TEST_CLIENT_PROCESS_SELF_VIEW_H_

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/scoped_holder.h"

namespace tavra {

struct LoadedModule {
  uintptr_t base = 0;
  uint32_t size = 0;
  std::wstring path;
};

// The process's modules as the process status functions give them
// (EnumProcessModules, GetModuleInformation, GetModuleFileNameW), in their
// order.
bool listLoadedModules(std::vector<LoadedModule>* modules);

// Loads libraries from the system directory, from a fixed list of ordinary
// ones, until the process holds at least `count` modules more than before
// (each may bring its own dependencies along) or the list runs out. Returns
// how many modules were added.
uint32_t loadSystemLibraries(uint32_t count);

// Points the loader's record of the module at `base` to `path` as its full
// path, as a process that means to mislead the reporter could; the record's
// base name stays. The new text is kept until the process ends. False when no
// module is at `base`.
bool rewriteLoaderPath(uintptr_t base, const std::wstring& path);

// Threads that wait for an event that is never set, until the process ends.
class BlockedThreads {
 public:
  BlockedThreads();
  BlockedThreads(const BlockedThreads&) = delete;
  BlockedThreads& operator=(const BlockedThreads&) = delete;

  // Starts `count` more and waits until each of them runs; their ids are
  // appended to `ids`. False when one could not be started.
  bool start(uint32_t count, std::vector<uint32_t>* ids);

 private:
  static DWORD WINAPI run(void* context);

  ScopedHandle never_;
  ScopedHandle running_;
  std::vector<ScopedHandle> threads_;
};

}  // namespace tavra

#endif  // TESTING_TEST_CLIENT_PROCESS_SELF_VIEW_H_
