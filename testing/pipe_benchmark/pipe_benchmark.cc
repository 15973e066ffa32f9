// Prints, in one run: registration round trips per second through the
// reporter against bare connect-write-read-close round trips on a pipe of the
// same kind; the latency from dump request to dump done on a server without a
// hook, in this process; and the reporter's handles, threads and memory after
// start-up, after 1,000 clients have registered and exited, and after 1,000
// more (which shows whether anything grows with the number of clients).
//
// It plays the browser: it creates the ready event, starts the reporter next
// to it with its own id as the parent id, and waits for the event. Without a
// reporter program beside it (or with --in-process) it measures a server in
// its own process instead and says so.
//
// A client here is one registration: each test client process registers
// --registrations-per-process times and then exits, which ends all of its
// registrations at once; process start-up is what costs time here.
// Switches: --round-trips=N (500), --dumps=N (1000), --client-processes=N
// (50) and --registrations-per-process=N (20), --in-process.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "desktop/windows/crash_reporter/server/dump_request_server.h"
#include "desktop/windows/crash_reporter/server/pipe_message.h"
#include "runtime/command_line.h"
#include "runtime/file_util.h"
#include "runtime/scoped_handle.h"
#include "testing/benchmark_support/benchmark_clock.h"
#include "testing/benchmark_support/reporter_process.h"
#include "testing/browser_client/browser_client.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/browser_client/process_figures.h"

namespace tavra {
namespace {

constexpr DWORD kMessageSize = sizeof(PipeMessage);

// The reporter under test: the real program, or a server in this process.
class Reporter {
 public:
  ~Reporter() {
    if (server_) server_->stop();
    // The real reporter ends by itself once its parent, this process, is gone.
  }

  bool startProcess() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring crashDir =
        joinPath(temp, L"tavra_pipe_benchmark_" + std::to_wstring(GetCurrentProcessId()));
    if (!child_.start(crashDir)) return false;
    process_.reset(OpenProcess(PROCESS_ALL_ACCESS, FALSE, child_.processId()));
    processId_ = child_.processId();
    description_ = "the reporter process " + wideToNarrow(child_.program()) + " (pid " +
                   std::to_string(processId_) + ")";
    return true;
  }

  bool startInProcess(const std::string& why) {
    server_ = std::make_unique<DumpRequestServer>(reporterPipeName(GetCurrentProcessId()), nullptr,
                                                  nullptr, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr, nullptr, nullptr);
    if (!server_->start()) return false;
    processId_ = GetCurrentProcessId();
    process_.reset(OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId_));
    description_ = "a server inside the benchmark process (" + why +
                   "); its figures include the benchmark's own";
    return true;
  }

  uint32_t processId() const { return processId_; }
  HANDLE process() const { return process_.get(); }
  const std::string& description() const { return description_; }

 private:
  static std::string wideToNarrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
  }

  ReporterProcess child_;
  std::unique_ptr<DumpRequestServer> server_;
  ScopedHandle process_;
  uint32_t processId_ = 0;
  std::string description_;
};

// A pipe of the reporter's kind served by the plainest loop: the floor of a
// conversation's cost.
class BarePipeServer {
 public:
  explicit BarePipeServer(std::wstring name) : name_(std::move(name)) {}
  ~BarePipeServer() {
    stopping_ = true;
    if (thread_.isValid()) {
      // Wakes a pending connect.
      PipeConnection wake;
      wake.connect(name_, 1000);
      wake.close();
      WaitForSingleObject(thread_.get(), 5000);
    }
  }

  bool start() {
    pipe_.reset(CreateNamedPipeW(
        name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 64, 64, 0, nullptr));
    if (pipe_.get() == INVALID_HANDLE_VALUE) {
      pipe_.release();
      return false;
    }
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    thread_.reset(CreateThread(nullptr, 0, &BarePipeServer::run, this, 0, nullptr));
    return thread_.isValid();
  }

 private:
  static DWORD WINAPI run(void* context) {
    static_cast<BarePipeServer*>(context)->serve();
    return 0;
  }

