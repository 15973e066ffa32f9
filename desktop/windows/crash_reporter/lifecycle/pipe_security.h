// The security of the reporter's pipe: a low-integrity mandatory label, so
// that browser processes of low integrity can open it. Every system that the
// reporter runs on (Windows 7 and later) has integrity levels.
//
// Built and freed on the main thread; the server only reads the attributes
// while it starts.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PIPE_SECURITY_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PIPE_SECURITY_H_

#include <windows.h>

#include "runtime/scoped_holder.h"

namespace tavra {

extern const wchar_t kLowIntegritySddl[];  // "S:(ML;;NW;;;S-1-16-4096)"

class PipeSecurity {
 public:
  PipeSecurity() = default;
  // Frees the descriptor; the server that used it must have stopped.
  ~PipeSecurity() = default;
  PipeSecurity(const PipeSecurity&) = delete;
  PipeSecurity& operator=(const PipeSecurity&) = delete;

  // Builds the attributes from the SDDL text. The descriptor is kept only
  // when the text converts and carries a SACL; otherwise the attributes have
  // a null descriptor. True when the descriptor was kept.
  bool build(const wchar_t* sddl = kLowIntegritySddl);
  // Frees the descriptor.
  void reset();

  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }
  PSECURITY_DESCRIPTOR descriptor() const { return descriptor_.get(); }

 private:
  // The attributes point into the descriptor: declared after it, they go
  // first.
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> descriptor_;
  SECURITY_ATTRIBUTES attributes_ = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_LIFECYCLE_PIPE_SECURITY_H_
