// The diagnostic logging facility.
//
//   TAVRA_LOG(INFO) << "opened " << name;
//   TAVRA_PLOG(ERROR) << "GetProcessMemoryInfo failed for process " << pid;
//   TAVRA_VLOG(2) << "details";
//
// A message has a severity (INFO 0, WARNING 1, ERROR 2, FATAL 3; verbose
// level n is severity -n), the source file and line that logged it, and its
// text. It becomes one line:
//
//   [pid:tid:MMDD/HHMMSS:tick:SEVERITY:file(line)] text LF
//
// where each of the first four items can be switched off (setLogItems) and
// "file" is the base name of the source file. Control bytes in the text
// (other than tab) are written as \xNN and a trailing line end is dropped, so
// that one message always makes exactly one line; other bytes, non-ASCII ones
// included, pass unchanged.
//
// TAVRA_PLOG appends the last system error, read before anything else runs:
// ": <system text> (0x<code in hex>)".
//
// Verbose messages are written when their level is at most the verbosity of
// their source file: the switch "v" sets the global verbosity, and "vmodule"
// overrides it per file, e.g. --vmodule=thread_info*=2,module_info_impl=1.
// A pattern is matched, with the wildcards * and ?, against the file's base
// name without extension, or against the whole path when the pattern holds a
// slash or backslash. The first pattern that matches wins.
//
// Each line is first offered to the message handler, if one is set; a line
// that the handler takes goes nowhere else and a FATAL one taken so does not
// end the process. Otherwise the line goes to the destinations: ERROR and
// FATAL lines always go to the standard error stream; with the system debug
// output as destination every line goes to OutputDebugStringA and to the
// standard error stream; with the file as destination it is appended to the
// log file, in one write, under a mutex. The mutex is waited for at most
// kLogFileLockTimeoutMs: when another process holds it longer, the line is
// not written to the file (it still reaches the standard error stream when it
// is an ERROR or FATAL one) and is counted in droppedLogFileLines. A FATAL
// line then ends the process with exit code kLogFatalExitCode.
//
// The settings are made once, on the main thread, before other threads log;
// logging itself is safe from any thread, and never changes the thread's last
// system error. The log file's handle and its writes are guarded by the named
// mutex (by an in-process lock when there is no mutex); the message handler
// runs before either is taken, on the logging thread; the count of dropped
// lines changes only by interlocked operations.
#ifndef RUNTIME_LOGGING_H_
#define RUNTIME_LOGGING_H_

#include <windows.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

