#include "testing/benchmark_support/reporter_process.h"

#include <vector>

#include "runtime/file_util.h"
#include "testing/browser_client/child_process.h"
#include "testing/browser_client/pipe_connection.h"

namespace tavra {

bool ReporterProcess::start(const std::wstring& crashDir, const std::wstring& serverUrl) {
  program_ = siblingProgramPath(L"tavra_crash_reporter.exe");
  if (!pathExists(program_)) return false;
  SetEnvironmentVariableW(L"TAVRA_CRASH_LOG_DIR", crashDir.c_str());
  // The benchmarks read the crash logs after the crashes, so they are kept.
  // Without a server of their own, no crash server listens at the address:
  // each first request is refused at once, as on a machine without a
  // network, and each upload fails as quickly.
  SetEnvironmentVariableW(L"TAVRA_CRASH_KEEP_LOGS", L"1");
  SetEnvironmentVariableW(L"TAVRA_CRASH_SERVER_URL",
                          serverUrl.empty() ? L"http://127.0.0.1:1/" : serverUrl.c_str());
  const std::wstring readyName = readyEventName(GetCurrentProcessId());
  ScopedHandle ready(CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
  if (!ready.isValid()) return false;
  std::wstring commandLine =
      L"\"" + program_ + L"\" --crash-reporter-parent-id=" + std::to_wstring(GetCurrentProcessId());
  std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
  buffer.push_back(0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(program_.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  process_.reset(info.hProcess);
  processId_ = info.dwProcessId;
  HANDLE waits[] = {ready.get(), process_.get()};
  if (WaitForMultipleObjects(2, waits, FALSE, 20000) != WAIT_OBJECT_0) {
    TerminateProcess(process_.get(), 1);
    process_.reset();
    processId_ = 0;
    return false;
  }
  return true;
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
