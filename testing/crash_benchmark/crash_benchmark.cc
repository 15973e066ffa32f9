// Prints, in one run, for crashes of a test client that holds 64 blocked
// threads and about 100 extra modules, each handled by the real reporter:
// - how long the client is blocked, from its dump request to dump done,
//   beside the floor measured in the same run: the snapshot's system calls
//   without parsing (capture_floor.h), the same stack and memory reads as the
//   crash log's, and writing a file of the crash log's size with no
//   formatting;
// - the size of the crash log;
// - the reporter's memory at start-up and its peak after the crashes.
//
// It plays the browser: it starts the reporter with itself as the parent. The
// client asks with a hand-made exception (the test client's "dump-raw * * *"),
// so that the same process can crash again and again; each request is one
// crash with a crash log of its own. Crashes and floors alternate.
// Switches: --repetitions=N (10), --threads=N (64), --modules=N (100).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/scoped_handle.h"
#include "testing/benchmark_support/benchmark_clock.h"
#include "testing/benchmark_support/capture_floor.h"
#include "testing/benchmark_support/crash_floor.h"
#include "testing/benchmark_support/reporter_process.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/process_figures.h"
#include "testing/test_support/crash_log_reader.h"

namespace tavra {
namespace {

std::vector<std::string> tokens(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> result;
  for (std::string token; in >> token;) result.push_back(token);
  return result;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The microseconds that the client reported for its request, or -1.
double blockedMilliseconds(const std::string& reply) {
  const size_t at = reply.find(" blocked-us=");
  if (!startsWith(reply, "dump done") || at == std::string::npos) return -1;
  return std::strtod(reply.c_str() + at + 12, nullptr) / 1000.0;
}

// The memory that a crash log dumps, as ranges: consecutive dump lines that
// follow each other make one range.
std::vector<AddressRange> dumpedRanges(const CrashLog& log) {
  std::vector<AddressRange> ranges;
  for (const auto& line : log.dumpLines) {
    if (!ranges.empty() && ranges.back().second == line.first) {
      ranges.back().second += line.second;
    } else {
      ranges.emplace_back(line.first, line.first + line.second);
    }
  }
  return ranges;
}

// The floor of one crash: the snapshot's system calls, then the crash log's
// reads and a file of its size. Returns the bytes read.
uint64_t crashFloor(uint32_t processId, uint32_t pointersAddress, uint32_t threadIdAddress,
                    const std::vector<AddressRange>& ranges, uint64_t logSize,
                    const std::wstring& scratchFile, FloorCounts* counts) {
  *counts = captureFloor(processId, pointersAddress, threadIdAddress);
  return crashLogFloor(processId, counts->stackPointers, ranges, logSize, scratchFile);
}

// The crash logs go; the folder stays, as it is the reporter's current
// folder until the reporter ends after this process.
void deleteCrashLogs(const std::wstring& crashDir) {
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(joinPath(crashDir, L"tavra-crashlog-*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    DeleteFileW(joinPath(crashDir, data.cFileName).c_str());
  } while (FindNextFileW(find, &data));
  FindClose(find);
}

void printMemoryRow(const char* name, uint64_t atStart, uint64_t peak) {
  std::printf("  %-22s %16llu %24llu\n", name, static_cast<unsigned long long>(atStart),
              static_cast<unsigned long long>(peak));
}

int run() {
  const uint32_t repetitions = std::max<uint32_t>(1, switchNumber("repetitions", 10));
  const uint32_t threads = switchNumber("threads", 64);
  const uint32_t modules = switchNumber("modules", 100);

  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring crashDir =
      joinPath(temp, L"tavra_crash_benchmark_" + std::to_wstring(GetCurrentProcessId()));
  ReporterProcess reporter;
  if (!reporter.start(crashDir)) {
    std::printf("the reporter could not be started beside the benchmark\n");
    return 1;
  }
  ProcessFigures atStart;
  readProcessFigures(reporter.process(), reporter.processId(), &atStart);

  ChildProcess client;
  if (!client.start(siblingProgramPath(L"tavra_test_client.exe"),
                    L"--annotations=16 --reporter-pid=" + std::to_wstring(reporter.processId()))) {
    std::printf("the test client could not start\n");
    return 1;
  }
  const std::string threadsReply = client.command("threads " + std::to_string(threads));
  const std::string modulesReply = client.command("modules " + std::to_string(modules), 60000);
  client.command("set version 4.3.2.1");
  client.command("set process_type renderer");
  const std::string registered = client.command("register");
  const std::vector<std::string> info = tokens(client.command("info"));
  if (!startsWith(threadsReply, "threads ") || !startsWith(registered, "registered ") ||
      info.size() != 14) {
    std::printf("the test client did not set up: %s / %s\n", threadsReply.c_str(),
                registered.c_str());
    return 1;
  }
  const uint32_t clientId = client.processId();
  const uint32_t threadIdAddress = static_cast<uint32_t>(std::stoul(info[4]));
  const uint32_t pointersAddress = static_cast<uint32_t>(std::stoul(info[5]));

  // Once for warm caches, unmeasured: crash log 1.
  if (blockedMilliseconds(client.command("dump-raw * * *", 60000)) < 0) {
    std::printf("the reporter did not answer the first crash\n");
    return 1;
  }
  std::vector<double> crashMs, floorMs, attachMs;
  uint64_t logSize = 0;
  uint64_t floorBytesRead = 0;
  CrashLog log;
  std::vector<AddressRange> ranges;
  FloorCounts counts;
  for (uint32_t i = 0; i < repetitions; ++i) {
    const double blocked = blockedMilliseconds(client.command("dump-raw * * *", 60000));
    if (blocked < 0) {
      std::printf("crash %u was not answered\n", i + 2);
      return 1;
    }
    crashMs.push_back(blocked);
    const std::wstring logPath =
        joinPath(crashDir, L"tavra-crashlog-" + std::to_wstring(reporter.processId()) + L"-" +
                               std::to_wstring(i + 2) + L".txt");
    FileInfo file;
    if (!getFileInfo(logPath, &file)) {
      std::printf("crash %u left no crash log\n", i + 2);
      return 1;
    }
    logSize = file.size;
    if (i == 0) {
      std::string error;
      if (!readCrashLog(logPath, &log, &error)) {
        std::printf("the crash log could not be read: %s\n", error.c_str());
        return 1;
      }
      ranges = dumpedRanges(log);
    }

    LARGE_INTEGER start = counterNow();
    floorBytesRead = crashFloor(clientId, pointersAddress, threadIdAddress, ranges, logSize,
                                joinPath(crashDir, L"floor.txt"), &counts);
    floorMs.push_back(millisecondsSince(start));

    start = counterNow();
    if (DebugActiveProcess(clientId)) DebugActiveProcessStop(clientId);
    attachMs.push_back(millisecondsSince(start));
  }
  ProcessFigures after;
  readProcessFigures(reporter.process(), reporter.processId(), &after);
  client.sendLine("exit 0");
  client.waitForExit(5000);
  deleteCrashLogs(crashDir);

  uint64_t dumpedBytes = 0;
  for (const auto& range : ranges) dumpedBytes += range.second - range.first;
  std::printf("Crash of a waiting test client handled by the reporter (%s; %u repetitions,\n",
              modulesReply.c_str(), repetitions);
  std::printf("median)\n");
  std::printf("  crash log: %llu bytes; %zu thread sections, %zu modules, %llu bytes dumped\n",
              static_cast<unsigned long long>(logSize), log.threads.size(), log.modules.size(),
              static_cast<unsigned long long>(dumpedBytes));
  std::printf("  floor saw: %u modules, %u threads; read %llu bytes\n", counts.modules,
              counts.threads, static_cast<unsigned long long>(floorBytesRead));
  std::printf("                                  crash          floor\n");
  std::printf("  client blocked, ms       %12.2f   %12.2f\n", median(crashMs), median(floorMs));
  std::printf("  (min %.2f / %.2f, max %.2f / %.2f)\n",
              *std::min_element(crashMs.begin(), crashMs.end()),
              *std::min_element(floorMs.begin(), floorMs.end()),
              *std::max_element(crashMs.begin(), crashMs.end()),
              *std::max_element(floorMs.begin(), floorMs.end()));
  std::printf(
      "  of the crash, not in the floor: attaching and detaching as a debugger, %.2f ms\n\n",
      median(attachMs));
  std::printf("Reporter memory (bytes)      at start-up    peak after %u crashes\n",
              repetitions + 1);
  printMemoryRow("working set", atStart.workingSetBytes, after.peakWorkingSetBytes);
  printMemoryRow("pagefile (virtual)", atStart.pagefileBytes, after.peakPagefileBytes);
  return 0;
}

}  // namespace
}  // namespace tavra

int main() {
  tavra::CommandLine::initForCurrentProcess();
  return tavra::run();
}
