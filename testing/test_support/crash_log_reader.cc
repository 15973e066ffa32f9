#include "testing/test_support/crash_log_reader.h"

#include <cstdlib>
#include <sstream>

#include "runtime/file_util.h"
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

// Upper-case hex digits, 1 to `maxDigits` of them.
template <typename T>
bool parseHex(const std::string& text, T* value, size_t maxDigits = 2 * sizeof(T)) {
  if (text.empty() || text.size() > maxDigits ||
      text.find_first_not_of("0123456789ABCDEF") != std::string::npos) {
    return false;
  }
  *value = static_cast<T>(std::strtoull(text.c_str(), nullptr, 16));
  return true;
}

// The hex number that follows `label` in `line`.
template <typename T>
bool hexAfter(const std::string& line, const std::string& label, T* value,
              size_t maxDigits = 2 * sizeof(T)) {
  const size_t at = line.find(label);
  if (at == std::string::npos) return false;
  const size_t start = at + label.size();
  const size_t end = line.find_first_not_of("0123456789ABCDEF", start);
  return parseHex(line.substr(start, end == std::string::npos ? std::string::npos : end - start),
                  value, maxDigits);
}

// What differs between the two widths of a log.
struct LogWidth {
  size_t addressDigits;
  size_t registerLines;  // after "Registers: "
};

LogWidth widthOf(Architecture architecture) {
  return architecture == Architecture::kX8664 ? LogWidth{16, 6} : LogWidth{8, 3};
}

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A memory dump line: the address, then for each of 16 positions a blank, one
// more before positions 0, 4, 8 and 12, and two hex digits or two blanks.
bool parseDumpLine(const std::string& line, size_t digits, std::pair<uint64_t, uint32_t>* dump) {
  if (line.size() < digits || !parseHex(line.substr(0, digits), &dump->first, digits)) {
    return false;
  }
  size_t offset = digits;
  dump->second = 0;
  for (int position = 0; position < 16; ++position) {
    offset += position % 4 == 0 ? 2 : 1;
    if (offset + 2 > line.size()) return false;
    if (line.compare(offset, 2, "  ") != 0) ++dump->second;
    offset += 2;
  }
  return true;
}

}  // namespace

const CrashLogThread* CrashLog::thread(uint32_t id) const {
  for (const CrashLogThread& each : threads) {
    if (each.id == id) return &each;
  }
  return nullptr;
}

