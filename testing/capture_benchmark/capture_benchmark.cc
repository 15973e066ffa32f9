// Prints, in one run: the time of one snapshot capture of a waiting test
// client that holds 64 blocked threads and about 100 extra modules, beside
// the floor measured in the same run, and the capturing process's memory
// before, during and after a capture.
//
// The floor takes the same tool-help snapshots and reads the same bytes with
// no parsing (testing/benchmark_support/capture_floor.h).
//
// It plays the reporter: a dump request server in this process whose hook
// runs the capture, as the reporter's pipeline does, on the server's wait
// thread, while the client waits for dump-done. The client asks with a
// hand-made exception (the test client's "dump-raw * * *"), so that the same
// process can be captured again and again. Captures and floors alternate.
// Switches: --repetitions=N (15), --threads=N (64), --modules=N (100).
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"
#include "desktop/windows/crash_reporter/logs/log_capture.h"
#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "runtime/command_line.h"
#include "runtime/logging.h"
#include "runtime/scoped_handle.h"
#include "testing/benchmark_support/benchmark_clock.h"
#include "testing/benchmark_support/capture_floor.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"

namespace tavra {
namespace {

struct Memory {
  uint64_t pagefile = 0;
  uint64_t workingSet = 0;
};

Memory ownMemory() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  Memory memory;
  if (GetProcessMemoryInfo(GetCurrentProcess(),
                           reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters))) {
    memory.pagefile = counters.PagefileUsage;
    memory.workingSet = counters.WorkingSetSize;
  }
  return memory;
}

struct Results {
  std::vector<double> captureMs;
  std::vector<double> floorMs;
  uint32_t modules = 0;
  uint32_t threads = 0;
  uint32_t floorModules = 0;
  uint32_t floorThreads = 0;
  bool allCaptured = true;
  Memory before;
  Memory during;
  Memory after;
  size_t loggedBytes = 0;
};

struct Run {
  uint32_t repetitions = 0;
  Results results;
  ScopedHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

void measureOnDumpRequest(void* context, ReporterClient* client) {
  Run* run = static_cast<Run*>(context);
  Results& results = run->results;
  // Once for warm caches, unmeasured.
  {
    LogCapture capture;
    ProcessStateImpl warm;
    warm.capture(client->processId(), client->exceptionPointersAddress(),
                 client->threadIdAddress());
  }
  results.before = ownMemory();
  for (uint32_t i = 0; i < run->repetitions; ++i) {
    LogCapture capture;
    LARGE_INTEGER start = counterNow();
    {
      ProcessStateImpl state;
      const bool captured = state.capture(client->processId(), client->exceptionPointersAddress(),
                                          client->threadIdAddress());
      results.captureMs.push_back(millisecondsSince(start));
      results.allCaptured = results.allCaptured && captured;
      results.modules = static_cast<uint32_t>(state.modules().size());
      results.threads = static_cast<uint32_t>(state.threads().size());
      if (i == 0) results.during = ownMemory();
    }
    results.loggedBytes = capture.text().size();

    start = counterNow();
    const FloorCounts counts = captureFloor(client->processId(), client->exceptionPointersAddress(),
                                            client->threadIdAddress());
    results.floorMs.push_back(millisecondsSince(start));
    results.floorModules = counts.modules;
    results.floorThreads = counts.threads;
    results.allCaptured = results.allCaptured && counts.exceptionRead;
  }
  results.after = ownMemory();
  SetEvent(run->done.get());
}

void printMemoryRow(const char* name, uint64_t before, uint64_t during, uint64_t after) {
  std::printf("  %-14s %14llu %18llu %14llu\n", name, static_cast<unsigned long long>(before),
              static_cast<unsigned long long>(during), static_cast<unsigned long long>(after));
}

int run() {
  setLogMessageHandler(&captureLogMessage, nullptr);
  Run run;
  run.repetitions = std::max<uint32_t>(1, switchNumber("repetitions", 15));
  const uint32_t threads = switchNumber("threads", 64);
  const uint32_t modules = switchNumber("modules", 100);

  DumpRequestServer server(reporterPipeName(GetCurrentProcessId()), nullptr, nullptr, nullptr,
                           &measureOnDumpRequest, &run, nullptr, nullptr, nullptr, nullptr);
  if (!server.start()) {
    std::printf("the dump request server could not start\n");
    return 1;
  }
  ChildProcess client;
  if (!client.start(siblingProgramPath(L"tavra_test_client.exe"),
                    L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId()))) {
    std::printf("the test client could not start\n");
    server.stop();
    return 1;
  }
  const std::string registered = client.command("register");
  const std::string threadsReply = client.command("threads " + std::to_string(threads));
  const std::string modulesReply = client.command("modules " + std::to_string(modules), 60000);
  if (registered.compare(0, 11, "registered ") != 0 ||
      threadsReply.compare(0, 8, "threads ") != 0) {
    std::printf("the test client did not set up: %s / %s\n", registered.c_str(),
                threadsReply.c_str());
    server.stop();
    return 1;
  }
  // The client answers once all captures are done; the time-out covers them.
  client.sendLine("dump-raw * * *");
  if (WaitForSingleObject(run.done.get(), 600000) != WAIT_OBJECT_0) {
    std::printf("the captures did not finish\n");
    server.stop();
    return 1;
  }
  std::string answer;
  client.readLine(&answer, 10000);
  client.sendLine("exit 0");
  client.waitForExit(5000);
  server.stop();

  const Results& results = run.results;
  std::printf("Snapshot capture of a waiting test client (%s; %u repetitions, median)\n",
              modulesReply.c_str(), run.repetitions);
  std::printf("  captured: %u modules, %u threads%s\n", results.modules, results.threads,
              results.allCaptured ? "" : "   (SOME CAPTURES FAILED)");
  std::printf("  floor saw: %u modules, %u threads\n", results.floorModules, results.floorThreads);
  std::printf("                      capture          floor\n");
  std::printf("  milliseconds   %12.2f   %12.2f\n", median(results.captureMs),
              median(results.floorMs));
  std::printf("  (min %.2f / %.2f, max %.2f / %.2f)\n",
              *std::min_element(results.captureMs.begin(), results.captureMs.end()),
              *std::min_element(results.floorMs.begin(), results.floorMs.end()),
              *std::max_element(results.captureMs.begin(), results.captureMs.end()),
              *std::max_element(results.floorMs.begin(), results.floorMs.end()));
  std::printf("  diagnostic messages of one capture: %zu bytes\n\n", results.loggedBytes);
  std::printf("Capturing process memory (bytes)   before   with a snapshot held   after all\n");
  printMemoryRow("pagefile", results.before.pagefile, results.during.pagefile,
                 results.after.pagefile);
  printMemoryRow("working set", results.before.workingSet, results.during.workingSet,
                 results.after.workingSet);
  return results.allCaptured ? 0 : 1;
}

}  // namespace
}  // namespace tavra

int main() {
  tavra::CommandLine::initForCurrentProcess();
  return tavra::run();
}
