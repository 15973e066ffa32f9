#include "desktop/windows/crash_reporter/lifecycle/pipe_security.h"

#include <sddl.h>

#include <utility>

namespace tavra {

const wchar_t kLowIntegritySddl[] = L"S:(ML;;NW;;;S-1-16-4096)";

bool PipeSecurity::build(const wchar_t* sddl) {
  reset();
  ScopedLocalMemory<PSECURITY_DESCRIPTOR> descriptor;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                           descriptor.receive(), nullptr)) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (GetSecurityDescriptorSacl(descriptor.get(), &present, &sacl, &defaulted) && present) {
      descriptor_ = std::move(descriptor);
    }
  }
  attributes_.lpSecurityDescriptor = descriptor_.get();
  return descriptor_.isValid();
}

void PipeSecurity::reset() {
  attributes_.lpSecurityDescriptor = nullptr;
  descriptor_.reset();
}

}  // namespace tavra