const std::string* CrashLog::metadataValue(const std::string& key) const {
  for (const auto& entry : metadata) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

const CrashLogModule* CrashLog::moduleAt(uint64_t base) const {
  for (const CrashLogModule& module : modules) {
    if (module.base == base) return &module;
  }
  return nullptr;
}

bool CrashLog::dumpsShow(uint64_t address) const {
  for (const auto& line : dumpLines) {
    if (address >= line.first && address - line.first < line.second) return true;
  }
  return false;
}

long metadataNumber(const std::string& text, const std::string& key) {
  const std::string line = "\n" + key + "=\"";
  const size_t at = text.find(line);
  if (at == std::string::npos) return -1;
  return std::strtol(text.c_str() + at + line.size(), nullptr, 10);
}

bool readCrashLog(const std::wstring& path, CrashLog* log, std::string* error) {
  std::string contents;
  if (!readFileToString(path, &contents)) {
    *error = "cannot be read";
    return false;
  }
  return parseCrashLog(contents, log, error);
}

bool parseCrashLog(const std::string& contents, CrashLog* log, std::string* error) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < contents.size()) {
    const size_t end = contents.find('\n', start);
    if (end == std::string::npos || end == start || contents[end - 1] != '\r') {
      *error = "a line does not end in CR LF at byte " + std::to_string(start);
      return false;
    }
    lines.push_back(contents.substr(start, end - 1 - start));
    start = end + 1;
  }
  if (lines.size() < 2) {
    *error = "no header";
    return false;
  }
  log->header = lines[0];
  log->exceptionLine = lines[1];
  // The architecture comes right after the exception line, before anything
  // whose form depends on it; a log without the line is x86.
  size_t first = 2;
  log->architecture = Architecture::kX86;
  if (lines.size() > 2 && startsWith(lines[2], "Architecture: ")) {
    const std::string name = lines[2].substr(sizeof("Architecture: ") - 1);
    if (name == architectureName(Architecture::kX8664)) {
      log->architecture = Architecture::kX8664;
    } else if (name != architectureName(Architecture::kX86)) {
      *error = "unknown architecture: " + lines[2];
      return false;
    }
    first = 3;
  }
  const LogWidth width = widthOf(log->architecture);
  // " at address A (Base: B)" at the line's end.
  const std::string& exception = log->exceptionLine;
  const std::string address = " at address ";
  const size_t at = exception.rfind(address);
  const size_t base = at + address.size() + width.addressDigits;
  uint64_t mainBase = 0;
  if (at == std::string::npos || exception.compare(base, 8, " (Base: ") != 0 ||
      exception.size() != base + 8 + width.addressDigits + 1 || exception.back() != ')' ||
      !parseHex(exception.substr(at + address.size(), width.addressDigits), &log->exceptionAddress,
                width.addressDigits) ||
      !parseHex(exception.substr(base + 8, width.addressDigits), &mainBase, width.addressDigits)) {
    *error = "bad exception line: " + log->exceptionLine;
    return false;
  }

  enum class Part { None, Metadata, Stack, Modules, Dumps, CrashLogger };
  Part part = Part::None;
  for (size_t i = first; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (part == Part::CrashLogger) {
      log->crashLogger.push_back(line);
      continue;
    }
    if (line == "Crash Logger:") {
      part = Part::CrashLogger;
      continue;
    }
    if (line.empty()) {
      // Blank lines end the metadata and the stack and module lists; the
      // memory dumps hold blank lines between ranges.
      if (part != Part::Dumps) part = Part::None;
      continue;
    }
    if (line == "metadata:") {
      part = Part::Metadata;
    } else if (startsWith(line, "Thread: ")) {
      CrashLogThread thread;
      if (!hexAfter(line, "Thread: ", &thread.id)) {
        *error = "bad thread heading: " + line;
        return false;
      }
      log->threads.push_back(thread);
      part = Part::None;
    } else if (startsWith(line, "Crashed=") && !log->threads.empty()) {
      log->threads.back().crashed = line == "Crashed=1";
    } else if (startsWith(line, "checked_context_values=") && !log->threads.empty()) {
      log->threads.back().checkedContextValues = static_cast<uint32_t>(
          std::strtoul(line.c_str() + sizeof("checked_context_values=") - 1, nullptr, 10));
    } else if (startsWith(line, "Registers: ") && !log->threads.empty()) {
      if (i + width.registerLines >= lines.size()) {
        *error = "the register block is cut short";
        return false;
      }
      for (size_t j = i + 1; j <= i + width.registerLines; ++j) {
        std::istringstream in(lines[j]);
        size_t tokens = 0;
        for (std::string token; in >> token; ++tokens) {
          const size_t equals = token.find('=');
          uint64_t value = 0;
          if (equals == std::string::npos || !parseHex(token.substr(equals + 1), &value)) {
            *error = "bad register line: " + lines[j];
            return false;
          }
          log->threads.back().registers[token.substr(0, equals)] = value;
        }
        if (tokens == 0) {
          *error = "bad register line: " + lines[j];
          return false;
        }
      }
      i += width.registerLines;
    } else if (startsWith(line, "Stack dump: ")) {
      part = Part::Stack;
    } else if (line == "Used DLLs:") {
      log->hasModuleList = true;
      part = Part::Modules;
    } else if (line == "Memory dumps:") {
      log->hasMemoryDumps = true;
      part = Part::Dumps;
    } else if (part == Part::Metadata) {
      const size_t equals = line.find("=\"");
      if (equals == std::string::npos || line.back() != '"') {
        *error = "bad metadata line: " + line;
        return false;
      }
      log->metadata.emplace_back(line.substr(0, equals),
                                 line.substr(equals + 2, line.size() - equals - 3));
    } else if (part == Part::Stack && !log->threads.empty()) {
      uint64_t lineAddress = 0;
      if (line.size() <= width.addressDigits || line[width.addressDigits] != ' ' ||
          !parseHex(line.substr(0, width.addressDigits), &lineAddress, width.addressDigits)) {
        *error = "bad stack line: " + line;
        return false;
      }
      log->threads.back().stackLineAddresses.push_back(lineAddress);
    } else if (part == Part::Modules) {
      CrashLogModule module;
      const size_t base = line.find(" Base: ");
      if (base == std::string::npos ||
          line.compare(base + 7 + width.addressDigits, 7, " Size: ") != 0 ||
          !hexAfter(line, " Base: ", &module.base, width.addressDigits) ||
          !hexAfter(line, " Size: ", &module.size)) {
        *error = "bad module line: " + line;
        return false;
      }
      module.name = line.substr(0, line.find(' '));
      module.version = trim(line.substr(module.name.size(), base - module.name.size()));
      log->modules.push_back(module);
    } else if (part == Part::Dumps) {
      std::pair<uint64_t, uint32_t> dump;
      if (!parseDumpLine(line, width.addressDigits, &dump)) {
        *error = "bad memory dump line: " + line;
        return false;
      }
      log->dumpLines.push_back(dump);
    }
  }
  return true;
}

}  // namespace tavra
