#include "runtime/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include "runtime/scoped_holder.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

CommandLine* g_current = nullptr;

std::string lowerAsciiName(std::wstring_view name) {
  std::string lower = wideToAscii(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string lowerAsciiName(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// Length of the switch prefix ("--", "-" or "/") that `argument` starts with.
size_t switchPrefixLength(const std::wstring& argument) {
  if (argument.compare(0, 2, L"--") == 0) return 2;
  if (!argument.empty() && (argument[0] == L'-' || argument[0] == L'/')) return 1;
  return 0;
}

}  // namespace

CommandLine CommandLine::fromString(const std::wstring& commandLine) {
  std::vector<std::wstring> argv;
  // CommandLineToArgvW gives the program's path for an empty string; an empty
  // command line is simply one without arguments.
  if (!commandLine.empty()) {
    int count = 0;
    ScopedLocalMemory<LPWSTR*> list(CommandLineToArgvW(commandLine.c_str(), &count));
    if (list.isValid()) {
      for (int i = 0; i < count; ++i) argv.emplace_back(list.get()[i]);
    }
  }
  return fromArgv(argv);
}

CommandLine CommandLine::fromArgv(const std::vector<std::wstring>& argv) {
  CommandLine line;
  bool switchesEnded = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i == 0) {
      line.program_ = argv[0];
    } else {
      line.addArgument(argv[i], &switchesEnded);
    }
  }
  return line;
}

void CommandLine::addArgument(const std::wstring& argument, bool* switchesEnded) {
  if (!*switchesEnded && argument == L"--") {
    *switchesEnded = true;
    return;
  }
  size_t prefix = *switchesEnded ? 0 : switchPrefixLength(argument);
  if (prefix == 0 || prefix == argument.size()) {
    arguments_.push_back(argument);
    return;
  }
  std::wstring body = argument.substr(prefix);
  size_t equals = body.find(L'=');
  std::wstring name = body.substr(0, equals);
  std::wstring value = equals == std::wstring::npos ? std::wstring() : body.substr(equals + 1);
  // The last occurrence of a switch wins.
  switches_[lowerAsciiName(name)] = value;
}

bool CommandLine::initForCurrentProcess() {
  if (g_current != nullptr) return false;
  g_current = new CommandLine(fromString(GetCommandLineW()));
  return true;
}

bool CommandLine::initForCurrentProcessFromString(const std::wstring& commandLine) {
  if (g_current != nullptr) return false;
  g_current = new CommandLine(fromString(commandLine));
  return true;
}

const CommandLine& CommandLine::forCurrentProcess() {
  static const CommandLine empty;
  return g_current != nullptr ? *g_current : empty;
}

void CommandLine::resetForCurrentProcess() {
  delete g_current;
  g_current = nullptr;
}

bool CommandLine::hasSwitch(std::string_view name) const {
  return switches_.count(lowerAsciiName(name)) != 0;
}

std::wstring CommandLine::switchValue(std::string_view name) const {
  auto it = switches_.find(lowerAsciiName(name));
  return it == switches_.end() ? std::wstring() : it->second;
}

std::string CommandLine::switchValueAscii(std::string_view name) const {
  return wideToAscii(switchValue(name));
}

std::wstring CommandLine::quoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

}  // namespace tavra
