#include "testing/test_support/crash_log_reader.h"

#include <cstdlib>
#include <sstream>

#include "runtime/file_util.h"
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

bool parseHex(const std::string& text, uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  char* end = nullptr;
  *value = static_cast<uint32_t>(std::strtoul(text.c_str(), &end, 16));
  return *end == 0;
}

// The hex number that follows `label` in `line`.
bool hexAfter(const std::string& line, const std::string& label, uint32_t* value) {
  const size_t at = line.find(label);
  if (at == std::string::npos) return false;
  const size_t start = at + label.size();
  const size_t end = line.find_first_not_of("0123456789ABCDEF", start);
  return parseHex(line.substr(start, end == std::string::npos ? std::string::npos : end - start),
                  value);
}

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A memory dump line: the address, then for each of 16 positions a blank, one
// more before positions 0, 4, 8 and 12, and two hex digits or two blanks.
bool parseDumpLine(const std::string& line, std::pair<uint32_t, uint32_t>* dump) {
  if (line.size() < 8 || !parseHex(line.substr(0, 8), &dump->first)) return false;
  size_t offset = 8;
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

const CrashLogModule* CrashLog::moduleAt(uint32_t base) const {
  for (const CrashLogModule& module : modules) {
    if (module.base == base) return &module;
  }
  return nullptr;
}

bool CrashLog::dumpsShow(uint32_t address) const {
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

  enum class Part { None, Metadata, Stack, Modules, Dumps, CrashLogger };
  Part part = Part::None;
  for (size_t i = 2; i < lines.size(); ++i) {
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
      for (size_t j = i + 1; j <= i + 3 && j < lines.size(); ++j) {
        std::istringstream in(lines[j]);
        for (std::string token; in >> token;) {
          const size_t equals = token.find('=');
          uint32_t value = 0;
          if (equals == std::string::npos || !parseHex(token.substr(equals + 1), &value)) {
            *error = "bad register line: " + lines[j];
            return false;
          }
          log->threads.back().registers[token.substr(0, equals)] = value;
        }
      }
      i += 3;
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
      uint32_t address = 0;
      if (!parseHex(line.substr(0, 8), &address)) {
        *error = "bad stack line: " + line;
        return false;
      }
      log->threads.back().stackLineAddresses.push_back(address);
    } else if (part == Part::Modules) {
      CrashLogModule module;
      const size_t base = line.find(" Base: ");
      if (base == std::string::npos || !hexAfter(line, " Base: ", &module.base) ||
          !hexAfter(line, " Size: ", &module.size)) {
        *error = "bad module line: " + line;
        return false;
      }
      module.name = line.substr(0, line.find(' '));
      module.version = trim(line.substr(module.name.size(), base - module.name.size()));
      log->modules.push_back(module);
    } else if (part == Part::Dumps) {
      std::pair<uint32_t, uint32_t> dump;
      if (!parseDumpLine(line, &dump)) {
        *error = "bad memory dump line: " + line;
        return false;
      }
      log->dumpLines.push_back(dump);
    }
  }
  return true;
}

}  // namespace tavra
