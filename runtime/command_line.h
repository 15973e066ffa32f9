// The process command line and its switches.
//
// A switch begins with "--", "-" or "/", its name is matched without regard
// to ASCII case, and its value follows "=" ("--name=value"). A lone "--" ends
// switch parsing: everything after it is a plain argument.
#ifndef RUNTIME_COMMAND_LINE_H_
#define RUNTIME_COMMAND_LINE_H_

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tavra {

class CommandLine {
 public:
  // Parses a whole command line as Windows passes it to a process (the first
  // argument is the program).
  static CommandLine fromString(const std::wstring& commandLine);
  // Parses an argument vector whose first element is the program.
  static CommandLine fromArgv(const std::vector<std::wstring>& argv);

  // Initialises the process-wide command line from GetCommandLineW. Returns
  // false, changing nothing, when it was initialised already.
  static bool initForCurrentProcess();
  // The same from a given command line, for tests that need particular
  // switches on the process-wide line.
  static bool initForCurrentProcessFromString(const std::wstring& commandLine);
  // The process-wide command line; an empty one before initialisation.
  static const CommandLine& forCurrentProcess();
  // Forgets the process-wide command line, so that it can be initialised
  // again (for tests that run in one process).
  static void resetForCurrentProcess();

  const std::wstring& program() const { return program_; }
  const std::vector<std::wstring>& arguments() const { return arguments_; }

  bool hasSwitch(std::string_view name) const;
  // The value after "=", or empty when the switch is absent or has none.
  std::wstring switchValue(std::string_view name) const;
  // The same value as narrow text; characters outside ASCII become '?'.
  std::string switchValueAscii(std::string_view name) const;

  // Quotes one argument so that fromString gives it back unchanged.
  static std::wstring quoteArgument(const std::wstring& argument);

 private:
  void addArgument(const std::wstring& argument, bool* switchesEnded);

  std::wstring program_;
  std::vector<std::wstring> arguments_;
  std::map<std::string, std::wstring> switches_;
};

}  // namespace tavra

#endif  // RUNTIME_COMMAND_LINE_H_