  bool wait(BOOL started, DWORD* transferred) {
    if (!started && GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(pipe_.get(), &overlapped_, transferred, TRUE) != FALSE;
  }

  void serve() {
    PipeMessage message = {};
    while (!stopping_) {
      overlapped_ = OVERLAPPED();
      overlapped_.hEvent = event_.get();
      DWORD transferred = 0;
      BOOL connected = ConnectNamedPipe(pipe_.get(), &overlapped_);
      if (!connected && GetLastError() != ERROR_PIPE_CONNECTED && !wait(connected, &transferred)) {
        DisconnectNamedPipe(pipe_.get());
        continue;
      }
      if (wait(ReadFile(pipe_.get(), &message, kMessageSize, &transferred, &overlapped_),
               &transferred)) {
        message.tag = static_cast<uint32_t>(PipeMessageTag::RegisterReply);
        if (wait(WriteFile(pipe_.get(), &message, kMessageSize, &transferred, &overlapped_),
                 &transferred)) {
          // Until the client has closed: disconnecting earlier would throw the
          // reply away.
          wait(ReadFile(pipe_.get(), &message, kMessageSize, &transferred, &overlapped_),
               &transferred);
        }
      }
      DisconnectNamedPipe(pipe_.get());
    }
  }

  std::wstring name_;
  ScopedHandle pipe_;
  ScopedHandle event_;
  ScopedHandle thread_;
  OVERLAPPED overlapped_ = {};
  volatile bool stopping_ = false;
};

double bareRoundTripsPerSecond(uint32_t count) {
  const std::wstring name =
      L"\\\\.\\pipe\\TavraPipeBenchmarkFloor" + std::to_wstring(GetCurrentProcessId());
  BarePipeServer server(name);
  if (!server.start()) return 0;
  PipeMessage message = {};
  message.tag = static_cast<uint32_t>(PipeMessageTag::Register);
  const LARGE_INTEGER start = counterNow();
  for (uint32_t i = 0; i < count; ++i) {
    PipeConnection connection;
    DWORD transferred = 0;
    PipeMessage reply = {};
    if (!connection.connect(name, 5000) ||
        connection.write(&message, kMessageSize, 5000) != IoResult::Ok ||
        connection.read(&reply, kMessageSize, &transferred, 5000) != IoResult::Ok) {
      std::printf("bare pipe round trip %u failed: %lu\n", i,
                  static_cast<unsigned long>(connection.lastError()));
      return 0;
    }
  }
  return count / secondsSince(start);
}

double registrationsPerSecond(uint32_t reporterId, uint32_t count, BrowserClient* client) {
  const LARGE_INTEGER start = counterNow();
  for (uint32_t i = 0; i < count; ++i) {
    if (!client->registerWithReporter(reporterId)) {
      std::printf("registration %u failed: %lu\n", i,
                  static_cast<unsigned long>(client->lastError()));
      return 0;
    }
  }
  return count / secondsSince(start);
}

// Registers `processes` test clients `perProcess` times each; each process
// then exits, and with it all of its registrations.
uint32_t comeAndGo(uint32_t reporterId, uint32_t processes, uint32_t perProcess) {
  uint32_t registered = 0;
  const std::wstring program = siblingProgramPath(L"tavra_test_client.exe");
  for (uint32_t p = 0; p < processes; ++p) {
    ChildProcess child;
    if (!child.start(program, L"--reporter-pid=" + std::to_wstring(reporterId))) {
      std::printf("test client could not start\n");
      return registered;
    }
    for (uint32_t r = 0; r < perProcess; ++r) {
      if (child.command("register").compare(0, 11, "registered ") == 0) ++registered;
    }
    child.sendLine("exit 0");
    child.waitForExit(5000);
  }
  return registered;
}

struct Latency {
  double mean = 0, median = 0, p99 = 0, max = 0;
  uint32_t answered = 0;
};

Latency dumpLatency(BrowserClient* client, uint32_t count) {
  std::vector<double> micros;
  micros.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    const LARGE_INTEGER start = counterNow();
    if (client->requestDump(GetCurrentThreadId(), client->exceptionPointersAddress(), 5000) !=
        DumpResult::Done) {
      continue;
    }
    micros.push_back(secondsSince(start) * 1e6);
  }
  Latency latency;
  latency.answered = static_cast<uint32_t>(micros.size());
  if (micros.empty()) return latency;
  std::sort(micros.begin(), micros.end());
  double sum = 0;
  for (double m : micros) sum += m;
  latency.mean = sum / micros.size();
  latency.median = micros[micros.size() / 2];
  latency.p99 = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
  latency.max = micros.back();
  return latency;
}

void printFigureRow(const char* name, uint64_t first, uint64_t second, uint64_t third) {
  std::printf("  %-28s %12llu %18llu %15llu\n", name, static_cast<unsigned long long>(first),
              static_cast<unsigned long long>(second), static_cast<unsigned long long>(third));
}

