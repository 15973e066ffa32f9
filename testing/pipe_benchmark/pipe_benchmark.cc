// Prints, in one run: registration round trips per second through the
// reporter against bare connect-write-read-close round trips on a pipe of the
// same kind; the latency from dump request to dump done on a server without a
// hook, in this process; and the reporter's handles, threads and memory after
// start-up (idle), after 1,000 clients have registered and exited, after
// 1,000 more (which shows whether anything grows with the number of clients),
// and after a soak of 200 real crashes (which shows whether anything grows
// with the number of crashes).
//
// It plays the browser: it creates the ready event, starts the reporter next
// to it with its own id as the parent id, and waits for the event. Run beside
// the local crash server (with_crash_server.sh, as tools/benchmark.sh does),
// the reporter sends the soak's first requests and uploads there, and the
// figures after the soak are read once every report is stored. Without a
// reporter program beside it (or with --in-process) it measures a server in
// its own process instead, without the soak, and says so.
//
// A client here is one registration: each test client process registers
// --registrations-per-process times and then exits, which ends all of its
// registrations at once; process start-up is what costs time here. Each
// crash of the soak is a test client of its own that registers and crashes
// for real, one kind of crash after the other.
// Switches: --round-trips=N (500), --dumps=N (1000), --client-processes=N
// (50) and --registrations-per-process=N (20), --soak=N (200 crashes) and
// --soak-parallel=N (4 clients crashing at a time), --in-process.
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
#include "runtime/scoped_holder.h"
#include "testing/benchmark_support/benchmark_clock.h"
#include "testing/benchmark_support/reporter_process.h"
#include "testing/browser_client/browser_client.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/browser_client/process_figures.h"
#include "testing/crash_server_session/local_crash_server.h"

namespace tavra {
namespace {

constexpr DWORD kMessageSize = sizeof(PipeMessage);

// The reporter under test: the real program, or a server in this process.
class Reporter {
 public:
  ~Reporter() {
    if (inProcess_) inProcess_->stop();
    // The real reporter ends by itself once its parent, this process, is gone.
  }

  bool startProcess() {
    if (!child_.start(L"tavra_pipe_benchmark")) return false;
    process_.reset(OpenProcess(PROCESS_ALL_ACCESS, FALSE, child_.processId()));
    processId_ = child_.processId();
    description_ = "the reporter process " + wideToNarrow(child_.program()) + " (pid " +
                   std::to_string(processId_) + ")";
    return true;
  }

  bool startInProcess(const std::string& why) {
    inProcess_ = std::make_unique<DumpRequestServer>(reporterPipeName(GetCurrentProcessId()),
                                                     nullptr, nullptr, nullptr, nullptr, nullptr,
                                                     nullptr, nullptr, nullptr, nullptr);
    if (!inProcess_->start()) return false;
    processId_ = GetCurrentProcessId();
    process_.reset(OpenProcess(PROCESS_ALL_ACCESS, FALSE, processId_));
    description_ = "a server inside the benchmark process (" + why +
                   "); its figures include the benchmark's own";
    return true;
  }

  uint32_t processId() const { return processId_; }
  HANDLE process() const { return process_.get(); }
  const std::string& description() const { return description_; }
  bool isProcess() const { return child_.processId() != 0; }
  bool besideServer() const { return child_.besideServer(); }
  const LocalCrashServer& server() const { return child_.server(); }
  void deleteCrashLogs() const {
    if (isProcess()) child_.deleteCrashLogs();
  }

 private:
  static std::string wideToNarrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
  }

