// Prints, in one run, where the time of one crash goes: the stages of the
// reporter's crash handling, run one by one in this process, for a waiting
// test client that holds 64 blocked threads and about 100 extra modules, each
// beside its floor where it has one:
// - attaching to the client as a debugger and detaching;
// - the snapshot capture, and of it the module files (opening, mapping and
//   parsing each one), beside the floors of the snapshot's system calls and
//   of its module files without parsing (capture_floor.h);
// - reading the crash's annotations and building its metadata;
// - the crash log, and of it the pointer checks (how many values were looked
//   up, and how many system calls their answers took), beside the floor of the
//   same stack and dump reads and writing a file of the crash log's size
//   (crash_floor.h), and of it the crash signature (its walk, text and short
//   hash, which the write computes once the log is complete), whose share of
//   all the stages is printed too;
// - appending the diagnostic messages to the crash log;
// - the first request: to the local crash server when the program runs beside
//   one (testing/crash_server_session/with_crash_server.sh), else to an
//   address where nothing listens.
// Then the memory of this process before, with a snapshot held, and after.
//
// It plays the reporter: a dump request server in this process whose hook
// runs the stages, as the reporter's pipeline does, on the server's wait
// thread, while the client waits for dump-done. The client asks with a
// hand-made exception (the test client's "dump-raw * * *"), so that one
// request serves every repetition. Stages and floors alternate.
// Switches: --repetitions=N (15), --threads=N (64), --modules=N (100).
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/crash_data/crash_metadata.h"
#include "desktop/windows/crash_reporter/crash_data/module_info_impl.h"
#include "desktop/windows/crash_reporter/crash_data/process_state_impl.h"
#include "desktop/windows/crash_reporter/crash_data/process_state_test_support.h"
#include "desktop/windows/crash_reporter/lifecycle/crash_pipeline.h"
#include "desktop/windows/crash_reporter/logs/crash_log_writer.h"
#include "desktop/windows/crash_reporter/logs/crash_logger_section.h"
#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "desktop/windows/crash_reporter/upload/first_request.h"
#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/log_capture.h"
#include "runtime/logging.h"
#include "runtime/scoped_holder.h"
#include "runtime/utf_conversion.h"
#include "testing/benchmark_support/benchmark_clock.h"
#include "testing/benchmark_support/capture_floor.h"
#include "testing/benchmark_support/crash_floor.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/crash_server_session/local_crash_server.h"

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

// The snapshot as the crash log writer sees it, counting the readability
// questions that the writer asks and the time that their answers take.
class CountingProcessState : public testing_support::ForwardingProcessState {
 public:
  explicit CountingProcessState(const ProcessStateImpl& state) : ForwardingProcessState(state) {}

  bool isReadable(TargetAddress address) const override {
    const LARGE_INTEGER start = counterNow();
    const bool readable = state_.isReadable(address);
    milliseconds_ += millisecondsSince(start);
    ++questions_;
    return readable;
  }

  uint32_t questions() const { return questions_; }
  double milliseconds() const { return milliseconds_; }

 private:
  mutable uint32_t questions_ = 0;
  mutable double milliseconds_ = 0;
};