namespace tavra {

using LogSeverity = int;
// Named so that the macros can paste a severity word onto them: windows.h
// defines ERROR as a macro, and LOG_SEVERITY_ERROR stays clear of it.
constexpr LogSeverity LOG_SEVERITY_INFO = 0;
constexpr LogSeverity LOG_SEVERITY_WARNING = 1;
constexpr LogSeverity LOG_SEVERITY_ERROR = 2;
constexpr LogSeverity LOG_SEVERITY_FATAL = 3;

constexpr UINT kLogFatalExitCode = 3;

// The longest that a thread waits for the log file's lock.
constexpr DWORD kLogFileLockTimeoutMs = 2000;

enum LoggingDestination : unsigned {
  LOG_NONE = 0,
  LOG_TO_FILE = 1,
  LOG_TO_SYSTEM_DEBUG_LOG = 2,
  LOG_TO_ALL = LOG_TO_FILE | LOG_TO_SYSTEM_DEBUG_LOG,
};

enum LogLockingState {
  // A named mutex, derived from the file's path, orders the writes of every
  // process that logs to the same file.
  LOCK_LOG_FILE_ACROSS_PROCESSES,
  // Only the threads of this process are ordered.
  LOCK_LOG_FILE_IN_PROCESS,
};

enum OldFileDeletionState {
  APPEND_TO_OLD_LOG_FILE,
  DELETE_OLD_LOG_FILE,
};

struct LoggingSettings {
  unsigned destination = LOG_TO_SYSTEM_DEBUG_LOG;
  // Required with LOG_TO_FILE. When it cannot be opened, "debug.log" in the
  // current directory is used instead; when that fails too, file output is
  // dropped (each later message tries to open the file again).
  std::wstring logFile;
  LogLockingState locking = LOCK_LOG_FILE_ACROSS_PROCESSES;
  OldFileDeletionState oldFile = APPEND_TO_OLD_LOG_FILE;
};

// Applies the settings and reads the switches "v" and "vmodule" of the
// process command line. False when LOG_TO_FILE comes without a file name;
// nothing changes then. Without a call, lines go to the system debug output.
bool initLogging(const LoggingSettings& settings);

// Lines that this process did not write to the log file because its lock was
// not had within kLogFileLockTimeoutMs. Any thread.
uint32_t droppedLogFileLines();

// The name of the mutex that guards `logFile` across processes: "Global\"
// followed by the path with every backslash turned into a slash.
std::wstring logFileMutexName(const std::wstring& logFile);

// Which items start the line; by default the thread id and the time stamp.
void setLogItems(bool processId, bool threadId, bool timeStamp, bool tickCount);

// Offered every line before it is written. `fullLine` is the whole line with
// its line end, and the message text starts at `messageStart`. Returns true when
// it took the line, which then goes nowhere else.
using LogMessageHandler = bool (*)(void* context, LogSeverity severity, const char* file, int line,
                                   size_t messageStart, const std::string& fullLine);
// A null handler removes the current one.
void setLogMessageHandler(LogMessageHandler handler, void* context);
LogMessageHandler logMessageHandler();

// Sets the verbosity as the switches "v" and "vmodule" would. Entries that do
// not parse are ignored.
void setVlogLevels(std::string_view v, std::string_view vmodule);
// The verbosity for messages from `file` (a path as __FILE__ gives it).
int vlogLevel(const char* file);

// Whether `text` matches `pattern`, in which * stands for any run of
// characters and ? for one; a slash and a backslash match each other.
bool matchVlogPattern(std::string_view text, std::string_view pattern);

// The readable form of a system error code: ": <text> (0x<code>)".
std::string systemErrorSuffix(DWORD error);

// One message, written when it is destroyed. Use it through the macros.
class LogMessage {
 public:
  LogMessage(const char* file, int line, LogSeverity severity);
  // Appends the text of `systemError` to the message.
  LogMessage(const char* file, int line, LogSeverity severity, DWORD systemError);
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  std::ostream& stream() { return stream_; }

 private:
  const char* file_;
  int line_;
  LogSeverity severity_;
  bool withSystemError_;
  DWORD systemError_;
  std::ostringstream stream_;
};

// Turns the stream expression into void, so that the macros can use it in a
// conditional expression. & binds more loosely than << and more tightly
// than ?:.
struct LogMessageVoidify {
  void operator&(std::ostream&) {}
};

}  // namespace tavra

#define TAVRA_LAZY_STREAM(stream, condition) \
  !(condition) ? (void)0 : ::tavra::LogMessageVoidify() & (stream)

#define TAVRA_VLOG_IS_ON(level) ((level) <= ::tavra::vlogLevel(__FILE__))

// The severity word is pasted straight onto the constant's name, so that a
// macro of the same name (ERROR) is never expanded.
#define TAVRA_LOG(severity) \
  TAVRA_LAZY_STREAM(        \
      ::tavra::LogMessage(__FILE__, __LINE__, ::tavra::LOG_SEVERITY_##severity).stream(), true)
#define TAVRA_LOG_IF(severity, condition)                                                 \
  TAVRA_LAZY_STREAM(                                                                      \
      ::tavra::LogMessage(__FILE__, __LINE__, ::tavra::LOG_SEVERITY_##severity).stream(), \
      (condition))
// GetLastError is an argument of the constructor: it runs before the
// expressions streamed into the message, which may change the error.
#define TAVRA_PLOG(severity)                                                                      \
  TAVRA_LAZY_STREAM(                                                                              \
      ::tavra::LogMessage(__FILE__, __LINE__, ::tavra::LOG_SEVERITY_##severity, ::GetLastError()) \
          .stream(),                                                                              \
      true)
#define TAVRA_VLOG(level)                                                       \
  TAVRA_LAZY_STREAM(::tavra::LogMessage(__FILE__, __LINE__, -(level)).stream(), \
                    TAVRA_VLOG_IS_ON(level))

#endif  // RUNTIME_LOGGING_H_
