// The operating system and processor that the reporter runs on, as every
// crash report names them.
//
// Start-up captures it once, on the main thread, before the pipe server
// starts, and gives it to the crash pipeline; afterwards the crash handling
// threads only read it, so no lock guards it.
#ifndef DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_SYSTEM_INFO_H_
#define DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_SYSTEM_INFO_H_

#include <cstdint>
#include <string>

namespace tavra {

// Empty strings unless captureSystemInfo made them.
struct SystemInfo {
  std::string osVersion;             // "major.minor.build", e.g. "6.1.7601"
  std::string osServicePackVersion;  // "major.minor", empty without a service pack
  std::string cpuArchitecture;       // "0x" and lower-case hex, e.g. "0x0"
  std::string cpuLevel;              // e.g. "0x6"
  std::string cpuRevision;           // e.g. "0x3a09"
};

// Asks the system for its version and its native processor (the real one,
// also when a 32-bit reporter runs on a 64-bit system). When the version
// cannot be read, both OS strings are empty.
SystemInfo captureSystemInfo();

// The numbers joined by '.', each in decimal.
std::string formatDottedDecimal(uint32_t first, uint32_t second);
std::string formatDottedDecimal(uint32_t first, uint32_t second, uint32_t third);
// "0x" followed by lower-case hex digits without leading zeros; 0 is "0x0".
std::string formatHex16(uint16_t number);

}  // namespace tavra

#endif  // DESKTOP_WINDOWS_CRASH_REPORTER_CRASH_DATA_SYSTEM_INFO_H_
