#include "desktop/windows/crash_reporter/logs/reporter_log.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "desktop/windows/crash_reporter/logs/reporter_log_test_support.h"
#include "runtime/file_util.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/scoped_holder.h"
#include "testing/test_support/scoped_current_directory.h"

namespace tavra {
namespace {

using testing_support::listDirectory;
using testing_support::ParsedLogLine;
using testing_support::parseLogLine;
using testing_support::runProgram;
using testing_support::ScopedTempDir;
using testing_support::splitLines;
using testing_support::startProgram;
using testing_support::waitForExit;

const wchar_t kWriter[] = L"tavra_log_writer.exe";

// Points TMP and TEMP of this process, and so of the programs it starts, at a
// fresh directory, and gives it a fresh current directory ("cwd" in it).
class ReporterLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    temp_ = joinPath(dir_.path(), L"temp");
    cwd_ = joinPath(dir_.path(), L"cwd");
    ASSERT_TRUE(CreateDirectoryW(temp_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(cwd_.c_str(), nullptr));
    ASSERT_TRUE(currentDirectory_.enter(cwd_));
    setTempPath(temp_ + L"\\");
    logPath_ = joinPath(temp_, kReporterLogFileName);
  }
  void TearDown() override {
    // Closes the log file, so that the directory can go.
    setLogMessageHandler(nullptr, nullptr);
    initLogging(LoggingSettings());
  }

  static void setTempPath(const std::wstring& path) {
    SetEnvironmentVariableW(L"TMP", path.c_str());
    SetEnvironmentVariableW(L"TEMP", path.c_str());
  }

  static std::string read(const std::wstring& path) {
    std::string contents;
    readFileToString(path, &contents);
    return contents;
  }

  // The standard error stream is a text-mode stream: its line ends are CR LF.
  static std::string readStandardError(const std::wstring& path) {
    std::string contents = read(path);
    std::string lines;
    for (size_t i = 0; i < contents.size(); ++i) {
      if (contents[i] == '\r' && i + 1 < contents.size() && contents[i + 1] == '\n') continue;
      lines.push_back(contents[i]);
    }
    return lines;
  }

  // The messages of the log's lines; every line must be whole.
  static std::vector<std::string> messagesOf(const std::string& log) {
    std::vector<std::string> messages;
    EXPECT_TRUE(log.empty() || log.back() == '\n');
    for (const std::string& line : splitLines(log)) {
      ParsedLogLine parsed;
      EXPECT_TRUE(parseLogLine(line, &parsed)) << line;
      messages.push_back(parsed.message);
    }
    return messages;
  }

  // A name for an event of this test, unique on the machine.
  static std::wstring eventName(const std::wstring& what) {
    static int counter = 0;
    return L"TavraLogTest" + what + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(GetTickCount()) + L"_" + std::to_wstring(++counter);
  }

