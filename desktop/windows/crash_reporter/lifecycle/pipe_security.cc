#include "desktop/windows/crash_reporter/lifecycle/pipe_security.h"

#include <sddl.h>

namespace tavra {

const wchar_t kLowIntegritySddl[] = L"S:(ML;;NW;;;S-1-16-4096)";

bool PipeSecurity::build(const wchar_t* sddl) {
  reset();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                           nullptr)) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    if (GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted) && present) {
      descriptor_ = descriptor;
    } else {
      LocalFree(descriptor);
    }
  }
  attributes_.lpSecurityDescriptor = descriptor_;
  return descriptor_ != nullptr;
}

void PipeSecurity::reset() {
  attributes_.lpSecurityDescriptor = nullptr;
  if (descriptor_ != nullptr) {
    LocalFree(descriptor_);
    descriptor_ = nullptr;
  }
}

}  // namespace tavra
