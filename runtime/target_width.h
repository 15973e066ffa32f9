// The width of the browser processes that this reporter serves, which is its
// own: the 32-bit reporter serves 32-bit processes, the 64-bit reporter
// 64-bit ones. Everything that depends on it (addresses in a crashed process,
// its register set, the registration message it reads) takes it from here.
//
// Code that reads what another width wrote (crash logs, module files) does
// not use this: it takes an `Architecture` as a value, so that it also builds
// on the host, where it is fuzzed.
//
// Threads: constants only.
#ifndef RUNTIME_TARGET_WIDTH_H_
#define RUNTIME_TARGET_WIDTH_H_

#include <stdint.h>

namespace tavra {

enum class Architecture : uint8_t {
  kX86,
  kX8664,
};

// "x86" or "x86-64", as crash logs name them.
inline const char* architectureName(Architecture architecture) {
  return architecture == Architecture::kX8664 ? "x86-64" : "x86";
}

// Bytes of an address (and of a stack word) of that architecture.
inline unsigned addressBytes(Architecture architecture) {
  return architecture == Architecture::kX8664 ? 8u : 4u;
}

#if defined(_WIN32)
#if defined(_WIN64)
using TargetAddress = uint64_t;
constexpr Architecture kTargetArchitecture = Architecture::kX8664;
#else
using TargetAddress = uint32_t;
constexpr Architecture kTargetArchitecture = Architecture::kX86;
#endif
// The highest address of the crashed process's address space.
constexpr TargetAddress kTargetAddressMax = static_cast<TargetAddress>(~TargetAddress{0});
// Hex digits of an address in a crash log: 8 or 16.
constexpr unsigned kTargetAddressDigits = 2 * sizeof(TargetAddress);
#endif

}  // namespace tavra

#endif  // RUNTIME_TARGET_WIDTH_H_
