#include "testing/benchmark_support/reporter_process.h"

#include <cwchar>

#include "runtime/file_util.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"
#include "testing/test_support/reporter_file_names.h"
#include "testing/test_support/test_files.h"

namespace tavra {

bool ReporterProcess::start(const std::wstring& folderName) {
  besideServer_ = server_.attach();
  serverUrl_ = besideServer_ ? server_.url() : kNoCrashServerUrl;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  crashDir_ = joinPath(temp, folderName + L"_" + std::to_wstring(GetCurrentProcessId()));
  program_ = siblingProgramPath(L"tavra_crash_reporter.exe");
  if (!pathExists(program_)) return false;
  SetEnvironmentVariableW(L"TAVRA_CRASH_LOG_DIR", crashDir_.c_str());
  // The benchmarks read the crash logs after the crashes, so they are kept.
  // Without a server of their own, each first request is refused at once, and
  // each upload fails as quickly.
  SetEnvironmentVariableW(L"TAVRA_CRASH_KEEP_LOGS", L"1");
  SetEnvironmentVariableW(L"TAVRA_CRASH_SERVER_URL", serverUrl_.c_str());
  // Every crash takes the whole road: the crash-storm budget, which would
  // hold back most crashes of a soak, is off unless the benchmark set it.
  for (const wchar_t* name : {L"TAVRA_CRASH_BUDGET_PER_SIGNATURE", L"TAVRA_CRASH_BUDGET_PER_DAY"}) {
    if (GetEnvironmentVariableW(name, nullptr, 0) == 0) SetEnvironmentVariableW(name, L"0");
  }
  const std::wstring readyName = readyEventName(GetCurrentProcessId());
  ScopedHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
  if (!ready.isValid()) return false;
  if (!startProgram(program_,
                    L"--crash-reporter-parent-id=" + std::to_wstring(GetCurrentProcessId()),
                    nullptr, &process_, &processId_)) {
    return false;
  }
  HANDLE waits[] = {ready.get(), process_.get()};
  if (WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) {
    TerminateProcess(process_.get(), 1);
    process_.reset();
    processId_ = 0;
    return false;
  }
  return true;
}

void ReporterProcess::deleteCrashLogs() const {
  for (const std::wstring& name : filesIn(crashDir_)) {
    if (name.compare(0, wcslen(kCrashFilePrefix), kCrashFilePrefix) == 0) {
      DeleteFileW(joinPath(crashDir_, name).c_str());
    }
  }
}

ProcessFigures settledFigures(HANDLE process, uint32_t processId) {
  ProcessFigures figures;
  readProcessFigures(process, processId, &figures);
  for (int i = 0; i < 30; ++i) {
    Sleep(100);
    ProcessFigures next;
    readProcessFigures(process, processId, &next);
    const bool settled = next.probedHandleCount == figures.probedHandleCount;
    figures = next;
    if (settled) break;
  }
  return figures;
}

}  // namespace tavra
