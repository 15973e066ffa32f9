// The real reporter, started beside the running benchmark with this process
// as its parent browser, and the local crash server that it talks to when
// the benchmark runs beside one (with_crash_server.sh, as
// tools/benchmark.sh does); otherwise its crash server is an address where
// nothing listens.
//
// An object belongs to the benchmark's main thread.
#ifndef TESTING_BENCHMARK_SUPPORT_REPORTER_PROCESS_H_
#define TESTING_BENCHMARK_SUPPORT_REPORTER_PROCESS_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "runtime/scoped_holder.h"
#include "testing/browser_client/process_figures.h"
#include "testing/crash_server_session/local_crash_server.h"

namespace tavra {

class ReporterProcess {
 public:
  ReporterProcess() = default;
  // The reporter ends by itself once its parent, this process, is gone.
  ~ReporterProcess() = default;
  ReporterProcess(const ReporterProcess&) = delete;
  ReporterProcess& operator=(const ReporterProcess&) = delete;

  // Attaches to the local crash server when there is one, creates the ready
  // event, starts tavra_crash_reporter.exe from this program's folder with
  // this process's id as the parent id, "<temporary folder>\<folderName>_<this
  // process's id>" as its TAVRA_CRASH_LOG_DIR (crash logs kept) and
  // serverUrl() as its crash server, and waits for the ready event. False
  // when there is no such program, or it ended or was not ready within 20 s.
  bool start(const std::wstring& folderName);

  uint32_t processId() const { return processId_; }
  // Full access: the benchmarks read its figures.
  HANDLE process() const { return process_.get(); }
  const std::wstring& program() const { return program_; }
  const std::wstring& crashDir() const { return crashDir_; }

  // Whether the benchmark runs beside the local crash server.
  bool besideServer() const { return besideServer_; }
  const LocalCrashServer& server() const { return server_; }
  // The local crash server's address, or kNoCrashServerUrl.
  const std::wstring& serverUrl() const { return serverUrl_; }

  // Deletes the crash logs and archives. The folder stays: it is the
  // reporter's current folder until the reporter ends after this process.
  void deleteCrashLogs() const;

 private:
  LocalCrashServer server_;
  bool besideServer_ = false;
  std::wstring serverUrl_;
  std::wstring crashDir_;
  ScopedHandle process_;
  uint32_t processId_ = 0;
  std::wstring program_;
};

// The figures of a reporter once its exit callbacks have run: read again
// until the handle count stops falling (at most about 3 s).
ProcessFigures settledFigures(HANDLE process, uint32_t processId);

}  // namespace tavra

#endif  // TESTING_BENCHMARK_SUPPORT_REPORTER_PROCESS_H_
