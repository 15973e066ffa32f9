#include "runtime/logging.h"

#include <stdio.h>
#include <stdlib.h>

#include <utility>
#include <vector>

#include "runtime/command_line.h"
#include "runtime/scoped_holder.h"
#include "runtime/scoped_lock.h"
#include "runtime/utf_conversion.h"

namespace tavra {
namespace {

struct VlogPattern {
  std::string pattern;
  bool matchesPath;  // The pattern names directories: match the whole path.
  int level;
};

struct LoggingState {
  unsigned destination = LOG_TO_SYSTEM_DEBUG_LOG;
  std::wstring logFile;
  LogLockingState locking = LOCK_LOG_FILE_ACROSS_PROCESSES;
  // Orders this process's threads when there is no mutex; the mutex, when
  // there is one, orders every process's and thread's writes.
  SrwLock fileLock;
  ScopedHandle mutex;
  ScopedHandle file;
  // Lines lost to a lock that was not had in time; interlocked.
  volatile LONG droppedLines = 0;

  bool processId = false;
  bool threadId = true;
  bool timeStamp = true;
  bool tickCount = false;

  LogMessageHandler handler = nullptr;
  void* handlerContext = nullptr;

  int verbosity = 0;
  std::vector<VlogPattern> vmodule;
};

// Threads of the system pool may still log while the process ends, after
// static destructors have run; the state therefore lives until the process
// is gone, and the system closes its handles then.
LoggingState& state() {
  static LoggingState* const instance = new LoggingState();
  return *instance;
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

std::string_view baseNameOf(const char* file) {
  std::string_view path(file != nullptr ? file : "");
  size_t last = path.find_last_of("\\/");
  return last == std::string_view::npos ? path : path.substr(last + 1);
}

// Parses a whole decimal number, with an optional minus sign.
bool parseLevel(std::string_view text, int* level) {
  if (text.empty() || text.size() > 9) return false;
  std::string copy(text);
  char* end = nullptr;
  long value = strtol(copy.c_str(), &end, 10);
  if (end != copy.c_str() + copy.size()) return false;
  *level = static_cast<int>(value);
  return true;
}

// Append-only access: every write lands at the current end of the file, in
// one piece, even if a writer that lacks the mutex writes at the same time.
HANDLE openForAppending(const wchar_t* path) {
  return CreateFileW(path, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Called with the file lock held.
bool ensureLogFileOpen(LoggingState& s) {
  if (s.file.isValid()) return true;
  s.file.reset(openForAppending(s.logFile.c_str()));
  if (!s.file.isValid()) s.file.reset(openForAppending(L"debug.log"));
  return s.file.isValid();
}

// Holds the lock of the log file: the named mutex when there is one (it
// orders this process's threads as well as other processes), else the
// in-process lock. The mutex is waited for at most kLogFileLockTimeoutMs: a
// process that holds it for longer (stuck, or being debugged) must not stall
// the threads that log here.
class LogFileLock {
 public:
  explicit LogFileLock(LoggingState& s) : state_(s) {
    if (state_.mutex.isValid()) {
      // An abandoned mutex is owned all the same: its owner died mid-write,
      // which costs at most that one line.
      DWORD result = WaitForSingleObject(state_.mutex.get(), kLogFileLockTimeoutMs);
      ownsMutex_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    } else {
      AcquireSRWLockExclusive(state_.fileLock.native());
      ownsInProcessLock_ = true;
    }
  }
  ~LogFileLock() {
    // Only what was acquired is released: a mutex that we do not own must
    // not be released on someone else's behalf.
    if (ownsMutex_) ReleaseMutex(state_.mutex.get());
    if (ownsInProcessLock_) ReleaseSRWLockExclusive(state_.fileLock.native());
  }
  LogFileLock(const LogFileLock&) = delete;
  LogFileLock& operator=(const LogFileLock&) = delete;

  bool held() const { return ownsMutex_ || ownsInProcessLock_; }

 private:
  LoggingState& state_;
  bool ownsMutex_ = false;
  bool ownsInProcessLock_ = false;
};

void writeToLogFile(LoggingState& s, const std::string& line) {
  LogFileLock lock(s);
  if (!lock.held()) {
    // Written later, the line would land out of order: it is dropped.
    InterlockedIncrement(&s.droppedLines);
    return;
  }
  if (!ensureLogFileOpen(s)) return;
  // One write per line, so that a line is never split by another writer's.
  // A file that cannot be written loses the line; logging goes on.
  DWORD written = 0;
  WriteFile(s.file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void writeToStandardError(const std::string& line) {
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

void appendSeverityName(LogSeverity severity, std::string* out) {
  static const char* const kNames[] = {"INFO", "WARNING", "ERROR", "FATAL"};
  if (severity < 0) {
    // Unsigned negation: even the most negative int has a level.
    *out += "VERBOSE";
    *out += std::to_string(0u - static_cast<unsigned>(severity));
  } else if (severity <= LOG_SEVERITY_FATAL) {
    *out += kNames[severity];
  } else {
    *out += "UNKNOWN";
  }
}

std::string formatPrefix(LogSeverity severity, const char* file, int line) {
  const LoggingState& s = state();
  std::string prefix = "[";
  if (s.processId) prefix += std::to_string(GetCurrentProcessId()) + ":";
  if (s.threadId) prefix += std::to_string(GetCurrentThreadId()) + ":";
  if (s.timeStamp) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char buffer[32];
    snprintf(buffer, sizeof(buffer), "%02d%02d/%02d%02d%02d:", now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    prefix += buffer;
  }
  if (s.tickCount) prefix += std::to_string(GetTickCount()) + ":";
  appendSeverityName(severity, &prefix);
  prefix += ":";
  prefix += baseNameOf(file);
  prefix += "(" + std::to_string(line) + ")] ";
  return prefix;
}

// The message as it goes into the line: without a trailing line end, and
// with every control byte but tab spelt out, so that it stays one line (and
// one C string for OutputDebugStringA).
void appendMessageText(std::string_view text, std::string* out) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && byte != '\t') {
      char escaped[8];
      snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      *out += escaped;
    } else {
      out->push_back(c);
    }
  }
}

void dispatchLine(LogSeverity severity, const char* file, int line, size_t messageStart,
                  const std::string& fullLine) {
  LoggingState& s = state();
  if (s.handler != nullptr &&
      s.handler(s.handlerContext, severity, file, line, messageStart, fullLine)) {
    return;
  }
  if (s.destination & LOG_TO_SYSTEM_DEBUG_LOG) {
    OutputDebugStringA(fullLine.c_str());
    writeToStandardError(fullLine);
  } else if (severity == LOG_SEVERITY_ERROR || severity == LOG_SEVERITY_FATAL) {
    writeToStandardError(fullLine);
  }
  if (s.destination & LOG_TO_FILE) writeToLogFile(s, fullLine);
  if (severity == LOG_SEVERITY_FATAL) TerminateProcess(GetCurrentProcess(), kLogFatalExitCode);
}

}  // namespace

bool initLogging(const LoggingSettings& settings) {
  if ((settings.destination & LOG_TO_FILE) && settings.logFile.empty()) return false;
  LoggingState& s = state();
  {
    LogFileLock lock(s);
    s.file.reset();
  }
  s.mutex.reset();
  s.destination = settings.destination;
  s.logFile = settings.logFile;
  s.locking = settings.locking;

  const CommandLine& commandLine = CommandLine::forCurrentProcess();
  setVlogLevels(commandLine.switchValueAscii("v"), commandLine.switchValueAscii("vmodule"));

  if (!(s.destination & LOG_TO_FILE)) return true;
  if (s.locking == LOCK_LOG_FILE_ACROSS_PROCESSES) {
    // Without the mutex the in-process lock still orders this process.
    s.mutex.reset(CreateMutexW(nullptr, FALSE, logFileMutexName(s.logFile).c_str()));
  }
  LogFileLock lock(s);
  // Fails while another process holds the file open; both then append. Not
  // tried without the lock: another process may be in the middle of a line.
  if (lock.held() && settings.oldFile == DELETE_OLD_LOG_FILE) DeleteFileW(s.logFile.c_str());
  // No other thread logs yet, so the file may be opened even without it.
  ensureLogFileOpen(s);
  return true;
}

uint32_t droppedLogFileLines() {
  return static_cast<uint32_t>(InterlockedCompareExchange(&state().droppedLines, 0, 0));
}

std::wstring logFileMutexName(const std::wstring& logFile) {
  std::wstring name = L"Global\\" + logFile;
  for (size_t i = 7; i < name.size(); ++i) {
    if (name[i] == L'\\') name[i] = L'/';
  }
  return name;
}

void setLogItems(bool processId, bool threadId, bool timeStamp, bool tickCount) {
  LoggingState& s = state();
  s.processId = processId;
  s.threadId = threadId;
  s.timeStamp = timeStamp;
  s.tickCount = tickCount;
}

void setLogMessageHandler(LogMessageHandler handler, void* context) {
  LoggingState& s = state();
  s.handler = handler;
  s.handlerContext = context;
}

LogMessageHandler logMessageHandler() { return state().handler; }

void setVlogLevels(std::string_view v, std::string_view vmodule) {
  LoggingState& s = state();
  int verbosity = 0;
  s.verbosity = parseLevel(v, &verbosity) ? verbosity : 0;
  s.vmodule.clear();
  while (!vmodule.empty()) {
    size_t comma = vmodule.find(',');
    std::string_view entry = vmodule.substr(0, comma);
    vmodule = comma == std::string_view::npos ? std::string_view() : vmodule.substr(comma + 1);
    size_t equals = entry.rfind('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    int level = 0;
    if (!parseLevel(entry.substr(equals + 1), &level)) continue;
    std::string_view pattern = entry.substr(0, equals);
    bool matchesPath = pattern.find_first_of("\\/") != std::string_view::npos;
    s.vmodule.push_back(VlogPattern{std::string(pattern), matchesPath, level});
  }
}

int vlogLevel(const char* file) {
  const LoggingState& s = state();
  if (s.vmodule.empty()) return s.verbosity;
  std::string_view path(file != nullptr ? file : "");
  std::string_view module = baseNameOf(file);
  size_t dot = module.rfind('.');
  if (dot != std::string_view::npos) module = module.substr(0, dot);
  for (const VlogPattern& entry : s.vmodule) {
    if (matchVlogPattern(entry.matchesPath ? path : module, entry.pattern)) return entry.level;
  }
  return s.verbosity;
}

bool matchVlogPattern(std::string_view text, std::string_view pattern) {
  // Greedy matching that backtracks only to the last star: linear for
  // patterns without stars, at most text times pattern steps otherwise.
  size_t t = 0;
  size_t p = 0;
  size_t star = std::string_view::npos;
  size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t] ||
                                      (isSeparator(pattern[p]) && isSeparator(text[t])))) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string systemErrorSuffix(DWORD error) {
  wchar_t buffer[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, buffer, ARRAYSIZE(buffer), nullptr);
  std::string text;
  if (length > 0 && length < ARRAYSIZE(buffer)) {
    // Some system texts run over several lines: make them one.
    for (char c : wideToUtf8(std::wstring_view(buffer, length))) {
      bool lineEnd = c == '\r' || c == '\n';
      if (!lineEnd) {
        text.push_back(c);
      } else if (!text.empty() && text.back() != ' ') {
        text.push_back(' ');
      }
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  }
  if (text.empty()) text = "Unknown error";
  char code[16];
  snprintf(code, sizeof(code), "0x%lX", static_cast<unsigned long>(error));
  return ": " + text + " (" + code + ")";
}

LogMessage::LogMessage(const char* file, int line, LogSeverity severity)
    : file_(file), line_(line), severity_(severity), withSystemError_(false), systemError_(0) {}

LogMessage::LogMessage(const char* file, int line, LogSeverity severity, DWORD systemError)
    : file_(file),
      line_(line),
      severity_(severity),
      withSystemError_(true),
      systemError_(systemError) {}

LogMessage::~LogMessage() {
  // The caller may go on to act on its own last error.
  DWORD savedError = GetLastError();
  std::string fullLine = formatPrefix(severity_, file_, line_);
  size_t messageStart = fullLine.size();
  std::string text = stream_.str();
  appendMessageText(text, &fullLine);
  if (withSystemError_) appendMessageText(systemErrorSuffix(systemError_), &fullLine);
  fullLine.push_back('\n');
  dispatchLine(severity_, file_, line_, messageStart, fullLine);
  SetLastError(savedError);
}

}  // namespace tavra