// The module files of the capture on their own: each module's file opened and
// inspected as the capture does it.
void inspectModuleFiles(uint32_t processId) {
  ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
  if (!snapshot.isValid()) return;
  MODULEENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Module32FirstW(snapshot.get(), &entry); more;
       entry.dwSize = sizeof(entry), more = Module32NextW(snapshot.get(), &entry)) {
    ScopedHandle file(CreateFileW(entry.szExePath, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ModuleInfoImpl module;
    module.inspect(entry.szModule, file.get(),
                   static_cast<TargetAddress>(reinterpret_cast<uintptr_t>(entry.modBaseAddr)),
                   entry.modBaseSize);
  }
}

// One row of figures: a stage, its floor, each in milliseconds per repetition.
struct Figure {
  std::vector<double> stage;
  std::vector<double> floor;
};

struct Results {
  Figure attach, capture, moduleFiles, metadata, crashLog, pointerChecks, signature, append,
      firstRequest;
  Figure total;
  uint32_t modules = 0;
  uint32_t threads = 0;
  uint32_t floorModules = 0;
  uint32_t floorThreads = 0;
  uint32_t questions = 0;
  uint32_t readabilityCalls = 0;
  uint32_t ranges = 0;
  uint64_t logSize = 0;
  uint64_t floorBytesRead = 0;
  std::string signatureHash;
  FirstRequestResult answer = FirstRequestResult::NoId;
  bool allCaptured = true;
  bool allWritten = true;
  Memory before;
  Memory during;
  Memory after;
};

struct Run {
  uint32_t repetitions = 0;
  std::wstring serverUrl;
  SystemInfo system = captureSystemInfo();
  std::wstring workDir;
  Results results;
  ScopedHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

std::vector<AddressRange> rangesOf(const CrashLogWriter& writer) {
  std::vector<AddressRange> ranges;
  for (const MemoryRange& range : writer.ranges()) ranges.emplace_back(range.start, range.end);
  return ranges;
}

std::vector<TargetAddress> stackPointersOf(const ProcessState& state) {
  std::vector<TargetAddress> stackPointers;
  for (const auto& thread : state.threads())
    stackPointers.push_back(stackPointer(thread->registers()));
  return stackPointers;
}

// One crash's stages, timed one by one, as the pipeline runs them.
void runStages(Run* run, const ReporterClient& client, uint32_t repetition) {
  Results& results = run->results;
  const std::string logPath =
      wideToUtf8(joinPath(run->workDir, L"stage-" + std::to_wstring(repetition) + L".txt"));
  const LARGE_INTEGER begin = counterNow();
  LogCapture capture;

  LARGE_INTEGER start = counterNow();
  const DWORD processId = client.processId();
  if (DebugActiveProcess(processId) && processId != 0) DebugActiveProcessStop(processId);
  results.attach.stage.push_back(millisecondsSince(start));

  start = counterNow();
  ProcessStateImpl state;
  const bool captured = state.capture(client.processId(), client.exceptionPointersAddress(),
                                      client.threadIdAddress());
  results.capture.stage.push_back(millisecondsSince(start));
  results.allCaptured = results.allCaptured && captured;
  results.modules = static_cast<uint32_t>(state.modules().size());
  results.threads = static_cast<uint32_t>(state.threads().size());
  if (repetition == 0) results.during = ownMemory();

  start = counterNow();
  const CrashAnnotations annotations = readCrashAnnotations(client.annotationView());
  CrashMetadata metadata;
  buildCrashMetadata(annotations, run->system, &metadata);
  appendMemoryFigures(state.workingSetSize(), state.peakWorkingSetSize(), state.privateUsage(),
                      &metadata);
  results.metadata.stage.push_back(millisecondsSince(start));

  const uint32_t callsBefore = state.readabilityCalls();
  CountingProcessState counted(state);
  CrashLogWriter writer;
  start = counterNow();
  const bool written = writer.write(counted, metadata, logPath.c_str());
  results.crashLog.stage.push_back(millisecondsSince(start));
  results.pointerChecks.stage.push_back(counted.milliseconds());
  results.questions = counted.questions();
  results.readabilityCalls = state.readabilityCalls() - callsBefore;
  results.allWritten = results.allWritten && written;
  // The write signs the crash once the log is complete; signing again from
  // the inputs that it kept times that part (the inputs' copies, made while
  // the log is written, stay in the crash log's figure).
  start = counterNow();
  writer.computeSignature(state);
  results.signature.stage.push_back(millisecondsSince(start));
  results.signatureHash = writer.signature().shortHash;

  start = counterNow();
  appendCrashLoggerSection(&capture, logPath.c_str());
  results.append.stage.push_back(millisecondsSince(start));
  FileInfo file;
  if (getFileInfo(utf8ToWide(logPath), &file)) results.logSize = file.size;
  DeleteFileA(logPath.c_str());

  start = counterNow();
  std::wstring reportId, location;
  results.answer =
      sendFirstRequest(run->serverUrl, L"", annotations.activeUrl, annotations.origin, &reportId,
                       &location, kFirstRequestTimeoutMs, utf8ToWide(writer.signature().shortHash));
  results.firstRequest.stage.push_back(millisecondsSince(start));
  results.total.stage.push_back(millisecondsSince(begin));

  // The module files once more on their own: the share of the capture that
  // they take.
  start = counterNow();
  inspectModuleFiles(client.processId());
  results.moduleFiles.stage.push_back(millisecondsSince(start));
  start = counterNow();
  moduleFilesFloor(client.processId());
  results.moduleFiles.floor.push_back(millisecondsSince(start));

  // The floors of the capture and of the crash log, of the same process.
  start = counterNow();
  const FloorCounts counts =
      captureFloor(client.processId(), client.exceptionPointersAddress(), client.threadIdAddress());
  results.capture.floor.push_back(millisecondsSince(start));
  results.floorModules = counts.modules;
  results.floorThreads = counts.threads;
  results.allCaptured = results.allCaptured && counts.exceptionRead;
  const std::vector<AddressRange> ranges = rangesOf(writer);
  results.ranges = static_cast<uint32_t>(ranges.size());
  start = counterNow();
  results.floorBytesRead = crashLogFloor(client.processId(), stackPointersOf(state), ranges,
                                         results.logSize, joinPath(run->workDir, L"floor.txt"));
  results.crashLog.floor.push_back(millisecondsSince(start));
  results.total.floor.push_back(results.capture.floor.back() + results.crashLog.floor.back());
}

void measureOnDumpRequest(void* context, ReporterClient* client) {
  Run* run = static_cast<Run*>(context);
  // Once for warm caches, unmeasured.
  runStages(run, *client, 0);
  run->results = Results();
  run->results.before = ownMemory();
  for (uint32_t i = 0; i < run->repetitions; ++i) runStages(run, *client, i);
  run->results.after = ownMemory();
  SetEvent(run->done.get());
}

void printRow(const char* name, const Figure& figure) {
  std::printf("  %-34s %9.2f", name, median(figure.stage));
  if (figure.floor.empty()) {
    std::printf("\n");
    return;
  }
  const double floor = median(figure.floor);
  std::printf(" %9.2f %7.2fx\n", floor, floor > 0 ? median(figure.stage) / floor : 0.0);
}

void printRange(const char* name, const std::vector<double>& values) {
  if (values.empty()) return;
  std::printf("  %-34s %9.2f to %.2f\n", name, *std::min_element(values.begin(), values.end()),
              *std::max_element(values.begin(), values.end()));
}

void printMemoryRow(const char* name, uint64_t before, uint64_t during, uint64_t after) {
  std::printf("  %-14s %14llu %18llu %14llu\n", name, static_cast<unsigned long long>(before),
              static_cast<unsigned long long>(during), static_cast<unsigned long long>(after));
}

const char* answerName(FirstRequestResult answer) {
  switch (answer) {
    case FirstRequestResult::IdReceived:
      return "an id";
    case FirstRequestResult::ServiceUnavailable:
      return "declined";
    case FirstRequestResult::NoId:
      return "no id";
    case FirstRequestResult::Skipped:
      return "skipped";
  }
  return "?";
}

int run() {
  setLogMessageHandler(&captureLogMessage, nullptr);
  Run run;
  run.repetitions = std::max<uint32_t>(1, switchNumber("repetitions", 15));
  const uint32_t threads = switchNumber("threads", 64);
  const uint32_t modules = switchNumber("modules", 100);
  LocalCrashServer server;
  const bool besideServer = server.attach();
  run.serverUrl = besideServer ? server.url() : kNoCrashServerUrl;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  run.workDir = joinPath(temp, L"tavra_stage_benchmark_" + std::to_wstring(GetCurrentProcessId()));
  if (!createDirectoryWithParents(run.workDir)) {
    std::printf("no work folder %ls\n", run.workDir.c_str());
    return 1;
  }

  DumpRequestServer dumpServer(reporterPipeName(GetCurrentProcessId()), nullptr, nullptr, nullptr,
                               &measureOnDumpRequest, &run, nullptr, nullptr, nullptr, nullptr);
  if (!dumpServer.start()) {
    std::printf("the dump request server could not start\n");
    return 1;
  }
  ChildProcess client;
  if (!client.start(siblingProgramPath(L"tavra_test_client.exe"),
                    L"--annotations=16 --reporter-pid=" + std::to_wstring(GetCurrentProcessId()))) {
    std::printf("the test client could not start\n");
    dumpServer.stop();
    return 1;
  }
  const std::string threadsReply = client.command("threads " + std::to_string(threads));
  const std::string modulesReply = client.command("modules " + std::to_string(modules), 60000);
  client.command("set version 4.3.2.1");
  client.command("set process_type renderer");
  client.command("set active_url https://example.com/page");
  const std::string registered = client.command("register");
  if (registered.compare(0, 11, "registered ") != 0 ||
      threadsReply.compare(0, 8, "threads ") != 0) {
    std::printf("the test client did not set up: %s / %s\n", registered.c_str(),
                threadsReply.c_str());
    dumpServer.stop();
    return 1;
  }
  // The client answers once all repetitions are done; the time-out covers
  // them.
  client.sendLine("dump-raw * * *");
  if (WaitForSingleObject(run.done.get(), 600000) != WAIT_OBJECT_0) {
    std::printf("the stages did not finish\n");
    dumpServer.stop();
    return 1;
  }
  std::string answer;
  client.readLine(&answer, 10000);
  client.sendLine("exit 0");
  client.waitForExit(5000);
  dumpServer.stop();
  RemoveDirectoryW(run.workDir.c_str());

  const Results& results = run.results;
  std::printf("Stages of one crash, run in this process against a waiting test client\n");
  std::printf("(%s; %u repetitions, median)\n", modulesReply.c_str(), run.repetitions);
  std::printf("  captured: %u modules, %u threads%s; floor saw %u modules, %u threads\n",
              results.modules, results.threads,
              results.allCaptured && results.allWritten ? "" : "   (SOME STAGES FAILED)",
              results.floorModules, results.floorThreads);
  std::printf("  crash log: %llu bytes, %u dumped ranges; floor read %llu bytes\n",
              static_cast<unsigned long long>(results.logSize), results.ranges,
              static_cast<unsigned long long>(results.floorBytesRead));
  std::printf("  pointer checks: %u values looked up, %u system calls to answer them\n",
              results.questions, results.readabilityCalls);
  std::printf("  first request: %s, answer %s\n",
              besideServer ? "the local crash server" : "an address where nothing listens",
              answerName(results.answer));
  std::printf("  milliseconds                             stage     floor   ratio\n");
  printRow("attach and detach as a debugger", results.attach);
  printRow("capture", results.capture);
  printRow("  of it: module files", results.moduleFiles);
  printRow("crash metadata", results.metadata);
  printRow("crash log", results.crashLog);
  printRow("  of it: pointer checks", results.pointerChecks);
  printRow("  of it: signature", results.signature);
  printRow("append diagnostic messages", results.append);
  printRow("first request", results.firstRequest);
  printRow("all stages (floor: capture + log)", results.total);
  printRange("all stages, min to max", results.total.stage);
  printRange("floor, min to max", results.total.floor);
  const double allStages = median(results.total.stage);
  std::printf("  signature %s: %.0f us, %.2f %% of all stages (%.2f ms)\n",
              results.signatureHash.empty() ? "(no hash)" : results.signatureHash.c_str(),
              1000 * median(results.signature.stage),
              allStages > 0 ? 100 * median(results.signature.stage) / allStages : 0.0, allStages);
  std::printf("\nThis process's memory (bytes)   before   with a snapshot held   after all\n");
  printMemoryRow("pagefile", results.before.pagefile, results.during.pagefile,
                 results.after.pagefile);
  printMemoryRow("working set", results.before.workingSet, results.during.workingSet,
                 results.after.workingSet);
  return results.allCaptured && results.allWritten ? 0 : 1;
}

}  // namespace
}  // namespace tavra

int main() {
  tavra::CommandLine::initForCurrentProcess();
  return tavra::run();
}
