// Reads a text crash log back into its parts, so that the end-to-end tests
// can compare it with what the crashed browser process saw.
//
// Both widths: the line "Architecture: x86-64" after the exception line
// makes a log of a 64-bit process (16-digit addresses, the x86-64 register
// block, 8-byte stack words); "Architecture: x86", or no such line (every
// log of an older reporter), one of a 32-bit process. Addresses are read
// into 64 bits either way.
//
// Threads: plain functions and values; a log belongs to its caller.
#ifndef TESTING_TEST_SUPPORT_CRASH_LOG_READER_H_
#define TESTING_TEST_SUPPORT_CRASH_LOG_READER_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "runtime/target_width.h"

namespace tavra {

struct CrashLogThread {
  uint32_t id = 0;
  bool crashed = false;
  uint32_t checkedContextValues = 0;
  // "EAX" ... "EIP" or "RAX" ... "RIP", "FLAGS", "CS" ... "GS", as printed.
  std::map<std::string, uint64_t> registers;
  // The address at the start of each stack dump line.
  std::vector<uint64_t> stackLineAddresses;
};

struct CrashLogModule {
  std::string name;
  std::string version;
  uint64_t base = 0;
  uint32_t size = 0;
};

struct CrashLog {
  std::string header;
  std::string exceptionLine;
  Architecture architecture = Architecture::kX86;
  uint64_t exceptionAddress = 0;
  std::vector<std::pair<std::string, std::string>> metadata;
  std::vector<CrashLogThread> threads;
  std::vector<CrashLogModule> modules;
  bool hasModuleList = false;
  bool hasMemoryDumps = false;
  // Each memory dump line: its first address and its number of bytes.
  std::vector<std::pair<uint64_t, uint32_t>> dumpLines;
  // The lines under "Crash Logger:", as "file:line:message".
  std::vector<std::string> crashLogger;

  const CrashLogThread* thread(uint32_t id) const;
  // The value of the first entry named `key`, or null.
  const std::string* metadataValue(const std::string& key) const;
  const CrashLogModule* moduleAt(uint64_t base) const;
  // Whether some memory dump line shows the byte at `address`.
  bool dumpsShow(uint64_t address) const;
};

// Parses the crash log at `path`. False when it cannot be read, when a line
// does not end in CR LF, or when a part is not in its form (addresses with
// the digits of the log's architecture); `error` then says which.
bool readCrashLog(const std::wstring& path, CrashLog* log, std::string* error);
// The same for the log's bytes.
bool parseCrashLog(const std::string& contents, CrashLog* log, std::string* error);

// The number in the metadata line `key="N"` of the crash log text `text`, as
// a test's own annotation puts it there; -1 when there is no such line. For
// logs whose other parts do not matter, without parsing them.
long metadataNumber(const std::string& text, const std::string& key);

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_CRASH_LOG_READER_H_