  // Another process that holds the log file's mutex from its start until
  // `release` (or, abandoning it, until its end).
  struct LockHolder {
    ScopedHandle process;
    ScopedHandle go;
    void release() { SetEvent(go.get()); }
  };
  LockHolder holdLogLock(bool abandon) {
    LockHolder holder;
    std::wstring readyName = eventName(L"HolderReady");
    std::wstring goName = eventName(L"HolderGo");
    ScopedHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    holder.go.reset(CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
    EXPECT_TRUE(ready.isValid() && holder.go.isValid());
    holder.process = startProgram(kWriter,
                                  L"--hold-lock --ready-event=" + readyName + L" --go-event=" +
                                      goName + (abandon ? L" --abandon" : L""),
                                  cwd_, L"");
    EXPECT_TRUE(holder.process.isValid());
    HANDLE handles[2] = {ready.get(), holder.process.get()};
    // The holder's end before it is ready would be a failure to take the lock.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, handles, FALSE, 30000));
    return holder;
  }
  // Three writer processes of six threads each log at once into `logPath`.
  void expectWholeLinesFromManyWriters(const std::wstring& logPath);

  static bool stillRunning(const ScopedHandle& process) {
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
  }

  ScopedTempDir dir_;
  std::wstring temp_;
  std::wstring cwd_;
  std::wstring logPath_;
  ScopedCurrentDirectory currentDirectory_;
};

TEST_F(ReporterLogTest, StartReplacesTheOldFileAndWritesTheFullPrefix) {
  std::wstring path;
  ASSERT_TRUE(reporterLogFilePath(&path));
  EXPECT_EQ(logPath_, path);
  ASSERT_TRUE(writeFile(logPath_, "line of an earlier reporter\n"));

  initReporterLog();
  // clang-format off
  TAVRA_LOG(WARNING) << "fresh"; const int line = __LINE__;
  // clang-format on
  SetLastError(ERROR_ACCESS_DENIED);
  TAVRA_PLOG(ERROR) << "OpenProcess failed for process " << 42;

  std::vector<std::string> lines = splitLines(read(logPath_));
  ASSERT_EQ(2u, lines.size());
  ParsedLogLine parsed;
  ASSERT_TRUE(parseLogLine(lines[0], &parsed)) << lines[0];
  EXPECT_EQ(GetCurrentProcessId(), parsed.processId);
  EXPECT_EQ(GetCurrentThreadId(), parsed.threadId);
  EXPECT_EQ("WARNING", parsed.severity);
  EXPECT_EQ("reporter_log_test.cc", parsed.file);
  EXPECT_EQ(static_cast<unsigned long>(line), parsed.line);
  EXPECT_EQ("fresh", parsed.message);
  ASSERT_TRUE(parseLogLine(lines[1], &parsed)) << lines[1];
  EXPECT_EQ("ERROR", parsed.severity);
  EXPECT_EQ(0u, parsed.message.find("OpenProcess failed for process 42: "));
  EXPECT_NE(std::string::npos, parsed.message.find(" (0x5)"));

  // The file is guarded by the mutex named after its path.
  EXPECT_EQ(L"Global\\C:/Temp/dir/tavra_crashreporter.log",
            logFileMutexName(L"C:\\Temp\\dir/tavra_crashreporter.log"));
  ScopedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, logFileMutexName(logPath_).c_str()));
  EXPECT_TRUE(mutex.isValid());
}

// The capture takes the handling thread's messages only, and only while it
// lasts; another thread's messages go to the file meanwhile.
TEST_F(ReporterLogTest, CaptureDivertsOnlyItsThreadWhileItLasts) {
  initReporterLog();
  TAVRA_LOG(INFO) << "before";
  std::string captured;
  {
    LogCapture capture;
    std::thread worker([] {
      for (int i = 0; i < 50; ++i) TAVRA_LOG(INFO) << "worker " << i;
    });
    for (int i = 0; i < 50; ++i) TAVRA_LOG(ERROR) << "handler " << i;
    worker.join();
    captured = capture.text();
  }
  TAVRA_LOG(INFO) << "after";

  std::vector<std::string> expected = {"before"};
  for (int i = 0; i < 50; ++i) expected.push_back("worker " + std::to_string(i));
  expected.push_back("after");
  EXPECT_EQ(expected, messagesOf(read(logPath_)));
  EXPECT_EQ(std::string::npos, captured.find("worker"));
  EXPECT_EQ(50u, splitLines(captured).size());
}

TEST_F(ReporterLogTest, UnusableLogFileFallsBackToDebugLogThenToNothing) {
  // A directory in the way of the log file.
  ASSERT_TRUE(CreateDirectoryW(logPath_.c_str(), nullptr));
  initReporterLog();
  TAVRA_LOG(INFO) << "into debug.log";
  std::wstring debugLog = joinPath(cwd_, L"debug.log");
  EXPECT_EQ(std::vector<std::string>{"into debug.log"}, messagesOf(read(debugLog)));

  // With debug.log in the way too, file output is dropped and logging goes on.
  initLogging(LoggingSettings());  // Closes debug.log.
  ASSERT_TRUE(DeleteFileW(debugLog.c_str()));
  ASSERT_TRUE(CreateDirectoryW(debugLog.c_str(), nullptr));
  initReporterLog();
  TAVRA_LOG(INFO) << "dropped";
  TAVRA_LOG(ERROR) << "dropped too";
  EXPECT_EQ(std::vector<std::wstring>{kReporterLogFileName}, listDirectory(temp_));
  EXPECT_EQ(std::vector<std::wstring>{L"debug.log"}, listDirectory(cwd_));
  EXPECT_TRUE(directoryExists(debugLog));
}

