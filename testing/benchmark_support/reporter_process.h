// The real reporter, started beside the running program with this process as
// its parent browser.
#ifndef TESTING_BENCHMARK_SUPPORT_REPORTER_PROCESS_H_
#define TESTING_BENCHMARK_SUPPORT_REPORTER_PROCESS_H_

#include <windows.h>

#include <cstdint>
#include <string>

#include "runtime/scoped_holder.h"
#include "testing/browser_client/process_figures.h"

namespace tavra {

class ReporterProcess {
 public:
  ReporterProcess() = default;
  // The reporter ends by itself once its parent, this process, is gone.
  ~ReporterProcess() = default;
  ReporterProcess(const ReporterProcess&) = delete;
  ReporterProcess& operator=(const ReporterProcess&) = delete;

  // Creates the ready event, starts tavra_crash_reporter.exe from this
  // program's folder with this process's id as the parent id and `crashDir`
  // as its TAVRA_CRASH_LOG_DIR (crash logs kept), and waits for the ready
  // event. Its crash server is `serverUrl`, or, when that is empty, an
  // address where nothing listens. False when there is no such program, or
  // it ended or was not ready within 20 s.
  bool start(const std::wstring& crashDir, const std::wstring& serverUrl = std::wstring());

  uint32_t processId() const { return processId_; }
  // Full access: the benchmarks read its figures.
  HANDLE process() const { return process_.get(); }
  const std::wstring& program() const { return program_; }

 private:
  ScopedHandle process_;
  uint32_t processId_ = 0;
  std::wstring program_;
};

// The figures of a reporter once its exit callbacks have run: read again
// until the handle count stops falling (at most about 3 s).
ProcessFigures settledFigures(HANDLE process, uint32_t processId);

}  // namespace tavra

#endif  // TESTING_BENCHMARK_SUPPORT_REPORTER_PROCESS_H_