  ReporterProcess child_;
  std::unique_ptr<DumpRequestServer> inProcess_;
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
    if (!pipe_.isValid()) return false;
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

// The crashes of the soak, in turn: every kind that a browser process meets.
const char* const kSoakCrashes[] = {"crash read 0",         "crash write 10",
                                    "crash divide",         "crash breakpoint",
                                    "crash raise E0001234", "crash stack-overflow"};

// Crashes `count` test clients for real, `parallel` at a time: each starts,
// registers with a few annotations, crashes, waits for the reporter in its
// crash handler and ends with its exception code. Returns the clients that
// ended so.
uint32_t soak(uint32_t reporterId, uint32_t count, uint32_t parallel) {
  const std::wstring program = siblingProgramPath(L"tavra_test_client.exe");
  uint32_t crashed = 0;
  for (uint32_t started = 0; started < count;) {
    std::vector<std::unique_ptr<ChildProcess>> batch;
    for (uint32_t i = 0; i < parallel && started < count; ++i, ++started) {
      auto child = std::make_unique<ChildProcess>();
      if (!child->start(program, L"--fill --reporter-pid=" + std::to_wstring(reporterId)) ||
          child->command("register").compare(0, 11, "registered ") != 0) {
        std::printf("soak client %u did not start or register\n", started);
        continue;
      }
      child->command("set process_type renderer");
      batch.push_back(std::move(child));
    }
    for (size_t i = 0; i < batch.size(); ++i) {
      batch[i]->sendLine(kSoakCrashes[(started - batch.size() + i) %
                                      (sizeof(kSoakCrashes) / sizeof(kSoakCrashes[0]))]);
    }
    for (auto& child : batch) {
      DWORD exitCode = 0;
      if (child->waitForExit(60000, &exitCode) && exitCode >= 0x80000000u) ++crashed;
    }
  }
  return crashed;
}

struct Latency {
  double mean = 0, median = 0, p99 = 0, max = 0;
  uint32_t answered = 0;
};

// Dump requests from a test client to the server without a hook in this
// process (a server refuses registrations in its own process's name), timed
// by the client.
Latency dumpLatency(uint32_t count) {
  Latency latency;
  ChildProcess client;
  if (!client.start(siblingProgramPath(L"tavra_test_client.exe"),
                    L"--reporter-pid=" + std::to_wstring(GetCurrentProcessId())) ||
      client.command("register").compare(0, 11, "registered ") != 0) {
    return latency;
  }
  const std::string reply = client.command("dump-latency " + std::to_string(count), 600000);
  if (reply.compare(0, 13, "dump-latency ") == 0) {
    latency.answered = static_cast<uint32_t>(std::strtoul(reply.c_str() + 13, nullptr, 10));
    latency.mean = replyNumber(reply, "mean-us", 0);
    latency.median = replyNumber(reply, "median-us", 0);
    latency.p99 = replyNumber(reply, "p99-us", 0);
    latency.max = replyNumber(reply, "max-us", 0);
  }
  client.sendLine("exit 0");
  client.waitForExit(5000);
  return latency;
}

void printFigureRow(const char* name, uint64_t first, uint64_t second, uint64_t third,
                    uint64_t fourth) {
  std::printf("  %-28s %13llu %13llu %13llu %13llu\n", name, static_cast<unsigned long long>(first),
              static_cast<unsigned long long>(second), static_cast<unsigned long long>(third),
              static_cast<unsigned long long>(fourth));
}

int run() {
  const uint32_t roundTrips = switchNumber("round-trips", 500);
  const uint32_t dumps = switchNumber("dumps", 1000);
  const uint32_t processes = switchNumber("client-processes", 50);
  const uint32_t perProcess = switchNumber("registrations-per-process", 20);
  const uint32_t soakCrashes = switchNumber("soak", 200);
  const uint32_t soakParallel = std::max<uint32_t>(1, switchNumber("soak-parallel", 4));

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
  // The soak needs the real reporter: a server in this process has no crash
  // handling.
  const LARGE_INTEGER soakStart = counterNow();
  const uint32_t soaked =
      reporter.isProcess() ? soak(reporter.processId(), soakCrashes, soakParallel) : 0;
  const bool soakStored =
      !reporter.besideServer() || reporter.server().waitForReports(soaked, 120000, nullptr);
  const double soakSeconds = secondsSince(soakStart);
  const ProcessFigures afterSoak = settledFigures(reporter.process(), reporter.processId());
  reporter.deleteCrashLogs();

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
  const Latency latency = dumpLatency(dumps);
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
  const std::string churnedText = "after " + std::to_string(churned);
  const std::string churnedAgainText = "after " + std::to_string(churnedAgain) + " more";
  const std::string soakedText = "after " + std::to_string(soaked);
  std::printf("%-30s %13s %13s %13s %13s\n", "Reporter resources", "idle, after",
              churnedText.c_str(), churnedAgainText.c_str(), soakedText.c_str());
  std::printf("%-30s %13s %13s %13s %13s\n", "", "start-up", "clients", "clients", "crashes");
  std::printf("  (each batch of clients: %u processes of %u registrations; both took %.1f s)\n",
              processes, perProcess, churnSeconds);
  std::printf(
      "  (the soak: %u test clients crashing for real, %u at a time, each kind of crash in\n"
      "   turn, %s; %.1f s)\n",
      soakCrashes, soakParallel,
      reporter.besideServer() ? (soakStored ? "every report stored by the local crash server"
                                            : "NOT EVERY REPORT STORED by the local crash server")
                              : "no crash server listening",
      soakSeconds);
  printFigureRow("GetProcessHandleCount", atStart.handleCount, afterChurn.handleCount,
                 afterSecondChurn.handleCount, afterSoak.handleCount);
  printFigureRow("handles found by probing", atStart.probedHandleCount,
                 afterChurn.probedHandleCount, afterSecondChurn.probedHandleCount,
                 afterSoak.probedHandleCount);
  printFigureRow("threads (tool-help)", atStart.threadCount, afterChurn.threadCount,
                 afterSecondChurn.threadCount, afterSoak.threadCount);
  printFigureRow("private bytes (PrivateUsage)", atStart.privateBytes, afterChurn.privateBytes,
                 afterSecondChurn.privateBytes, afterSoak.privateBytes);
  printFigureRow("pagefile bytes", atStart.pagefileBytes, afterChurn.pagefileBytes,
                 afterSecondChurn.pagefileBytes, afterSoak.pagefileBytes);
  printFigureRow("working set bytes", atStart.workingSetBytes, afterChurn.workingSetBytes,
                 afterSecondChurn.workingSetBytes, afterSoak.workingSetBytes);
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