TEST_F(ReporterLogTest, TemporaryPathMustLeaveRoomForTheFileName) {
  // 237 characters with the final backslash make a 260-character log path,
  // which fits with its null in 261; one more does not.
  std::wstring longest = joinPath(temp_, L"");
  longest += std::wstring(236 - longest.size(), L'd');
  ASSERT_EQ(236u, longest.size());
  ASSERT_TRUE(CreateDirectoryW(longest.c_str(), nullptr));
  setTempPath(longest + L"\\");
  std::wstring path;
  ASSERT_TRUE(reporterLogFilePath(&path));
  EXPECT_EQ(260u, path.size());
  initReporterLog();
  TAVRA_LOG(INFO) << "at the limit";
  EXPECT_EQ(std::vector<std::string>{"at the limit"}, messagesOf(read(path)));

  setTempPath(longest + L"e\\");
  EXPECT_FALSE(reporterLogFilePath(&path));
}

// Without a log file every line goes to the standard error stream (and the
// system debug output); no file is made anywhere.
TEST_F(ReporterLogTest, TooLongTemporaryPathSendsLinesToStandardError) {
  // 250 characters: a temporary path that the system gives, but too long for
  // the log file's name.
  std::wstring tooLong = joinPath(temp_, L"");
  tooLong += std::wstring(249 - tooLong.size(), L'l') + L"\\";
  setTempPath(tooLong);
  std::wstring errors = joinPath(dir_.path(), L"stderr.txt");
  ASSERT_EQ(0, runProgram(kWriter, L"--lines=3", cwd_, errors));
  std::vector<std::string> messages = messagesOf(readStandardError(errors));
  ASSERT_EQ(3u, messages.size());
  EXPECT_EQ(0u, messages[2].find("writer "));
  EXPECT_TRUE(listDirectory(temp_).empty());
  EXPECT_TRUE(listDirectory(cwd_).empty());
}

// ERROR and FATAL lines go to the standard error stream as well; a FATAL one
// that no capture takes ends the process.
TEST_F(ReporterLogTest, ErrorsReachStandardErrorAndFatalEndsTheProcess) {
  std::wstring errors = joinPath(dir_.path(), L"stderr.txt");
  EXPECT_EQ(static_cast<long>(kLogFatalExitCode),
            runProgram(kWriter, L"--lines=2 --error --fatal", cwd_, errors));
  EXPECT_EQ((std::vector<std::string>{"writer error line", "writer fatal line"}),
            messagesOf(readStandardError(errors)));
  std::vector<std::string> logged = messagesOf(read(logPath_));
  ASSERT_EQ(4u, logged.size());
  EXPECT_EQ("writer error line", logged[2]);
  EXPECT_EQ("writer fatal line", logged[3]);  // And no "after fatal".
}

TEST_F(ReporterLogTest, VerbositySwitchesOfTheCommandLine) {
  ASSERT_EQ(0, runProgram(kWriter, L"--verbose", cwd_, L""));
  EXPECT_TRUE(read(logPath_).empty());
  ASSERT_EQ(0, runProgram(kWriter, L"--verbose --v=1", cwd_, L""));
  EXPECT_EQ(std::vector<std::string>{"verbose one"}, messagesOf(read(logPath_)));
  ASSERT_EQ(0, runProgram(kWriter, L"--verbose --v=1 --vmodule=log_wr?ter=2", cwd_, L""));
  std::string log = read(logPath_);
  EXPECT_EQ((std::vector<std::string>{"verbose one", "verbose two"}), messagesOf(log));
  EXPECT_NE(std::string::npos, log.find(":VERBOSE2:log_writer.cc("));
}

