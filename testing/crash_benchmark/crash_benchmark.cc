// Prints, in one run, for crashes of test clients that hold 64 blocked
// threads and about 100 extra modules, each handled by the real reporter:
// - one crash at a time: how long the client is blocked, from its dump
//   request to dump done, beside the floor measured in the same run (the
//   snapshot's system calls without parsing, capture_floor.h; the same stack
//   and memory reads as the crash log's and writing a file of its size,
//   crash_floor.h) and their ratio; the crash log's size; the first request
//   alone, sent from this process to the same crash server; attaching as a
//   debugger and detaching;
// - 16 clients crashing at once: each one's blocked time, beside the floors
//   of the 16 crashes run at once on 16 threads of this process;
// - the reporter's memory at start-up, its peak after the single crashes and
//   its peak after the 16 at once.
//
// It plays the browser: it starts the reporter with itself as the parent.
// Run beside the local crash server (with_crash_server.sh, as
// tools/benchmark.sh does), the reporter sends its first requests and uploads
// there, and each crash's upload is stored before the next crash or floor is
// measured; otherwise the reporter's crash server is an address where nothing
// listens. A client asks with a hand-made exception (the test client's
// "dump-raw * * *"), so that the same process can crash again and again; each
// request is one crash with a crash log of its own, kept until the end.
// Switches: --repetitions=N (15), --threads=N (64), --modules=N (100),
// --burst=N (16 clients crashing at once; 0 for none).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "desktop/windows/crash_reporter/lifecycle/crash_pipeline.h"
#include "desktop/windows/crash_reporter/upload/first_request.h"
#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/scoped_holder.h"
#include "testing/benchmark_support/benchmark_clock.h"
#include "testing/benchmark_support/capture_floor.h"
#include "testing/benchmark_support/crash_floor.h"
#include "testing/benchmark_support/reporter_process.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/process_figures.h"
#include "testing/crash_server_session/local_crash_server.h"
#include "testing/test_support/crash_log_reader.h"
#include "testing/test_support/reporter_file_names.h"
#include "testing/test_support/test_text.h"

