#include "testing/e2e/reporter_with_crash_server.h"

#include <cwchar>
#include <sstream>

#include "runtime/file_util.h"
#include "testing/test_support/reporter_file_names.h"
#include "testing/test_support/test_files.h"
#include "testing/test_support/test_text.h"
#include "testing/test_support/wait_until.h"

namespace tavra {

ReporterWithCrashServer::ReporterWithCrashServer(const std::wstring& prefix)
    : environment_(prefix) {}

bool ReporterWithCrashServer::start(ReporterOptions options, std::string* error) {
  if (!server_.attach()) {
    *error = "no local crash server: run through testing/crash_server_session/with_crash_server.sh";
    return false;
  }
  options.serverUrl = server_.url();
  if (!environment_.setUp(options)) {
    *error = "could not set up the reporter's environment";
    return false;
  }
  if (!session_.start(L"", error)) return false;
  reporter_.reset(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE,
                              FALSE, session_.reporterPid()));
  if (!reporter_.isValid()) {
    *error = "could not open the reporter process";
    return false;
  }
  return true;
}

std::wstring ReporterWithCrashServer::crashFile(uint32_t crash, const wchar_t* extension) const {
  return crashFileName(reporterPid(), crash, extension);
}

std::wstring ReporterWithCrashServer::feedbackFile(uint32_t crash) const {
  return feedbackFileName(reporterPid(), crash);
}

std::vector<std::wstring> ReporterWithCrashServer::crashFiles() const {
  std::vector<std::wstring> files;
  for (const std::wstring& name : filesIn(environment_.crashDir())) {
    if (name.compare(0, wcslen(kCrashFilePrefix), kCrashFilePrefix) != 0) continue;
    if (endsWith(name, L".txt") || endsWith(name, L".zip")) files.push_back(name);
  }
  return files;
}

bool ReporterWithCrashServer::waitUntilNoCrashFiles(DWORD timeoutMs) const {
  return waitUntil([this] { return crashFiles().empty(); }, timeoutMs);
}

std::vector<std::string> ReporterWithCrashServer::reporterLogLines(const std::string& text) const {
  std::vector<std::string> lines;
  std::istringstream log(environment_.reporterLog());
  for (std::string line; std::getline(log, line);) {
    if (line.find(text) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

std::string ReporterWithCrashServer::crashLinePrefix(uint32_t crash, uint32_t clientPid) {
  return "Crash " + std::to_string(crash) + " of process " + std::to_string(clientPid) + ": ";
}

std::vector<std::string> ReporterWithCrashServer::unhandledRequestLines(uint32_t clientPid) const {
  return reporterLogLines("Process " + std::to_string(clientPid) + ": its crash was never handled");
}

bool ReporterWithCrashServer::readFigures(ProcessFigures* figures) {
  return readProcessFigures(reporter_.get(), reporterPid(), figures);
}

bool ReporterWithCrashServer::waitForFiguresToSettle(const ProcessFigures& baseline,
                                                     uint64_t memorySlack,
                                                     ProcessFigures* figures) {
  constexpr uint32_t kHandleSlack = 16;
  constexpr uint32_t kThreadSlack = 8;
  // What an idle pool thread holds, its stack above all: a loaded machine
  // keeps a few more of them for a while.
  constexpr uint64_t kThreadMemory = 1536 * 1024;
  constexpr DWORD kTimeoutMs = 90000;
  const DWORD start = GetTickCount();
  for (;;) {
    if (readFigures(figures) &&
        figures->probedHandleCount <= baseline.probedHandleCount + kHandleSlack &&
        figures->threadCount <= baseline.threadCount + kThreadSlack) {
      const uint64_t moreThreads = figures->threadCount > baseline.threadCount
                                       ? figures->threadCount - baseline.threadCount
                                       : 0;
      const uint64_t slack = memorySlack + moreThreads * kThreadMemory;
      if (figures->privateBytes <= baseline.privateBytes + slack &&
          figures->pagefileBytes <= baseline.pagefileBytes + slack) {
        return true;
      }
    }
    if (GetTickCount() - start >= kTimeoutMs) return false;
    Sleep(500);
  }
}

bool ReporterWithCrashServer::tellBrowserToExit() { return session_.tellBrowserToExit(); }

bool ReporterWithCrashServer::endBrowserAndReporter(DWORD timeoutMs) {
  return session_.endBrowser() && session_.reporterEnded(timeoutMs);
}

std::string describeFigures(const std::string& label, const ProcessFigures& figures) {
  std::ostringstream text;
  text << label << ": handles " << figures.probedHandleCount << " (reported " << figures.handleCount
       << "), threads " << figures.threadCount << ", private " << figures.privateBytes / 1024
       << " KiB, working set " << figures.workingSetBytes / 1024 << " KiB, virtual "
       << figures.pagefileBytes / 1024 << " KiB";
  return text.str();
}

}  // namespace tavra