// Two reporters that run at once share the file: the second one's deletion
// fails while the first holds it open, and the mutex orders their lines.
TEST_F(ReporterLogTest, TwoReportersShareTheLogWithoutLosingLines) {
  const int kLines = 1000;
  std::wstring tag =
      std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount());
  std::wstring goName = L"TavraLogTestGo" + tag;
  ScopedHandle go(CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
  ASSERT_TRUE(go.isValid());
  ScopedHandle ready[2];
  ScopedHandle writers[2];
  for (int i = 0; i < 2; ++i) {
    std::wstring readyName = L"TavraLogTestReady" + tag + L"_" + std::to_wstring(i);
    ready[i].reset(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    ASSERT_TRUE(ready[i].isValid());
    writers[i] = startProgram(kWriter,
                              L"--lines=" + std::to_wstring(kLines) + L" --ready-event=" +
                                  readyName + L" --go-event=" + goName,
                              cwd_, L"");
    ASSERT_TRUE(writers[i].isValid());
  }
  // Both have set up the log before either writes.
  HANDLE readyHandles[2] = {ready[0].get(), ready[1].get()};
  ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, readyHandles, TRUE, 30000));
  SetEvent(go.get());
  EXPECT_EQ(0, waitForExit(writers[0]));
  EXPECT_EQ(0, waitForExit(writers[1]));

  std::string log = read(logPath_);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ('\n', log.back());
  std::map<unsigned long, int> nextLineOf;
  int total = 0;
  const std::string padding(200, 'x');
  for (const std::string& line : splitLines(log)) {
    ParsedLogLine parsed;
    ASSERT_TRUE(parseLogLine(line, &parsed)) << line;
    int& next = nextLineOf[parsed.processId];
    EXPECT_EQ("writer " + std::to_string(parsed.processId) + " line " + std::to_string(next) + " " +
                  padding,
              parsed.message);
    ++next;
    ++total;
  }
  EXPECT_EQ(2 * kLines, total);
  ASSERT_EQ(2u, nextLineOf.size());
  for (const auto& writer : nextLineOf) EXPECT_EQ(kLines, writer.second);
}

// Many threads of several reporters log at once: every line is whole, none is
// lost, and each thread's lines keep their order. So too with the longest log
// path, whose mutex name may be too long for the system: then each line is
// still one append of its own.
TEST_F(ReporterLogTest, ManyThreadsOfSeveralProcessesNeitherInterleaveNorLoseLines) {
  std::wstring longest = joinPath(temp_, L"");
  longest += std::wstring(236 - longest.size(), L'd');
  ASSERT_TRUE(CreateDirectoryW(longest.c_str(), nullptr));
  for (const std::wstring& temp : {temp_, longest}) {
    SCOPED_TRACE(testing::Message() << "temporary directory of " << temp.size() << " characters");
    setTempPath(temp + L"\\");
    expectWholeLinesFromManyWriters(joinPath(temp, kReporterLogFileName));
  }
}

void ReporterLogTest::expectWholeLinesFromManyWriters(const std::wstring& logPath) {
  const int kProcesses = 3;
  const int kThreads = 6;
  const int kLines = 120;
  std::wstring goName = eventName(L"Go");
  ScopedHandle go(CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
  ASSERT_TRUE(go.isValid());
  std::vector<ScopedHandle> ready;
  std::vector<ScopedHandle> writers;
  for (int i = 0; i < kProcesses; ++i) {
    std::wstring readyName = eventName(L"Ready");
    ready.emplace_back(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    ASSERT_TRUE(ready.back().isValid());
    writers.push_back(startProgram(kWriter,
                                   L"--lines=" + std::to_wstring(kLines) + L" --threads=" +
                                       std::to_wstring(kThreads) + L" --ready-event=" + readyName +
                                       L" --go-event=" + goName,
                                   cwd_, L""));
    ASSERT_TRUE(writers.back().isValid());
  }
  for (const ScopedHandle& event : ready) {
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event.get(), 30000));
  }
  SetEvent(go.get());
  for (const ScopedHandle& writer : writers) EXPECT_EQ(0, waitForExit(writer));

  std::string log = read(logPath);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ('\n', log.back());
  // The next line of each writer's thread, and the system thread id that it
  // logs from.
  std::map<std::pair<unsigned long, int>, int> nextLineOf;
  std::map<std::pair<unsigned long, int>, unsigned long> threadIdOf;
  const std::string padding(200, 'x');
  int total = 0;
  for (const std::string& line : splitLines(log)) {
    ParsedLogLine parsed;
    ASSERT_TRUE(parseLogLine(line, &parsed)) << line;
    unsigned long pid = 0;
    int thread = -1;
    int number = -1;
    int consumed = 0;
    ASSERT_EQ(3, sscanf(parsed.message.c_str(), "writer %lu thread %d line %d %n", &pid, &thread,
                        &number, &consumed))
        << line;
    EXPECT_EQ(parsed.processId, pid) << line;
    EXPECT_EQ(padding, parsed.message.substr(consumed)) << line;
    auto key = std::make_pair(pid, thread);
    EXPECT_EQ(nextLineOf[key]++, number) << line;
    auto known = threadIdOf.emplace(key, parsed.threadId);
    EXPECT_EQ(known.first->second, parsed.threadId) << line;
    ++total;
  }
  EXPECT_EQ(kProcesses * kThreads * kLines, total);
  ASSERT_EQ(static_cast<size_t>(kProcesses * kThreads), nextLineOf.size());
  for (const auto& writer : nextLineOf) EXPECT_EQ(kLines, writer.second);
}