namespace tavra {
namespace {

constexpr DWORD kCrashTimeoutMs = 120000;
constexpr DWORD kUploadTimeoutMs = 120000;

// How long the client reported it was blocked by its request, in
// milliseconds; -1 when the request was not answered.
double blockedMilliseconds(const std::string& reply) {
  if (!startsWith(reply, "dump done")) return -1;
  const double micros = replyNumber(reply, "blocked-us", -1);
  return micros < 0 ? -1 : micros / 1000.0;
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

uint64_t bytesOf(const std::vector<AddressRange>& ranges) {
  uint64_t bytes = 0;
  for (const auto& range : ranges) bytes += range.second - range.first;
  return bytes;
}

// A registered test client with its blocked threads and extra modules.
struct Client {
  ChildProcess process;
  uint32_t processId = 0;
  uint32_t commandThreadId = 0;  // the thread that asks for the dump
  TargetAddress threadIdAddress = 0;
  TargetAddress pointersAddress = 0;
  std::string modulesReply;
};

bool setUpClient(Client* client, uint32_t reporterId, uint32_t threads, uint32_t modules) {
  if (!client->process.start(siblingProgramPath(L"tavra_test_client.exe"),
                             L"--annotations=16 --dump-timeout=" +
                                 std::to_wstring(kCrashTimeoutMs) + L" --reporter-pid=" +
                                 std::to_wstring(reporterId))) {
    std::printf("a test client could not start\n");
    return false;
  }
  const std::string threadsReply = client->process.command("threads " + std::to_string(threads));
  client->modulesReply = client->process.command("modules " + std::to_string(modules), 60000);
  client->process.command("set version 4.3.2.1");
  client->process.command("set process_type renderer");
  client->process.command("set active_url https://example.com/page");
  const std::string registered = client->process.command("register");
  const std::vector<std::string> info = tokens(client->process.command("info"));
  if (!startsWith(threadsReply, "threads ") || !startsWith(registered, "registered ") ||
      info.size() != 14) {
    std::printf("a test client did not set up: %s / %s\n", threadsReply.c_str(),
                registered.c_str());
    return false;
  }
  client->processId = client->process.processId();
  client->commandThreadId = static_cast<uint32_t>(std::stoul(info[12]));
  client->threadIdAddress = static_cast<TargetAddress>(std::stoull(info[4]));
  client->pointersAddress = static_cast<TargetAddress>(std::stoull(info[5]));
  return true;
}

// The reporter, its crash logs and the crash server that it talks to.
class Bench {
 public:
  bool start() {
    if (!reporter_.start(L"tavra_crash_benchmark")) {
      std::printf("the reporter could not be started beside the benchmark\n");
      return false;
    }
    readProcessFigures(reporter_.process(), reporter_.processId(), &atStart_);
    return true;
  }

  // Waits until every crash so far has its report stored, so that no upload
  // runs while the next figure is measured. True without a server.
  bool uploadsDone() {
    if (!reporter_.besideServer()) return true;
    if (reporter_.server().waitForReports(crashes_, kUploadTimeoutMs, nullptr)) return true;
    std::printf("the crash server did not store the report of crash %u\n", crashes_);
    return false;
  }

  // Counts one more crash and gives the path of its crash log.
  std::wstring nextLogPath() {
    ++crashes_;
    return logPath(crashes_);
  }
  std::wstring logPath(uint32_t crash) const {
    return joinPath(reporter_.crashDir(), crashFileName(reporter_.processId(), crash));
  }

  // The first request on its own, as the pipeline sends it.
  double firstRequestMilliseconds() const {
    std::wstring id, location;
    const LARGE_INTEGER start = counterNow();
    sendFirstRequest(reporter_.serverUrl(), L"", L"https://example.com/page", L"", &id, &location,
                     kFirstRequestTimeoutMs);
    return millisecondsSince(start);
  }

  void deleteCrashLogs() const { reporter_.deleteCrashLogs(); }

  ProcessFigures figures() const {
    ProcessFigures figures;
    readProcessFigures(reporter_.process(), reporter_.processId(), &figures);
    return figures;
  }

  uint32_t reporterId() const { return reporter_.processId(); }
  uint32_t crashes() const { return crashes_; }
  bool besideServer() const { return reporter_.besideServer(); }
  const std::wstring& crashDir() const { return reporter_.crashDir(); }
  const ProcessFigures& atStart() const { return atStart_; }

 private:
  ReporterProcess reporter_;
  ProcessFigures atStart_;
  uint32_t crashes_ = 0;
};

// One crash of `client`: the blocked milliseconds, or -1.
double crashOnce(Bench* bench, Client* client, std::wstring* logPath) {
  const double blocked =
      blockedMilliseconds(client->process.command("dump-raw * * *", kCrashTimeoutMs));
  *logPath = bench->nextLogPath();
  if (blocked < 0) std::printf("crash %u was not answered\n", bench->crashes());
  return blocked;
}

struct Single {
  std::vector<double> crashMs, floorMs, attachMs, firstRequestMs;
  uint64_t logSize = 0;
  uint64_t floorBytesRead = 0;
  CrashLog log;
  std::vector<AddressRange> ranges;
  FloorCounts counts;
  std::string modulesReply;
};

bool runSingle(Bench* bench, uint32_t repetitions, uint32_t threads, uint32_t modules,
               Single* single) {
  Client client;
  if (!setUpClient(&client, bench->reporterId(), threads, modules)) return false;
  single->modulesReply = client.modulesReply;
  std::wstring logPath;
  // Once for warm caches, unmeasured.
  if (crashOnce(bench, &client, &logPath) < 0 || !bench->uploadsDone()) return false;
  for (uint32_t i = 0; i < repetitions; ++i) {
    const double blocked = crashOnce(bench, &client, &logPath);
    if (blocked < 0 || !bench->uploadsDone()) return false;
    single->crashMs.push_back(blocked);
    FileInfo file;
    if (!getFileInfo(logPath, &file)) {
      std::printf("crash %u left no crash log\n", bench->crashes());
      return false;
    }
    single->logSize = file.size;
    if (i == 0) {
      std::string error;
      if (!readCrashLog(logPath, &single->log, &error)) {
        std::printf("the crash log could not be read: %s\n", error.c_str());
        return false;
      }
      single->ranges = dumpedRanges(single->log);
    }

    LARGE_INTEGER start = counterNow();
    single->counts = captureFloor(client.processId, client.pointersAddress, client.threadIdAddress);
    single->floorBytesRead =
        crashLogFloor(client.processId, single->counts.stackPointers, single->ranges,
                      single->logSize, joinPath(bench->crashDir(), L"floor.txt"));
    single->floorMs.push_back(millisecondsSince(start));

    start = counterNow();
    if (DebugActiveProcess(client.processId)) DebugActiveProcessStop(client.processId);
    single->attachMs.push_back(millisecondsSince(start));
    single->firstRequestMs.push_back(bench->firstRequestMilliseconds());
  }
  client.process.sendLine("exit 0");
  client.process.waitForExit(5000);
  return true;
}

// The floor of one client's crash, run on a thread of its own while the
// floors of the other clients run too.
struct BurstFloor {
  const Client* client = nullptr;
  std::vector<AddressRange> ranges;
  uint64_t logSize = 0;
  std::wstring scratchFile;
  HANDLE go = nullptr;
  double milliseconds = -1;
};

DWORD WINAPI runBurstFloor(void* context) {
  BurstFloor* floor = static_cast<BurstFloor*>(context);
  WaitForSingleObject(floor->go, INFINITE);
  const LARGE_INTEGER start = counterNow();
  const FloorCounts counts = captureFloor(floor->client->processId, floor->client->pointersAddress,
                                          floor->client->threadIdAddress);
  crashLogFloor(floor->client->processId, counts.stackPointers, floor->ranges, floor->logSize,
                floor->scratchFile);
  floor->milliseconds = millisecondsSince(start);
  return 0;
}

struct Burst {
  std::vector<double> crashMs;
  std::vector<double> floorMs;
  ProcessFigures before;
  ProcessFigures after;
  double setUpSeconds = 0;
};

bool runBurst(Bench* bench, uint32_t count, uint32_t threads, uint32_t modules, Burst* burst) {
  const LARGE_INTEGER setUp = counterNow();
  std::vector<std::unique_ptr<Client>> clients;
  for (uint32_t i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<Client>());
    if (!setUpClient(clients.back().get(), bench->reporterId(), threads, modules)) return false;
  }
  burst->setUpSeconds = secondsSince(setUp);
  burst->before = bench->figures();

  // Each client is sent its request before any answer is read, so that all
  // of them crash within a few milliseconds.
  const uint32_t firstCrash = bench->crashes() + 1;
  for (auto& client : clients) client->process.sendLine("dump-raw * * *");
  for (auto& client : clients) {
    std::string reply;
    client->process.readLine(&reply, kCrashTimeoutMs);
    bench->nextLogPath();
    const double blocked = blockedMilliseconds(reply);
    if (blocked < 0) {
      std::printf("a crash of the burst was not answered: %s\n", reply.c_str());
      return false;
    }
    burst->crashMs.push_back(blocked);
  }
  if (!bench->uploadsDone()) return false;
  burst->after = bench->figures();

  // Each crash log names its crashed thread: the client's command thread.
  std::vector<BurstFloor> floors(count);
  ScopedHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  for (uint32_t crash = firstCrash; crash < firstCrash + count; ++crash) {
    CrashLog log;
    std::string error;
    if (!readCrashLog(bench->logPath(crash), &log, &error) || log.threads.empty()) {
      std::printf("the crash log of crash %u could not be read: %s\n", crash, error.c_str());
      return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (clients[i]->commandThreadId != log.threads[0].id) continue;
      FileInfo file;
      getFileInfo(bench->logPath(crash), &file);
      floors[i].client = clients[i].get();
      floors[i].ranges = dumpedRanges(log);
      floors[i].logSize = file.size;
      floors[i].scratchFile = joinPath(bench->crashDir(), L"floor-" + std::to_wstring(i) + L".txt");
      floors[i].go = go.get();
    }
  }
  std::vector<ScopedHandle> threadsRunning;
  for (BurstFloor& floor : floors) {
    if (floor.client == nullptr) {
      std::printf("a client of the burst has no crash log of its own\n");
      return false;
    }
    threadsRunning.emplace_back(CreateThread(nullptr, 0, &runBurstFloor, &floor, 0, nullptr));
  }
  SetEvent(go.get());
  for (ScopedHandle& thread : threadsRunning) WaitForSingleObject(thread.get(), INFINITE);
  for (const BurstFloor& floor : floors) burst->floorMs.push_back(floor.milliseconds);

  for (auto& client : clients) client->process.sendLine("exit 0");
  for (auto& client : clients) client->process.waitForExit(5000);
  return true;
}

double ratio(double value, double floor) { return floor > 0 ? value / floor : 0; }

void printHeading() {
  std::printf("  %-30s %9s  %9s  %7s\n", "milliseconds", "crash", "floor", "ratio");
}

void printRow(const char* name, double value, double floor) {
  std::printf("  %-30s %9.2f  %9.2f  %6.2fx\n", name, value, floor, ratio(value, floor));
}

void printSorted(const char* name, std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::printf("  %-16s", name);
  for (size_t i = 0; i < values.size(); ++i) {
    if (i != 0 && i % 8 == 0) std::printf("\n  %-16s", "");
    std::printf(" %8.1f", values[i]);
  }
  std::printf("\n");
}

void printMemoryRow(const char* name, uint64_t atStart, uint64_t single, uint64_t burst) {
  std::printf("  %-20s %14llu %22llu %22llu\n", name, static_cast<unsigned long long>(atStart),
              static_cast<unsigned long long>(single), static_cast<unsigned long long>(burst));
}

int run() {
  const uint32_t repetitions = std::max<uint32_t>(1, switchNumber("repetitions", 15));
  const uint32_t threads = switchNumber("threads", 64);
  const uint32_t modules = switchNumber("modules", 100);
  const uint32_t burstCount = switchNumber("burst", 16);

  Bench bench;
  if (!bench.start()) return 1;
  Single single;
  if (!runSingle(&bench, repetitions, threads, modules, &single)) return 1;
  const ProcessFigures afterSingle = bench.figures();
  Burst burst;
  if (burstCount != 0 && !runBurst(&bench, burstCount, threads, modules, &burst)) return 1;
  bench.deleteCrashLogs();

  std::printf("One crash at a time of a waiting test client, handled by the reporter\n");
  std::printf("(%u threads, %s; %u repetitions, median)\n", threads, single.modulesReply.c_str(),
              repetitions);
  std::printf("  crash server: %s\n", bench.besideServer()
                                          ? "the local crash server; each report is stored "
                                            "before the next crash"
                                          : "an address where nothing listens");
  std::printf("  crash log: %llu bytes; %zu thread sections, %zu modules, %llu bytes dumped\n",
              static_cast<unsigned long long>(single.logSize), single.log.threads.size(),
              single.log.modules.size(), static_cast<unsigned long long>(bytesOf(single.ranges)));
  std::printf("  floor saw: %u modules, %u threads; read %llu bytes\n", single.counts.modules,
              single.counts.threads, static_cast<unsigned long long>(single.floorBytesRead));
  printHeading();
  printRow("client blocked, median", median(single.crashMs), median(single.floorMs));
  const double fastest = *std::min_element(single.crashMs.begin(), single.crashMs.end());
  const double fastestFloor = *std::min_element(single.floorMs.begin(), single.floorMs.end());
  printRow("fastest", fastest, fastestFloor);
  printRow("slowest", *std::max_element(single.crashMs.begin(), single.crashMs.end()),
           *std::max_element(single.floorMs.begin(), single.floorMs.end()));
  std::printf("  of the crash, not in the floor:\n");
  std::printf("    the first request alone, from this process   %8.2f ms\n",
              median(single.firstRequestMs));
  std::printf("    attaching and detaching as a debugger        %8.2f ms\n\n",
              median(single.attachMs));

  if (burstCount != 0) {
    std::printf("%u clients crash at once (each as above; set up in %.0f s), ms, sorted\n",
                burstCount, burst.setUpSeconds);
    printSorted("client blocked", burst.crashMs);
    printSorted("floor", burst.floorMs);
    std::printf("  (floor: the %u crashes' floors run at once on %u threads of this process)\n",
                burstCount, burstCount);
    printHeading();
    printRow("median", median(burst.crashMs), median(burst.floorMs));
    const double slowest = *std::max_element(burst.crashMs.begin(), burst.crashMs.end());
    const double slowestFloor = *std::max_element(burst.floorMs.begin(), burst.floorMs.end());
    printRow("slowest", slowest, slowestFloor);
    std::printf("\n");
  }

  std::printf("Reporter memory (bytes)  at start-up  peak after %u single crashes",
              repetitions + 1);
  if (burstCount != 0) std::printf("  peak after %u at once", burstCount);
  std::printf("\n");
  const ProcessFigures& last = burstCount != 0 ? burst.after : afterSingle;
  printMemoryRow("working set", bench.atStart().workingSetBytes, afterSingle.peakWorkingSetBytes,
                 last.peakWorkingSetBytes);
  printMemoryRow("pagefile (virtual)", bench.atStart().pagefileBytes, afterSingle.peakPagefileBytes,
                 last.peakPagefileBytes);
  return 0;
}

}  // namespace
}  // namespace tavra

int main() {
  tavra::CommandLine::initForCurrentProcess();
  return tavra::run();
}