int run() {
  const uint32_t roundTrips = switchNumber("round-trips", 500);
  const uint32_t dumps = switchNumber("dumps", 1000);
  const uint32_t processes = switchNumber("client-processes", 50);
  const uint32_t perProcess = switchNumber("registrations-per-process", 20);

  Reporter reporter;
  bool started = false;
  if (CommandLine::forCurrentProcess().hasSwitch("in-process")) {
    started = reporter.startInProcess("--in-process was given");
  } else {
    started = reporter.startProcess() ||
              reporter.startInProcess("no reporter program could be started beside the benchmark");
  }
  if (!started) {
    std::printf("no server could be started\n");
    return 1;
  }
  std::printf("Reporter: %s\n\n", reporter.description().c_str());

  const ProcessFigures atStart = settledFigures(reporter.process(), reporter.processId());
  const LARGE_INTEGER churnStart = counterNow();
  const uint32_t churned = comeAndGo(reporter.processId(), processes, perProcess);
  const ProcessFigures afterChurn = settledFigures(reporter.process(), reporter.processId());
  const uint32_t churnedAgain = comeAndGo(reporter.processId(), processes, perProcess);
  const double churnSeconds = secondsSince(churnStart);
  const ProcessFigures afterSecondChurn = settledFigures(reporter.process(), reporter.processId());

  BrowserClient client(8);
  client.annotations().fillNumbered();
  const double floor = bareRoundTripsPerSecond(roundTrips);
  const double registrations = registrationsPerSecond(reporter.processId(), roundTrips, &client);
  // The reporter runs its whole crash handling for each dump request (see
  // crash_benchmark); the server's own part is measured on a server in this
  // process that has no hook.
  DumpRequestServer bare(reporterPipeName(GetCurrentProcessId()), nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  const bool ownServer = reporter.processId() != GetCurrentProcessId();
  if (ownServer && !bare.start()) {
    std::printf("no server without a hook could be started\n");
    return 1;
  }
  BrowserClient dumper(8);
  if (!dumper.registerWithReporter(GetCurrentProcessId())) {
    std::printf("registration for the dump requests failed\n");
    return 1;
  }
  const Latency latency = dumpLatency(&dumper, dumps);
  if (ownServer) bare.stop();

  std::printf("Round trips per second (%u each)      reporter registration    bare pipe floor\n",
              roundTrips);
  std::printf("  connect, write, read%-17s %18.0f %18.0f\n", ", (ack), close", registrations,
              floor);
  std::printf(
      "  (registration: connect, write Register, read reply, write ack, close;\n"
      "   floor: connect, write, read, close on a one-instance message pipe)\n\n");
  std::printf(
      "Dump request to dump done, server without a hook (%u of %u answered), microseconds\n",
      latency.answered, dumps);
  std::printf("  mean %.0f   median %.0f   p99 %.0f   max %.0f\n\n", latency.mean, latency.median,
              latency.p99, latency.max);
  std::printf("Reporter resources          after start-up   after %u clients   after %u more\n",
              churned, churnedAgain);
  std::printf("  (each batch: %u processes of %u registrations; both took %.1f s)\n", processes,
              perProcess, churnSeconds);
  printFigureRow("GetProcessHandleCount", atStart.handleCount, afterChurn.handleCount,
                 afterSecondChurn.handleCount);
  printFigureRow("handles found by probing", atStart.probedHandleCount,
                 afterChurn.probedHandleCount, afterSecondChurn.probedHandleCount);
  printFigureRow("threads (tool-help)", atStart.threadCount, afterChurn.threadCount,
                 afterSecondChurn.threadCount);
  printFigureRow("private bytes (PrivateUsage)", atStart.privateBytes, afterChurn.privateBytes,
                 afterSecondChurn.privateBytes);
  printFigureRow("pagefile bytes", atStart.pagefileBytes, afterChurn.pagefileBytes,
                 afterSecondChurn.pagefileBytes);
  printFigureRow("working set bytes", atStart.workingSetBytes, afterChurn.workingSetBytes,
                 afterSecondChurn.workingSetBytes);
  if (atStart.handleCount == 0 || atStart.privateBytes == 0) {
    std::printf(
        "  (this system reports 0 for GetProcessHandleCount or PrivateUsage: the probed\n"
        "   handle count and the pagefile bytes stand in for them)\n");
  }
  return 0;
}

}  // namespace
}  // namespace tavra

int main() {
  tavra::CommandLine::initForCurrentProcess();
  return tavra::run();
}