// A process that holds the log file's mutex for long stalls no one beyond the
// bound: each line is dropped and counted, ERROR lines still reach the
// standard error stream, and nothing is written out of order later.
TEST_F(ReporterLogTest, LockHeldForLongDropsLinesAfterTheBound) {
  initReporterLog();
  TAVRA_LOG(INFO) << "before";
  LockHolder holder = holdLogLock(false);
  const uint32_t droppedBefore = droppedLogFileLines();

  const int kThreads = 16;
  std::vector<ULONGLONG> waited(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([i, &waited] {
      ULONGLONG start = GetTickCount64();
      TAVRA_LOG(INFO) << "held " << i;
      waited[i] = GetTickCount64() - start;
    });
  }
  for (std::thread& thread : threads) thread.join();
  // Every thread came back while the lock was still held: none waited for
  // its release. Each did wait for the lock first, about as long as the bound.
  EXPECT_TRUE(stillRunning(holder.process));
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_GE(waited[i] + 100, kLogFileLockTimeoutMs) << "thread " << i;
  }
  EXPECT_EQ(droppedBefore + kThreads, droppedLogFileLines());

  // Another reporter fares the same, and its ERROR line still shows.
  std::wstring errors = joinPath(dir_.path(), L"stderr.txt");
  EXPECT_EQ(0, runProgram(kWriter, L"--lines=1 --error", cwd_, errors));
  EXPECT_TRUE(stillRunning(holder.process));
  EXPECT_EQ(std::vector<std::string>{"writer error line"}, messagesOf(readStandardError(errors)));

  holder.release();
  EXPECT_EQ(0, waitForExit(holder.process));
  TAVRA_LOG(INFO) << "after";
  EXPECT_EQ((std::vector<std::string>{"before", "after"}), messagesOf(read(logPath_)));
  EXPECT_EQ(droppedBefore + kThreads, droppedLogFileLines());
}

// A reporter that died holding the mutex leaves it abandoned, which the next
// writer owns at once: no line is lost.
TEST_F(ReporterLogTest, LockOfADeadReporterCostsNoLines) {
  initReporterLog();
  LockHolder holder = holdLogLock(true);
  holder.release();
  ASSERT_EQ(0, waitForExit(holder.process));
  const uint32_t droppedBefore = droppedLogFileLines();
  TAVRA_LOG(INFO) << "after the holder died";
  TAVRA_LOG(INFO) << "and once more";
  EXPECT_EQ((std::vector<std::string>{"after the holder died", "and once more"}),
            messagesOf(read(logPath_)));
  EXPECT_EQ(droppedBefore, droppedLogFileLines());
}

// Crash-handling threads log into their captures, which never wait for the
// log file: with its lock held elsewhere, sixteen captures at once each get
// exactly their own thread's messages, and nothing is dropped.
TEST_F(ReporterLogTest, CapturesNeverWaitForTheLogFile) {
  initReporterLog();
  LockHolder holder = holdLogLock(false);
  const uint32_t droppedBefore = droppedLogFileLines();
  const int kThreads = 16;
  const int kMessages = 100;
  std::vector<std::string> captured(kThreads);
  ScopedHandle start(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([i, &captured, &start] {
      LogCapture capture;
      WaitForSingleObject(start.get(), INFINITE);
      for (int m = 0; m < kMessages; ++m) {
        LogMessage("C:\\src\\snapshot.cc", m, m % 2 == 0 ? LOG_SEVERITY_ERROR : 0).stream()
            << "crash " << i << " message " << m;
      }
      captured[i] = capture.text();
    });
  }
  SetEvent(start.get());
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(stillRunning(holder.process));

  for (int i = 0; i < kThreads; ++i) {
    std::string expected;
    for (int m = 0; m < kMessages; ++m) {
      expected += "snapshot.cc:" + std::to_string(m) + ":crash " + std::to_string(i) + " message " +
                  std::to_string(m) + "\n";
    }
    EXPECT_EQ(expected, captured[i]) << "capture " << i;
  }
  EXPECT_EQ(droppedBefore, droppedLogFileLines());
  holder.release();
  EXPECT_EQ(0, waitForExit(holder.process));
  EXPECT_TRUE(read(logPath_).empty());
}

}  // namespace
}  // namespace tavra
